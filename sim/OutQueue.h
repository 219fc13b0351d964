// What the unit has said but the line has not carried yet. Writes never block the unit: a full
// pseudo-terminal keeps the rest queued for the next turn of the loop.
#pragma once

#include <chrono>
#include <deque>
#include <optional>
#include <string>

class OutQueue {
public:
    using Clock = std::chrono::steady_clock;
    using TimePoint = Clock::time_point;

    // Queues `bytes` to leave no earlier than `due` and never before what was queued earlier.
    // Returns the time the bytes become due.
    TimePoint Push(std::string bytes, TimePoint due);
    void Clear();
    // Each item can be read only `hold` after it has crossed the line: the adapter between the unit
    // and the program holds what it received for its latency timer.
    void SetHold(std::chrono::milliseconds hold) { hold_ = hold; }
    bool Empty() const { return items_.empty(); }

    // Writes what is due to the non-blocking `fd`. With `pace`, no faster than `baud`/10 bytes a
    // second: an item leaves whole at the moment its last byte would have crossed the line, as a
    // receiver reading a real line would see it. Returns false when the descriptor failed for good.
    bool Flush(int fd, TimePoint now, int baud, bool pace);
    // The same into `sink` (an in-process line that always takes everything due).
    void Flush(std::string& sink, TimePoint now, int baud, bool pace);
    // When something is due next (nothing queued: none).
    std::optional<TimePoint> NextDeadline() const;
    // True when due bytes are waiting for the descriptor to take them.
    bool Blocked() const { return blocked_; }

private:
    // Hands what is due to `write` (bytes taken, or -1 with errno); false when it failed for good.
    template <class Write>
    bool FlushTo(Write&& write, TimePoint now, int baud, bool pace);

    struct Item {
        TimePoint due;
        std::string bytes;
    };
    std::deque<Item> items_;
    TimePoint lastDue_{};
    TimePoint nextByteAt_{};  // pacing: when the line is free for the next byte
    std::optional<TimePoint> frontReadyAt_;  // pacing: when the first item will have crossed the line
    bool blocked_ = false;
    std::chrono::milliseconds hold_{0};
};
