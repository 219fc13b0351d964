// A Software Upload's pace on its line: the wire's floor for the bytes of the block dialogue against
// the time they took, and how long the unit's replies took to be read after each block had left.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

// Under this a port's units run slowly enough for the line to be told (an adapter's latency timer).
constexpr double kSlowLinkRatio = 0.8;

class TPace {
public:
    using TTime = std::chrono::steady_clock::time_point;

    // A new transfer at `baud` (10 bits a byte on the wire: 8 data bits, a start and a stop bit).
    void Start(int baud);
    // A block of `bytes` was handed to the line at `at`.
    void BlockSent(TTime at, std::size_t bytes);
    // The unit's reply of `bytes` was read at `at`; only the first reply after a block counts.
    void ReplyRead(TTime at, std::size_t bytes);

    // The wire's floor for the bytes carried since the first block, over the time taken to the last
    // reply: 1 at the wire (never more), 0 before a block was answered.
    double WireRatio() const;
    // The median time from a block's last byte leaving (its write plus its bytes' time on the wire)
    // to its reply being read, in milliseconds; 0 before a block was answered.
    double ReplyMedianMs() const;

private:
    std::chrono::nanoseconds WireTime(std::size_t bytes) const;

    int baud_ = 0;
    std::optional<TTime> first_;        // the first block's write
    std::optional<TTime> blockLeft_;    // the last block's last byte on the wire, until its reply
    TTime lastReply_{};
    std::size_t carried_ = 0;           // bytes of the blocks and their replies, from the first block
    std::vector<double> replyMs_;
};

// "slow link: 0.61 of the wire; a USB adapter's latency timer (see `zupflshc ports`)" for a ratio
// measured under kSlowLinkRatio, "" otherwise (and for one not measured).
std::string SlowLinkText(double wireRatio);
