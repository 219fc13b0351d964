// How the engine says things: each call becomes one typed event for the job's listener. The texts
// of the screens are kept as last said, so a line's text is an event only when it changes, and the
// stage and the state are events only when they change.
#pragma once

#include <array>
#include <string>

#include "engine/JobEvents.h"

class TJobOutput {
public:
    explicit TJobOutput(TEngineListener& listener) : listener_(listener) {}

    void SetLine(TLine line, const std::string& text, bool windowOnly = false, bool closing = false);
    void StyleLine(TLine line, TColour colour, int points = 0) { listener_.Event(TStyleEvent{line, colour, points}); }
    void ShowLine(TLine line, bool shown) { listener_.Event(TLineShownEvent{line, shown}); }
    void Offer(TOffer what, bool offered) { listener_.Event(TOfferEvent{what, offered}); }
    void Progress(int sent, int total) { listener_.Event(TProgressEvent{sent, total}); }
    void ShowGauge(bool shown) { listener_.Event(TGaugeShownEvent{shown}); }
    void HistoryReset(const std::string& line) { listener_.Event(THistoryEvent{THistoryEvent::TOp::Reset, line}); }
    void HistoryAdd(const std::string& line, bool closing = false) {
        listener_.Event(THistoryEvent{THistoryEvent::TOp::Add, line, closing});
    }
    void HistoryReplaceLast(const std::string& line) {
        listener_.Event(THistoryEvent{THistoryEvent::TOp::ReplaceLast, line});
    }
    void CaptureChanged(bool on) { listener_.Event(TCaptureEvent{on}); }
    void Message(const std::string& text, bool endsJob = false) { listener_.Event(TMessageEvent{text, endsJob}); }
    void Warning(const std::string& text) { listener_.Event(TWarningEvent{text}); }
    void TimeTaken(const TTimeTakenEvent& taken) { listener_.Event(taken); }
    void Awaiting(TOperatorStep step);
    void UnitAnswered() { listener_.Event(TUnitAnsweredEvent{}); }
    TOperatorStep Awaited() const { return awaited_; }
    void Finished(const TJobResult& result) { listener_.Event(TResultEvent{result}); }
    // The state (and with it the stage) as it stands after a step or a command.
    void StateNow(int32_t state);

private:
    TEngineListener& listener_;
    std::array<std::string, kLineCount> lines_;
    TOperatorStep awaited_ = TOperatorStep::None;
    int32_t state_ = 0;
    TStage stage_ = TStage::Idle;
};
