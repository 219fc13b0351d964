#include "cli/CommandLineView.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTimeZone>
#include <QString>
#include <cstdio>

#include "base/ShownText.h"
#include "cli/StationBoard.h"
#include "driver/StationRun.h"
#include "engine/Progress.h"
#include "host/ServiceJournal.h"

namespace {

// What the operator at a terminal does where the window would name its buttons: the line it is
// printed as, and the text; "" where there is nothing to do (the command line goes on by itself).
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

// The engine's texts are the operator's bytes (Latin-1); the system's messages are in the locale's
// encoding. Both leave as UTF-8.
QString FromLatin1(const std::string& text) { return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size())); }
std::string Utf8(const std::string& latin1) { return FromLatin1(latin1).toStdString(); }
QString FromLocal(const std::string& text) { return QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size())); }

const char* const kLineNames[] = {"port",   "file",    "headline", "instruction", "activity",
                                  "footer", "jumpers", "prompt",   "estimate",    "force_rs232"};

// A unit's end as the journal keeps it, under systemd: the station's line for it, with the port,
// the unit's id and its result's kind as fields of their own. The firmware's preparation is no unit.
TJournaled JournalUnitEnd(const TJobResult& unit, const std::string& name, const std::string& verdict) {
    if (unit.Kind == TResultKind::Prepared) return {};
    const std::string port = PortTag(unit.ComPort, unit.ComPort > 0 ? std::string() : unit.PortName);
    // The unit's own result sets the priority: a loop's last line carries the port's worst status.
    return SendToJournal({(name.empty() ? port : name) + ": " + verdict, port, ShownText(unit.UnitId),
                          ResultKindName(unit.Kind), !unit.Succeeded()});
}

void Out(const std::string& bytes) {
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    std::fflush(stdout);
}

void AddResultFields(QJsonObject& event, const TJobResult& r);

// A line as a terminal shows it: the window's layout spaces closed up.
std::string SingleSpaced(std::string text) {
    for (size_t at; (at = text.find("  ")) != std::string::npos;) text.erase(at, 1);
    return text;
}

// "1 second", "12 seconds", "02:05 minutes": the window's format, in the singular where it is one.
std::string TimeText(std::chrono::milliseconds taken) {
    if (taken.count() / 1000 == 1) return "1 second";
    return taken.count() < 1000 ? "0 seconds" : ElapsedText(taken);
}

}  // namespace

TCliView::TCliView(TMode mode, bool factory) : mode_(mode), factory_(factory) {
    flush_.setSingleShot(true);
    flush_.setInterval(kFlushMs);
    flush_.callOnTimeout([] { std::fflush(stdout); });
}

TCliView::~TCliView() { std::fflush(stdout); }

bool TCliView::OnScreen(TLine line) const {
    switch (line) {
    case TLine::JumperNote:
    case TLine::FactoryPrompt:
    case TLine::FactoryEstimate:
    case TLine::ForceRs232: return factory_;
    default: return !factory_;
    }
}

// ---- the job's events ----

void TCliView::Event(const TJobEvent& event) {
    if (tee_) tee_->Event(event);
    std::visit(TOverload{
                   [&](const TTextEvent& e) {
                       // An instruction naming a window's button: the awaited step says it here. A
                       // closing line is said from the result at a terminal (Closing).
                       if (!e.WindowOnly && (Json() || !e.Closing)) SetLine(e.Line, e.Text);
                   },
                   [&](const TLineShownEvent& e) { ShowLine(e.Line, e.Shown); },
                   [&](const TGaugeShownEvent& e) { ShowGauge(e.Shown); },
                   [&](const THistoryEvent& e) { History(e); },
                   [&](const TMessageEvent& e) { Message(e); },
                   [&](const TStateEvent& e) { StateReached(e.State); },
                   [&](const TStageEvent& e) { Stage(e.Stage); },
                   [&](const TAwaitingEvent& e) { Awaiting(e.Step); },
                   [&](const TProgressEvent& e) { Progress(e.Sent, e.Total); },
                   [&](const TCaptureEvent& e) { CaptureChanged(e.On); },
                   [&](const TTimeTakenEvent& e) { Closing(e); },
                   [&](const TPortPausedEvent& e) {
                       if (Json()) Event({{"event", e.Paused ? "paused" : "resumed"}, {"failures", e.Failures}});
                       else Emit(e.Paused ? PausedText(e.Failures) : std::string("resumed"));
                   },
                   [](const auto&) {},
               },
               event);
}

// ---- texts ----

void TCliView::SetLine(TLine line, const std::string& text) {
    TShownLine& l = lines_[static_cast<size_t>(line)];
    l.Text = text;
    l.Printed = false;
    PrintLine(line);
}

void TCliView::ShowLine(TLine line, bool shown) {
    lines_[static_cast<size_t>(line)].Visible = shown;
    if (shown) PrintLine(line);
}

void TCliView::PrintLine(TLine line) {
    TShownLine& l = lines_[static_cast<size_t>(line)];
    if (!OnScreen(line) || !l.Visible || l.Text.empty() || l.Printed) return;
    l.Printed = true;
    if (Json()) Event({{"event", "text"}, {"line", kLineNames[static_cast<size_t>(line)]}, {"text", FromLatin1(l.Text)}});
    else Emit(Utf8(SingleSpaced(l.Text)));
}

void TCliView::Stage(TStage stage) {
    if (Json()) Event({{"event", "stage"}, {"stage", StageName(stage)}});
    // The upload's dialogue ran to its end; at a terminal the closing words come with the result.
    if (stage == TStage::Complete && Json()) SetLine(TLine::Footer, "Program complete");
}

void TCliView::Awaiting(TOperatorStep step) {
    if (Json()) Event({{"event", "awaiting"}, {"step", OperatorStepName(step)}});
    for (const TTerminalStep& t : kTerminalSteps)
        if (t.Step == step) SetLine(t.Line, enterProceeds_ ? t.TextWithEnter : t.Text);
    // The port holds its next unit until its id is scanned; the line says what it waits for.
    if (step == TOperatorStep::UnitId)
        SetLine(factory_ ? TLine::FactoryPrompt : TLine::Instruction, "Waiting for the next unit's id (scan it)");
}

void TCliView::Closing(const TTimeTakenEvent& taken) {
    // In JSON the window's texts say it; at a terminal only a success is called complete.
    if (Json() || !taken.Succeeded) return;
    if (taken.Job == TJob::Factory) Emit("Factory Upload completed in " + TimeText(taken.Taken));
    else Emit("Upload complete. Time taken: " + TimeText(taken.Taken));
}

void TCliView::SetTally(const std::string& tally) {
    if (board_) board_->SetTally(row_, tally);
}

void TCliView::SetUnit(const std::string& name, TStationBoard* board, size_t row) {
    unit_ = name;
    board_ = board;
    row_ = row;
}

void TCliView::CaptureChanged(bool on) {
    // Switching it on is what was asked for; only its end during a run is news (the unit's
    // failure ends it).
    if (Json()) Event({{"event", "capture"}, {"on", on}});
    else if (!on) Note("Capture file disabled");
}

void TCliView::Message(const TMessageEvent& message) {
    // The job's failure itself: the result's line need not say it again.
    if (message.EndsJob) failureTold_ = true;
    if (Json()) Event({{"event", "message"}, {"text", FromLocal(message.Text)}});
    else Error(message.Text);
}

// ---- the factory job's history ----

void TCliView::History(const THistoryEvent& event) {
    if (!factory_) return;  // the Software Upload screen has no history
    if (event.Closing && !Json()) return;  // said from the result (Closing)
    const std::string& line = event.Text;
    if (event.Op != THistoryEvent::TOp::ReplaceLast) {
        if (Json()) Event({{"event", "history"}, {"text", FromLatin1(line)}});
        else Emit(Utf8(line), TOpen::History);
    } else if (Json()) {
        Event({{"event", "history"}, {"text", FromLatin1(line)}, {"replaces_last", true}});
    } else if (mode_ == TMode::Terminal) {
        Redraw(Utf8(line), TOpen::History);
    } else {
        replaced_ = Utf8(line);  // a counter: only its last value is worth a line of a log
    }
}

// ---- block progress ----

void TCliView::Progress(int sent, int total) {
    if (sent <= 0) {
        if (board_) board_->Show(row_, "", true);
        transfer_.start();
        decile_ = 0;
        lastDraw_ = -1;
        return;
    }
    // What the dialogue said last ("Erase complete...") is stale once the blocks go out.
    if (board_ && sent == 1) board_->Show(row_, "Sending blocks", false);
    DrawProgress(sent, total);
}

void TCliView::ShowGauge(bool shown) {
    if (!shown && open_ == TOpen::Progress) Finish();
}

void TCliView::DrawProgress(int value, int maximum) {
    if (Json()) {
        Event({{"event", "block"}, {"block", value}, {"of", maximum}});
    } else if (mode_ == TMode::Terminal) {
        if (board_) return board_->ShowBlocks(row_, {value, maximum, transfer_.isValid() ? transfer_.elapsed() / 1000.0 : 0});
        // Redrawing faster than the eye reads only costs the terminal's time.
        const qint64 now = transfer_.isValid() ? transfer_.elapsed() : 0;
        if (lastDraw_ >= 0 && now - lastDraw_ < 100 && value < maximum) return;
        lastDraw_ = now;
        Redraw(ProgressText(value, maximum), TOpen::Progress);
    } else if (maximum > 0 && value * 10 / maximum > decile_) {
        decile_ = value * 10 / maximum;
        Emit(ProgressText(value, maximum));
    }
}

std::string TCliView::ProgressText(int value, int maximum) const {
    const int max = maximum > 0 ? maximum : 1;
    constexpr int kBar = 20;
    const int filled = value * kBar / max;
    char head[96];
    std::snprintf(head, sizeof head, "Block %d of %d %3d%% [%s%s]", value, maximum, value * 100 / max,
                  std::string(static_cast<size_t>(filled), '#').c_str(),
                  std::string(static_cast<size_t>(kBar - filled), '-').c_str());
    std::string text = head;
    const double seconds = transfer_.isValid() ? transfer_.elapsed() / 1000.0 : 0;
    if (seconds >= 0.2) {
        const double rate = value / seconds;
        const long left = static_cast<long>((max - value) / rate + 0.5);
        char tail[64];
        std::snprintf(tail, sizeof tail, " %.1f blocks/s, %ld:%02ld left", rate, left / 60, left % 60);
        text += tail;
    }
    return text;
}

// ---- the result's fields in JSON ----

namespace {

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

// ---- output ----

void TCliView::Emit(const std::string& utf8, TOpen kind) {
    if (board_) return board_->Show(row_, utf8, kind == TOpen::Progress);
    FlushReplaced();
    if (open_ != TOpen::None) Out("\n");
    open_ = TOpen::None;
    if (mode_ == TMode::Terminal && kind != TOpen::None) {
        Out(utf8);
        open_ = kind;
    } else {
        Line(utf8);
    }
}

void TCliView::Line(const std::string& utf8) { Out((unit_.empty() ? utf8 : unit_ + ": " + utf8) + "\n"); }

void TCliView::Redraw(const std::string& utf8, TOpen kind) {
    if (board_) return board_->Show(row_, utf8, kind == TOpen::Progress);
    if (open_ != kind) return Emit(utf8, kind);
    Out("\r\033[K" + utf8);
}

void TCliView::FlushReplaced() {
    if (replaced_.empty()) return;
    Line(replaced_);
    replaced_.clear();
}

void TCliView::Finish() {
    if (open_ != TOpen::None) Out("\n");
    open_ = TOpen::None;
    FlushReplaced();
}

void TCliView::Event(QJsonObject event) {
    Finish();
    if (!unit_.empty()) {
        event.insert("unit", QString::fromStdString(unit_));
        event.insert("time", QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs));
    }
    if (sink_) return sink_(event);
    const std::string line = QJsonDocument(event).toJson(QJsonDocument::Compact).toStdString() + "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
    // A station's reader gets its events a few times a second rather than a write for each; a
    // result, and anything that stops the job, at once.
    const QString kind = event["event"].toString();
    if (kind == "result" || kind == "port_end" || kind == "message") {
        std::fflush(stdout);
        flush_.stop();
    } else if (!flush_.isActive()) {
        flush_.start();
    }
}

void TCliView::Note(const std::string& text) {
    if (tee_) tee_->Note(text);
    if (Json()) Event({{"event", "note"}, {"text", FromLocal(text)}});
    else Emit(text);
}

void TCliView::Error(const std::string& text) {
    Finish();
    const std::string line = "zupflshc: " + (unit_.empty() ? text : unit_ + ": " + text);
    if (board_) return board_->Log(line);
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
}

void TCliView::StateReached(int state) {
    if (Json()) Event({{"event", "state"}, {"state", state}});
}

void TCliView::Warning(const std::string& text) {
    if (tee_) tee_->Warning(text);
    if (Json()) Event({{"event", "warning"}, {"text", FromLocal(text)}});
    else Error("warning: " + text);
}

void TCliView::Result(int status, const std::string& result, const std::string& given) {
    if (tee_) tee_->Result(status, result, given);
    // A reason is UTF-8 text, as the window and the record show it: bytes of the unit or of a file
    // name that are not UTF-8 are shown as <XX>.
    const std::string reason = ShownText(given);
    // A station says every unit's result, good or bad, on its line.
    const std::string verdict = reason.empty() || status == 0 ? result : result + ": " + reason;
    // Where the journal took a unit's end with its fields, the same line on its stream would show twice.
    // Only a unit that ended since the last result has fields: a stop while a port waits ends no unit.
    const bool unitEnded = unitEnded_;
    const TJournaled journaled = unitEnded ? JournalUnitEnd(*result_, unit_, verdict) : TJournaled{};
    unitEnded_ = false;
    if (Json()) {
        QJsonObject event{{"event", "result"}, {"status", status}, {"result", QString::fromStdString(result)},
                          {"reason", QString::fromUtf8(reason.c_str())}};
        if (unitEnded && result_) AddResultFields(event, *result_);
        if (!recipeKeyId_.empty()) event.insert("recipe_key_id", QString::fromStdString(recipeKeyId_));
        if (!adviceReason_.empty()) event.insert("diagnosis", FromLocal(adviceReason_));
        if (!adviceRemedy_.empty()) event.insert("remedy", FromLocal(adviceRemedy_));
        Event(event);
        failureTold_ = false;
        return;
    }
    if (board_) board_->Show(row_, verdict, false);
    else if (!unit_.empty() && !journaled.Stdout) Line(verdict);
    if (status != 0) {
        if (!board_ && !journaled.Stderr) Error(reason.empty() || failureTold_ ? result : result + ": " + reason);
        if (!adviceReason_.empty()) Error(adviceReason_);
        if (!adviceRemedy_.empty()) Error(adviceRemedy_);
    }
    failureTold_ = false;
    Finish();
}

void TCliView::PortEnd(int status, const std::string& word, const std::string& reason, const char* why) {
    if (tee_) tee_->PortEnd(status, word, reason, why);
    if (Json()) {
        Event({{"event", "port_end"}, {"why", why}, {"status", status}, {"reason", FromLocal(reason)}});
        return;
    }
    const std::string line = word + ": " + reason;
    if (board_) board_->Show(row_, line, false);
    else Line(line);
    Finish();
}
