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
    frontReadyAt_.reset();
}

std::optional<OutQueue::TimePoint> OutQueue::NextDeadline() const {
    if (items_.empty()) return std::nullopt;
    const TimePoint due = items_.front().due + hold_;
    return frontReadyAt_ ? std::max(due, *frontReadyAt_) : due;
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
    while (!items_.empty() && items_.front().due + hold_ <= now) {
        Item& item = items_.front();
        if (pace && baud > 0) {
            // The item starts when it is due and the line is free; it can be read once its last
            // byte has crossed. A line idle since does not bank time for a burst later.
            const auto perByte = std::chrono::nanoseconds(10'000'000'000LL / baud);
            const TimePoint start = std::max(item.due, nextByteAt_);
            const TimePoint done = start + perByte * static_cast<long>(item.bytes.size());
            if (done + hold_ > now) {
                frontReadyAt_ = done + hold_;
                return true;
            }
            nextByteAt_ = done;
        }
        frontReadyAt_.reset();
        ssize_t n = write(item.bytes.data(), item.bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                blocked_ = true;
                return true;
            }
            return false;
        }
        item.bytes.erase(0, static_cast<size_t>(n));
        if (!item.bytes.empty()) {
            // The terminal took part of it; the rest has crossed the line already.
            item.due = now - hold_;
            blocked_ = true;
            return true;
        }
        items_.pop_front();
    }
    return true;
}
