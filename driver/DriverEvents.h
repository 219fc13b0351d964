// What the job driver tells its front ends: the engine's events as it passes them on, and the facts
// of its port (waiting for it, the next unit, a unit counted, the port's end), in one stream of
// typed events. The engine's events are declared by the engine; this stream is theirs extended.
#pragma once

#include <string>
#include <variant>

#include "engine/JobEvents.h"

enum class TPortWait {
    NotThereYet,  // --wait: the port is not there yet (Seconds: how long it is waited for)
    Gone,         // it went away; waited for until it comes back
    Retrying,     // it is there but did not open; tried again every second
};
struct TPortWaitEvent {
    TPortWait Why;
    int Seconds = 0;
};
// The port goes on to its next unit.
struct TNextUnitEvent {};
// A unit's result as the driver counts it, after its TResultEvent: `Counted` when it was a unit
// (not a port still waiting for one), with the port's tally so far.
struct TUnitEndedEvent {
    TJobResult Result;
    bool Counted = true;
    int Units = 0;
    int Failed = 0;
    bool More = false;  // the port goes on to another unit
    // Why nothing could keep the unit's record, "" when it was kept. With More the port holds
    // before the next unit until the operator goes on without it (or the port is ended).
    std::string NotKept;
};
enum class TPortEnd {
    Finished,        // no more units: the last result says how it went
    CaptureFailed,   // the capture file could not be started (Reason)
    InputEnded,      // the operator's input ended before the go-on (Reason)
    NoUnitId,        // the port waited for its next unit's id, and none can come any more (Reason)
    RecordLost,      // a unit's record could not be kept, and the port ended there (Reason)
};
struct TPortEndEvent {
    TPortEnd Why = TPortEnd::Finished;
    std::string Reason;
};

// The port's last units failed in a row (`Failures` of them, its pause-after-failures): it wakes no
// other unit until the operator resumes it (`Paused` false once resumed).
struct TPortPausedEvent {
    bool Paused = true;
    int Failures = 0;
};
// "paused: 3 failures in a row: check the socket and the cable"; "paused" when asked to (0 failures)
inline std::string PausedText(int failures) {
    if (failures <= 0) return "paused";
    return "paused: " + std::to_string(failures) + " failures in a row: check the socket and the cable";
}

namespace driver_events {
template <class Engine, class... Own>
struct TExtended;
template <class... Engine, class... Own>
struct TExtended<std::variant<Engine...>, Own...> {
    using Type = std::variant<Engine..., Own...>;
};
}  // namespace driver_events

// Every event of the engine, then the driver's own: an engine event added later is in it too.
using TJobEvent =
    driver_events::TExtended<TEngineEvent, TPortWaitEvent, TNextUnitEvent, TUnitEndedEvent, TPortEndEvent,
                              TPortPausedEvent>::Type;

// A job driver's listener: a front end.
class TJobListener {
public:
    virtual ~TJobListener() = default;
    virtual void Event(const TJobEvent& event) = 0;
};

// An engine event as the driver's stream carries it.
inline TJobEvent AsJobEvent(const TEngineEvent& event) {
    return std::visit([](const auto& e) { return TJobEvent(e); }, event);
}
