#include "OutQueue.h"

#include <algorithm>
#include <cerrno>
#include <unistd.h>

OutQueue::TimePoint OutQueue::Push(std::string bytes, TimePoint due) {
    due = std::max(due, lastDue_);
    lastDue_ = due;
    if (!bytes.empty()) items_.push_back({due, std::move(bytes)});
    return due;
}

void OutQueue::Clear() {
    items_.clear();
    blocked_ = false;
}

std::optional<OutQueue::TimePoint> OutQueue::NextDeadline() const {
    if (items_.empty()) return std::nullopt;
    return std::max(items_.front().due, nextByteAt_);
}

bool OutQueue::Flush(int fd, TimePoint now, int baud, bool pace) {
    return FlushTo([fd](const char* data, size_t n) { return ::write(fd, data, n); }, now, baud, pace);
}

void OutQueue::Flush(std::string& sink, TimePoint now, int baud, bool pace) {
    FlushTo(
        [&sink](const char* data, size_t n) {
            sink.append(data, n);
            return static_cast<ssize_t>(n);
        },
        now, baud, pace);
}

template <class Write>
bool OutQueue::FlushTo(Write&& write, TimePoint now, int baud, bool pace) {
    blocked_ = false;
    while (!items_.empty() && items_.front().due <= now) {
        Item& item = items_.front();
        size_t allowed = item.bytes.size();
        std::chrono::nanoseconds perByte{0};
        if (pace && baud > 0) {
            perByte = std::chrono::nanoseconds(10'000'000'000LL / baud);  // 10 bits a character
            // An idle line does not bank time for a burst later.
            if (nextByteAt_ < now - perByte) nextByteAt_ = now;
            if (nextByteAt_ > now) return true;
            allowed = std::min<size_t>(allowed, static_cast<size_t>((now - nextByteAt_) / perByte) + 1);
        }
        ssize_t n = write(item.bytes.data(), allowed);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                blocked_ = true;
                return true;
            }
            return false;
        }
        if (pace) nextByteAt_ += perByte * n;
        item.bytes.erase(0, static_cast<size_t>(n));
        if (item.bytes.empty()) items_.pop_front();
        if (static_cast<size_t>(n) < allowed) {
            blocked_ = true;
            return true;
        }
    }
    return true;
}
