#include "engine/Pace.h"

#include <algorithm>

void TPace::Start(int baud) { *this = TPace{}, baud_ = baud; }

std::chrono::nanoseconds TPace::WireTime(std::size_t bytes) const {
    if (baud_ <= 0) return {};
    return std::chrono::nanoseconds(static_cast<long long>(bytes) * 10'000'000'000LL / baud_);
}

void TPace::BlockSent(TTime at, std::size_t bytes) {
    if (!first_) first_ = at;
    carried_ += bytes;
    blockLeft_ = at + WireTime(bytes);
}

void TPace::ReplyRead(TTime at, std::size_t bytes) {
    // A reply before any block (the unit's first request) is not part of a block's round.
    if (!blockLeft_) return;
    carried_ += bytes;
    lastReply_ = at;
    // A reply read before the block can have left (a write the driver reports late) counts as none.
    replyMs_.push_back(std::max(0.0, std::chrono::duration<double, std::milli>(at - *blockLeft_).count()));
    blockLeft_.reset();
}

double TPace::WireRatio() const {
    if (!first_ || replyMs_.empty() || baud_ <= 0) return 0;
    const double took = std::chrono::duration<double>(lastReply_ - *first_).count();
    const double floor = std::chrono::duration<double>(WireTime(carried_)).count();
    return took <= floor ? 1.0 : floor / took;
}

double TPace::ReplyMedianMs() const {
    if (replyMs_.empty()) return 0;
    std::vector<double> v = replyMs_;
    const auto middle = v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2);
    std::nth_element(v.begin(), middle, v.end());
    if (v.size() % 2 == 1) return *middle;
    const double upper = *middle;
    return (upper + *std::max_element(v.begin(), middle)) / 2;
}

std::string SlowLinkText(double wireRatio) {
    if (wireRatio <= 0 || wireRatio >= kSlowLinkRatio) return {};
    // Two decimals by hand: the locale's decimal comma has no place in a line a script reads.
    const int hundredths = static_cast<int>(wireRatio * 100 + 0.5);
    const std::string ratio = "0." + std::string(hundredths < 10 ? "0" : "") + std::to_string(hundredths);
    return "slow link: " + ratio + " of the wire; a USB adapter's latency timer (see `zupflshc ports`)";
}
