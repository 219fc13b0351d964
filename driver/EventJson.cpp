#include "driver/EventJson.h"

#include <QDateTime>
#include <QJsonArray>
#include <QString>
#include <QTimeZone>
#include <chrono>

#include "base/ShownText.h"
#include "host/StopSignals.h"

namespace {

// What the operator at a terminal does where the window would name its buttons: the line it is
// printed as, and the text.
struct TTerminalStep {
    TOperatorStep Step;
    TLine Line;
    const char* Text;
    const char* TextWithEnter;  // the factory job without --yes
};
const TTerminalStep kTerminalSteps[] = {
    {TOperatorStep::FitJumpers, TLine::FactoryPrompt, "Turn the unit power on", "Turn the unit power on, then press Enter"},
    {TOperatorStep::RemoveJumpers, TLine::FactoryPrompt, "Next: upload the main Application Software (zupflshc upload FILE)",
     "Next: upload the main Application Software (zupflshc upload FILE)"},
};

const char* const kLineNames[] = {"port",   "file",    "headline", "instruction", "activity",
                                  "footer", "jumpers", "prompt",   "estimate",    "force_rs232"};
static_assert(std::size(kLineNames) == kLineCount);

// The engine's texts are the operator's bytes (Latin-1); the system's messages are in the locale's
// encoding. Both leave as UTF-8.
QString FromLatin1(const std::string& text) { return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size())); }
QString FromLocal(const std::string& text) { return QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size())); }

void AddResultFields(QJsonObject& event, const TJobResult& r) {
    QJsonArray warnings;
    for (const std::string& w : r.Warnings) warnings.append(FromLocal(w));
    QJsonArray files;
    for (const std::string& f : r.FilesWritten) files.append(FromLocal(f));
    const auto started = std::chrono::duration_cast<std::chrono::milliseconds>(r.Started.time_since_epoch());
    const QJsonObject fields{
        {"kind", ResultKindName(r.Kind)},
        {"job", JobName(r.Job)},
        {"blocks_sent", r.BlocksSent},
        {"blocks", r.BlockCount},
        {"file_checksum", QString::fromStdString(r.FileChecksum)},
        {"unit_checksum", FromLatin1(r.UnitChecksum)},
        {"unit_version", FromLatin1(r.UnitVersion)},
        {"unit_id", QString::fromStdString(r.UnitId)},
        {"warnings", warnings},
        {"resends", r.Resends},
        {"awaited", QString::fromStdString(r.Awaited)},
        {"system_reason", FromLocal(r.SystemReason)},
        {"input_file", FromLocal(r.InputFile)},
        {"input_size", static_cast<qint64>(r.InputSize)},
        {"input_sha256", QString::fromStdString(r.InputSha256)},
        {"upload_sha256", QString::fromStdString(r.UploadSha256)},
        {"device", FromLocal(r.Device)},
        {"port", FromLocal(r.PortName)},
        {"port_name", FromLocal(GivenPortName(r))},
        {"baud", r.Baud},
        {"started", QDateTime::fromMSecsSinceEpoch(started.count(), Qt::UTC).toString(Qt::ISODateWithMs)},
        {"duration_ms", static_cast<qint64>(r.Duration.count())},
        {"unit_written", r.UnitWritten},
        {"port_fault", PortFaultName(r.PortFault)},
        {"files_written", files},
        {"record_id", QString::fromStdString(r.RecordId)},
        {"wire_ratio", r.WireRatio},
        {"reply_median_ms", r.ReplyMedianMs},
        {"port_unit", r.PortUnit},
    };
    for (auto i = fields.begin(); i != fields.end(); ++i) event.insert(i.key(), i.value());
}

}  // namespace

TCliVerdict CliVerdict(const TJobResult& result, int stopSignal) {
    if (result.Kind == TResultKind::Prepared) return {Exit::Success, "prepared"};
    if (result.Succeeded()) return {Exit::Success, "success"};
    switch (result.Kind) {
    case TResultKind::PortFailed: return {Exit::PortClosed, "port did not open"};
    case TResultKind::Interrupted: return {stopSignal ? StopStatus(stopSignal) : Exit::Interrupted, "interrupted"};
    case TResultKind::FileFailed:
        // A file that fails once the unit is being written has cost the unit its firmware.
        if (!result.UnitWritten) return {Exit::Usage, "file cannot be prepared"};
        return {Exit::Failed, "failed"};
    default: return {Exit::Failed, "failed"};
    }
}

bool LineOnScreen(TLine line, bool factory) {
    switch (line) {
    case TLine::JumperNote:
    case TLine::FactoryPrompt:
    case TLine::FactoryEstimate:
    case TLine::ForceRs232: return factory;
    default: return !factory;
    }
}

const char* OperatorStepText(TOperatorStep step, bool factory, bool enterProceeds, TLine& line) {
    for (const TTerminalStep& t : kTerminalSteps)
        if (t.Step == step) {
            line = t.Line;
            return enterProceeds ? t.TextWithEnter : t.Text;
        }
    // The port holds its next unit until its id is scanned; the line says what it waits for.
    if (step != TOperatorStep::UnitId) return nullptr;
    line = factory ? TLine::FactoryPrompt : TLine::Instruction;
    return "Waiting for the next unit's id (scan it)";
}

void TEventJson::Event(const TJobEvent& event) {
    std::visit(TOverload{
                   [&](const TTextEvent& e) {
                       if (!e.WindowOnly) Tell(e.Line, lines_.Set(e.Line, e.Text));
                   },
                   [&](const TLineShownEvent& e) { Tell(e.Line, lines_.Show(e.Line, e.Shown)); },
                   [&](const THistoryEvent& e) { History(e); },
                   [&](const TMessageEvent& e) { Emit({{"event", "message"}, {"text", FromLocal(e.Text)}}); },
                   [&](const TStateEvent& e) { Emit({{"event", "state"}, {"state", e.State}}); },
                   [&](const TStageEvent& e) { Stage(e.Stage); },
                   [&](const TAwaitingEvent& e) { Awaiting(e.Step); },
                   [&](const TProgressEvent& e) {
                       if (e.Sent > 0) Emit({{"event", "block"}, {"block", e.Sent}, {"of", e.Total}});
                   },
                   [&](const TCaptureEvent& e) { Emit({{"event", "capture"}, {"on", e.On}}); },
                   [&](const TPortPausedEvent& e) {
                       Emit({{"event", e.Paused ? "paused" : "resumed"}, {"failures", e.Failures}});
                   },
                   [](const auto&) {},
               },
               event);
}

const std::string* TShownLines::Set(TLine line, const std::string& text) {
    TShownLine& l = lines_[static_cast<size_t>(line)];
    l.Text = text;
    l.Told = false;
    return Due(line);
}

const std::string* TShownLines::Show(TLine line, bool shown) {
    lines_[static_cast<size_t>(line)].Visible = shown;
    return shown ? Due(line) : nullptr;
}

const std::string* TShownLines::Due(TLine line) {
    TShownLine& l = lines_[static_cast<size_t>(line)];
    if (!LineOnScreen(line, factory_) || !l.Visible || l.Text.empty() || l.Told) return nullptr;
    l.Told = true;
    return &l.Text;
}

void TEventJson::Tell(TLine line, const std::string* text) {
    if (text) Emit({{"event", "text"}, {"line", kLineNames[static_cast<size_t>(line)]}, {"text", FromLatin1(*text)}});
}

void TEventJson::Stage(TStage stage) {
    Emit({{"event", "stage"}, {"stage", StageName(stage)}});
    // The upload's dialogue ran to its end.
    if (stage == TStage::Complete) Tell(TLine::Footer, lines_.Set(TLine::Footer, "Program complete"));
}

void TEventJson::Awaiting(TOperatorStep step) {
    Emit({{"event", "awaiting"}, {"step", OperatorStepName(step)}});
    TLine line{};
    if (const char* text = OperatorStepText(step, factory_, enterProceeds_, line)) Tell(line, lines_.Set(line, text));
}

void TEventJson::History(const THistoryEvent& event) {
    if (!factory_) return;  // the Software Upload screen has no history
    QJsonObject json{{"event", "history"}, {"text", FromLatin1(event.Text)}};
    if (event.Op == THistoryEvent::TOp::ReplaceLast) json.insert("replaces_last", true);
    Emit(json);
}

void TEventJson::Note(const std::string& text) { Emit({{"event", "note"}, {"text", FromLocal(text)}}); }

void TEventJson::Warning(const std::string& text) { Emit({{"event", "warning"}, {"text", FromLocal(text)}}); }

void TEventJson::Result(int status, const std::string& word, const std::string& given) {
    // A reason is UTF-8 text, as the window and the record show it: bytes of the unit or of a file
    // name that are not UTF-8 are shown as <XX>.
    const std::string reason = ShownText(given);
    QJsonObject event{{"event", "result"}, {"status", status}, {"result", QString::fromStdString(word)},
                      {"reason", QString::fromUtf8(reason.c_str())}};
    // Only a unit that ended since the last result has fields: a stop while a port waits ends no unit.
    if (result_) AddResultFields(event, *result_);
    result_.reset();
    if (!recipeKeyId_.empty()) event.insert("recipe_key_id", QString::fromStdString(recipeKeyId_));
    if (!adviceReason_.empty()) event.insert("diagnosis", FromLocal(adviceReason_));
    if (!adviceRemedy_.empty()) event.insert("remedy", FromLocal(adviceRemedy_));
    Emit(event);
}

void TEventJson::PortEnd(int status, const std::string& reason, const char* why) {
    Emit({{"event", "port_end"}, {"why", why}, {"status", status}, {"reason", FromLocal(reason)}});
}

void TEventJson::Emit(QJsonObject event) {
    if (!unit_.empty()) {
        event.insert("unit", QString::fromStdString(unit_));
        event.insert("time", QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs));
    }
    if (sink_) sink_(event);
}
