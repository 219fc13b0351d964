// The engine's view on a terminal, a pipe or a line's own software: the texts the window would show,
// one per line as they change; block progress as one line redrawn in place (terminal) or a line
// every tenth (pipe); or one JSON object per event.
#pragma once

#include <QElapsedTimer>
#include <QJsonObject>
#include <array>
#include <functional>
#include <optional>
#include <string>

#include "engine/View.h"

class TStationBoard;

class TCliView : public TSequencerView {
public:
    enum class TMode { Terminal, Pipe, Json };
    // `factory`: the lines of the factory screen and its history; otherwise those of the Software
    // Upload screen.
    TCliView(TMode mode, bool factory);

    void SetLine(TLine line, const std::string& text) override;
    void StyleLine(TLine, TColour, int) override {}
    void ShowLine(TLine line, bool shown) override;
    void SetLineHint(TLine line, const std::string& hint) override;
    void Offer(TOffer what, bool offered) override;
    void Progress(int sent, int total) override;
    void ShowGauge(bool shown) override;
    void HistoryReset(const std::string& line) override;
    void HistoryAdd(const std::string& line) override;
    void HistoryReplaceLast(const std::string& line) override;
    void CaptureChanged(bool on) override;
    void Message(const std::string& text) override;
    void Finished(const TJobResult& result) override;
    // Told of every result, for the job that runs the engine.
    std::function<void(const TJobResult&)> OnFinished;

    // The command line's own words: a line on stdout, a failure on stderr.
    void Note(const std::string& text);
    void Error(const std::string& text);
    void StateReached(int state);
    // Something the run met that did not stop it (on stderr; in JSON a warning event).
    void Warning(const std::string& text);
    // The result whose fields the JSON result event carries.
    void SetResult(const TJobResult& result) { result_ = result; }
    // What was found and what to do, printed after a failed result (in JSON, its fields).
    void SetAdvice(const std::string& reason, const std::string& remedy) {
        adviceReason_ = reason;
        adviceRemedy_ = remedy;
    }
    // The end of the job; in JSON the result event, otherwise the reason on stderr when it failed.
    void Result(int status, const std::string& result, const std::string& reason);
    // Ends a line left open for redrawing.
    void Finish();

    // One unit of a station: its name starts every line (pipe) and rides on every JSON event
    // with the time; on a terminal its texts go to its own line of `board` (row `row`).
    void SetUnit(const std::string& name, TStationBoard* board, size_t row);
    const std::string& Unit() const { return unit_; }
    // The factory job waits for Enter (no --yes): its power-on prompt says so.
    void SetEnterProceeds(bool enter) { enterProceeds_ = enter; }
    // --loop: how many units the port has done (on the board's line).
    void SetTally(const std::string& tally);

    bool Json() const { return mode_ == TMode::Json; }
    const std::string& LastMessage() const { return lastMessage_; }
    const std::string& LastHistory() const { return history_; }
    const std::string& Text(TLine line) const { return lines_[static_cast<size_t>(line)].Text; }
    const std::string& Hint() const { return hint_; }
    bool Offered(TOffer what) const { return offers_[static_cast<size_t>(what)]; }

private:
    struct TShownLine {
        std::string Text;
        std::string Printed;
        bool Visible = true;
    };
    enum class TOpen { None, History, Progress };

    bool OnScreen(TLine line) const;
    void PrintLine(TLine line);
    void Emit(const std::string& utf8, TOpen kind = TOpen::None);
    void Redraw(const std::string& utf8, TOpen kind);
    void FlushReplaced();
    void DrawProgress(int value, int maximum);
    std::string ProgressText(int value, int maximum) const;
    void Event(QJsonObject event);
    void Line(const std::string& utf8);
    std::string ForTerminal(const std::string& text) const;

    TMode mode_;
    bool factory_;
    std::array<TShownLine, 10> lines_;
    std::array<bool, 6> offers_{};
    std::string hint_;
    std::string lastMessage_;
    std::string history_;
    std::string replaced_;  // pipe: a history line redrawn in place, printed once it is final
    TOpen open_ = TOpen::None;
    std::optional<TJobResult> result_;
    std::string adviceReason_, adviceRemedy_;
    int decile_ = 0;
    QElapsedTimer transfer_;
    qint64 lastDraw_ = -1;
    std::string unit_;  // "" with a single port: the output is as it always was
    TStationBoard* board_ = nullptr;
    size_t row_ = 0;
    bool enterProceeds_ = false;
};
