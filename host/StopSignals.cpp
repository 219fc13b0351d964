#include "host/StopSignals.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <stdexcept>
#include <system_error>
#include <unistd.h>

namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

// A signal handler may do no more than write a byte, so it can reach only this: the write end of
// the one TStopSignals' pipe, -1 while there is none.
std::atomic<int> handlerPipe{-1};

void OnStopSignal(int signal) {
    const int saved = errno;
    const int fd = handlerPipe.load();
    const char byte = static_cast<char>(signal);
    if (fd >= 0) [[maybe_unused]] const ssize_t n = ::write(fd, &byte, 1);
    errno = saved;
}

}  // namespace

TStopSignals::TStopSignals() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        throw std::system_error(errno, std::generic_category(), "the stop signals cannot be watched");
    int none = -1;
    if (!handlerPipe.compare_exchange_strong(none, fds[1])) {
        ::close(fds[0]);
        ::close(fds[1]);
        // A second owner would silently hear nothing: the jobs it serves could never be stopped.
        throw std::logic_error("the stop signals already have an owner in this process");
    }
    readFd_ = fds[0];
    writeFd_ = fds[1];
    notifier_ = std::make_unique<QSocketNotifier>(readFd_, QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, &context_, [this] { Drain(); });
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int s : kSignals) sigaction(s, &action, nullptr);
}

TStopSignals::~TStopSignals() {
    if (!notifier_) return;
    for (int s : kSignals) std::signal(s, SIG_DFL);
    handlerPipe.store(-1);
    notifier_.reset();
    ::close(readFd_);
    ::close(writeFd_);
}

int TStopSignals::Subscribe(std::function<void(int)> stop) {
    stops_[nextId_] = std::move(stop);
    return nextId_++;
}

void TStopSignals::Unsubscribe(int id) { stops_.erase(id); }

void TStopSignals::Drain() {
    char bytes[16];
    ssize_t n;
    int last = 0;
    while ((n = ::read(readFd_, bytes, sizeof bytes)) > 0) last = static_cast<unsigned char>(bytes[n - 1]);
    if (last == 0) return;
    if (received_ == 0) received_ = last;
    // A stop may end a job, which unsubscribes: walk a copy.
    const auto stops = stops_;
    for (const auto& [id, stop] : stops) stop(last);
}

int StopStatus(int signal) { return signal == SIGHUP ? 129 : 130; }
