// The engine's view on a terminal, a pipe or a line's own software: the texts the window would show,
// one per line as they change; block progress as one line redrawn in place (terminal) or a line
// every tenth (pipe); or one JSON object per event.
#pragma once

#include <QElapsedTimer>
#include <QJsonObject>
#include <QTimer>
#include <array>
#include <functional>
#include <optional>
#include <string>

#include "driver/DriverEvents.h"
#include "driver/EventJson.h"

class TStationBoard;

class TCliView {
public:
    enum class TMode { Terminal, Pipe, Json };
    // `factory`: the lines of the factory screen and its history; otherwise those of the Software
    // Upload screen.
    TCliView(TMode mode, bool factory);
    ~TCliView();
    TCliView(const TCliView&) = delete;
    TCliView& operator=(const TCliView&) = delete;

    // One event of the job: its texts printed as they change, its facts in the terminal's words
    // (or as JSON events).
    void Event(const TJobEvent& event);

    // The command line's own words: a line on stdout, a failure on stderr.
    void Note(const std::string& text);
    void Error(const std::string& text);
    // Something the run met that did not stop it (on stderr; in JSON a warning event).
    void Warning(const std::string& text);
    // The result whose fields the JSON result event carries.
    void SetResult(const TJobResult& result) {
        result_ = result;
        json_.SetResult(result);
        unitEnded_ = true;
        if (tee_) tee_->SetResult(result);
    }
    // The key that signed the recipe the units are loaded under, for every unit's result.
    void SetRecipeKeyId(const std::string& keyId) { json_.SetRecipeKeyId(keyId); }
    // What was found and what to do, printed after a failed result (in JSON, its fields).
    void SetAdvice(const std::string& reason, const std::string& remedy) {
        if (tee_) tee_->SetAdvice(reason, remedy);
        adviceReason_ = reason;
        adviceRemedy_ = remedy;
        json_.SetAdvice(reason, remedy);
    }
    // The end of the job; in JSON the result event, otherwise the reason on stderr when it failed.
    void Result(int status, const std::string& result, const std::string& reason);
    // A port that ended without a unit to tell a result of (it waited for an id that cannot come
    // any more, or its last unit's record was lost): in JSON a port_end event saying `why`,
    // otherwise its line says `word` and why.
    void PortEnd(int status, const std::string& word, const std::string& reason, const char* why);
    // Ends a line left open for redrawing.
    void Finish();

    // One unit of a station: its name starts every line (pipe) and rides on every JSON event
    // with the time; on a terminal its texts go to its own line of `board` (row `row`).
    void SetUnit(const std::string& name, TStationBoard* board, size_t row);
    const std::string& Unit() const { return unit_; }
    // The factory job waits for Enter (no --yes): its power-on prompt says so.
    void SetEnterProceeds(bool enter) {
        enterProceeds_ = enter;
        json_.SetEnterProceeds(enter);
    }
    // --loop: how many units the port has done (on the board's line).
    void SetTally(const std::string& tally);

    bool Json() const { return mode_ == TMode::Json; }
    // A second view told every event, result and word this one is (a control socket's JSON view).
    void Tee(TCliView* also) { tee_ = also; }
    // JSON events go to `sink` instead of standard output.
    void SetSink(std::function<void(const QJsonObject&)> sink) { sink_ = std::move(sink); }

private:
    enum class TOpen { None, History, Progress };

    void SetLine(TLine line, const std::string& text);
    void Progress(int sent, int total);
    void ShowGauge(bool shown);
    void History(const THistoryEvent& event);
    void CaptureChanged(bool on);
    void Message(const TMessageEvent& message);
    void Closing(const TTimeTakenEvent& taken);
    void Awaiting(TOperatorStep step);
    void PrintLine(const std::string* text);
    void Emit(const std::string& utf8, TOpen kind = TOpen::None);
    void Redraw(const std::string& utf8, TOpen kind);
    void FlushReplaced();
    void DrawProgress(int value, int maximum);
    std::string ProgressText(int value, int maximum) const;
    void Print(const QJsonObject& event);
    void Line(const std::string& utf8);

    TMode mode_;
    bool factory_;
    TShownLines lines_;
    bool failureTold_ = false;  // the job's failure has been printed as a message already
    std::string replaced_;  // pipe: a history line redrawn in place, printed once it is final
    TOpen open_ = TOpen::None;
    std::optional<TJobResult> result_;
    bool unitEnded_ = false;  // the next Result tells a unit's end, not a port's
    std::string adviceReason_, adviceRemedy_;
    int decile_ = 0;
    QElapsedTimer transfer_;
    qint64 lastDraw_ = -1;
    std::string unit_;  // "" with a single port: the output is as it always was
    TStationBoard* board_ = nullptr;
    size_t row_ = 0;
    bool enterProceeds_ = false;
    static constexpr int kFlushMs = 200;  // JSON events wait at most this long in the output buffer
    QTimer flush_;
    TCliView* tee_ = nullptr;
    std::function<void(const QJsonObject&)> sink_;
    TEventJson json_;  // the JSON mode's events
};
