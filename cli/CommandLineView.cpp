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

// The engine's texts are the operator's bytes (Latin-1); the system's messages are in the locale's
// encoding. Both leave as UTF-8.
QString FromLatin1(const std::string& text) { return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size())); }
std::string Utf8(const std::string& latin1) { return FromLatin1(latin1).toStdString(); }

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

TCliView::TCliView(TMode mode, bool factory) : mode_(mode), factory_(factory), lines_(factory), json_(factory) {
    json_.SetSink([this](const QJsonObject& event) { Print(event); });
    flush_.setSingleShot(true);
    flush_.setInterval(kFlushMs);
    flush_.callOnTimeout([] { std::fflush(stdout); });
}

TCliView::~TCliView() { std::fflush(stdout); }


// ---- the job's events ----

void TCliView::Event(const TJobEvent& event) {
    if (tee_) tee_->Event(event);
    if (Json()) return json_.Event(event);
    std::visit(TOverload{
                   [&](const TTextEvent& e) {
                       // An instruction naming a window's button: the awaited step says it here. A
                       // closing line is said from the result (Closing).
                       if (!e.WindowOnly && !e.Closing) SetLine(e.Line, e.Text);
                   },
                   [&](const TLineShownEvent& e) { PrintLine(lines_.Show(e.Line, e.Shown)); },
                   [&](const TGaugeShownEvent& e) { ShowGauge(e.Shown); },
                   [&](const THistoryEvent& e) { History(e); },
                   [&](const TMessageEvent& e) { Message(e); },
                   [&](const TAwaitingEvent& e) { Awaiting(e.Step); },
                   [&](const TProgressEvent& e) { Progress(e.Sent, e.Total); },
                   [&](const TCaptureEvent& e) { CaptureChanged(e.On); },
                   [&](const TTimeTakenEvent& e) { Closing(e); },
                   [&](const TPortPausedEvent& e) { Emit(e.Paused ? PausedText(e.Failures) : std::string("resumed")); },
                   [](const auto&) {},
               },
               event);
}

// ---- texts ----

void TCliView::SetLine(TLine line, const std::string& text) { PrintLine(lines_.Set(line, text)); }

void TCliView::PrintLine(const std::string* text) {
    if (text) Emit(Utf8(SingleSpaced(*text)));
}

void TCliView::Awaiting(TOperatorStep step) {
    TLine line{};
    if (const char* text = OperatorStepText(step, factory_, enterProceeds_, line)) SetLine(line, text);
}

void TCliView::Closing(const TTimeTakenEvent& taken) {
    // Only a success is called complete.
    if (!taken.Succeeded) return;
    if (taken.Job == TJob::Factory) Emit("Factory Upload completed in " + TimeText(taken.Taken));
    else Emit("Upload complete. Time taken: " + TimeText(taken.Taken));
}

void TCliView::SetTally(const std::string& tally) {
    if (board_) board_->SetTally(row_, tally);
}

void TCliView::SetUnit(const std::string& name, TStationBoard* board, size_t row) {
    unit_ = name;
    json_.SetUnit(name);
    board_ = board;
    row_ = row;
}

void TCliView::CaptureChanged(bool on) {
    // Switching it on is what was asked for; only its end during a run is news (the unit's
    // failure ends it).
    if (!on) Note("Capture file disabled");
}

void TCliView::Message(const TMessageEvent& message) {
    // The job's failure itself: the result's line need not say it again.
    if (message.EndsJob) failureTold_ = true;
    Error(message.Text);
}

// ---- the factory job's history ----

void TCliView::History(const THistoryEvent& event) {
    if (!factory_) return;  // the Software Upload screen has no history
    if (event.Closing) return;  // said from the result (Closing)
    const std::string& line = event.Text;
    if (event.Op != THistoryEvent::TOp::ReplaceLast) {
        Emit(Utf8(line), TOpen::History);
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
    if (mode_ == TMode::Terminal) {
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

void TCliView::Print(const QJsonObject& event) {
    Finish();
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
    if (Json()) json_.Note(text);
    else Emit(text);
}

void TCliView::Error(const std::string& text) {
    Finish();
    const std::string line = "zupflshc: " + (unit_.empty() ? text : unit_ + ": " + text);
    if (board_) return board_->Log(line);
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
}

void TCliView::Warning(const std::string& text) {
    if (tee_) tee_->Warning(text);
    if (Json()) json_.Warning(text);
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
    const TJournaled journaled = unitEnded_ ? JournalUnitEnd(*result_, unit_, verdict) : TJournaled{};
    unitEnded_ = false;
    if (Json()) {
        json_.Result(status, result, given);
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
    if (Json()) return json_.PortEnd(status, reason, why);
    const std::string line = word + ": " + reason;
    if (board_) board_->Show(row_, line, false);
    else Line(line);
    Finish();
}
