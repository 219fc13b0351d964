#include "serial/EventThread.h"

#include "serial/SerialImpl.h"

#include <cerrno>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <system_error>
#include <unistd.h>

namespace {
constexpr uint32_t kWakeTag = 0;
constexpr uint32_t kPortTag = 1;
constexpr int kClosedNapMs = 100;

}  // namespace

TEventThread::TEventThread(TSerial& serial)
    : FSerial(serial),
      shared_(serial.d->shared),
      post_(serial.d->post),
      epollFd_(epoll_create1(EPOLL_CLOEXEC)),
      wakeFd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    if (epollFd_.Get() < 0 || wakeFd_.Get() < 0)
        throw std::system_error(errno, std::system_category(), "receive thread");
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u32 = kWakeTag;
    if (epoll_ctl(epollFd_.Get(), EPOLL_CTL_ADD, wakeFd_.Get(), &ev) != 0)
        throw std::system_error(errno, std::system_category(), "receive thread");
}

TEventThread::~TEventThread() {
    {
        std::lock_guard<std::mutex> lk(shared_->m);
        shared_->FTerminate = true;
        shared_->CancelDispatchLocked();
    }
    Wake();
    if (thread_.joinable()) {
        // Destroying the component from one of its own handlers run without a poster cannot
        // join; the thread ends on its own once that handler returns, touching nothing of this
        // object again (it sees FTerminate in the shared state it keeps alive itself).
        if (IsReceiveThread()) thread_.detach();
        else thread_.join();
    }
}

void TEventThread::Resume() {
    if (!thread_.joinable()) thread_ = std::thread([this, keep = shared_] { Execute(*keep); });
}

void TEventThread::Attach(int portFd) {
    // Edge-triggered: one event per arrival of bytes, like the driver's "character received"
    // event. Input that a handler leaves in the queue is not announced again until more arrives,
    // so an undrained queue cannot make the thread spin.
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLET;
    ev.data.u32 = kPortTag;
    epoll_ctl(epollFd_.Get(), EPOLL_CTL_ADD, portFd, &ev);
}

void TEventThread::Detach(int portFd) {
    epoll_ctl(epollFd_.Get(), EPOLL_CTL_DEL, portFd, nullptr);
}

void TEventThread::Wake() {
    uint64_t one = 1;
    ssize_t n = write(wakeFd_.Get(), &one, sizeof one);
    (void)n;   // the counter can only be full if nobody ever drains it; a wake is pending then
}

bool TEventThread::IsReceiveThread() const {
    return thread_.joinable() && std::this_thread::get_id() == thread_.get_id();
}

bool TEventThread::Serving(const TSerialShared& sh) {
    return sh.FActive && !sh.FClosing && !sh.FTerminate;
}

void TEventThread::Nap() {
    pollfd p{wakeFd_.Get(), POLLIN, 0};
    if (poll(&p, 1, kClosedNapMs) > 0) {
        uint64_t count;
        ssize_t n = read(wakeFd_.Get(), &count, sizeof count);
        (void)n;
    }
}

void TEventThread::Post(std::function<void()> fn, bool arrival) {
    TSerialShared& sh = *shared_;
    if (!post_) {
        // Run here: the caller looks at nothing but the shared state afterwards, as fn may have
        // destroyed the component.
        if (!Serving(sh)) return;
        ++sh.Dispatches;
        fn();
        return;
    }
    uint64_t generation;
    {
        std::lock_guard<std::mutex> lk(sh.m);
        // Checked under the lock the close takes to cancel: either the close sees this function
        // posted and cancels it, or this sees the close and posts nothing.
        if (!Serving(sh)) return;
        // The arrival already posted reads whatever has come by the time it runs.
        if (arrival && sh.ArrivalPosted) return;
        sh.ArrivalPosted = sh.ArrivalPosted || arrival;
        ++sh.Posted;
        generation = sh.Generation;
    }
    ++sh.Dispatches;
    post_([weak = std::weak_ptr<TSerialShared>(shared_), generation, arrival, fn = std::move(fn)] {
        auto sp = weak.lock();
        if (!sp) return;
        {
            std::lock_guard<std::mutex> lk(sp->m);
            if (sp->Generation != generation) return;   // cancelled by a close
            // From here on, bytes that come are a new arrival, posted anew.
            if (arrival) sp->ArrivalPosted = false;
            --sp->Posted;
        }
        fn();
    });
}

void TEventThread::ReportError(int code) {
    Post([this, code] { FSerial.d->HandleError(code); }, false);
}

void TEventThread::DoRxData() {
    if (FSerial.OnRxData) FSerial.OnRxData(FSerial);
}

void TEventThread::DoMessage(const std::string& message) {
    if (FSerial.OnMessage) FSerial.OnMessage(FSerial, message);
}

void TEventThread::ServeArrival() {
    // A handler run without a poster may destroy the component: only the shared state, held
    // here, may be looked at after one has run.
    const std::shared_ptr<TSerialShared> keep = shared_;
    TSerial& serial = FSerial;
    if (serial.RxEventMode == rxNormal) return DoRxData();
    if (serial.RxEventMode != rxMessage || !serial.OnMessage) return;
    const char start = serial.MessageStartChar, end = serial.MessageEndChar;
    const uint16_t appendCount = serial.MessageAppendCount;
    while (Serving(*keep)) {
        char ch;
        ssize_t n = keep->Read(&ch, 1);
        if (n == 0) return;
        if (n < 0) return serial.d->Fail(static_cast<int>(-n));
        TMessageAssembly& msg = serial.d->msg;
        if (msg.Feed(ch, start, end, appendCount)) {
            // The handler gets its own copy: it may close the port or change the framing.
            const std::string message = msg.FRxMessage;
            DoMessage(message);
        }
    }
}

void TEventThread::Execute(TSerialShared& sh) {
    for (;;) {
        {
            std::unique_lock<std::mutex> lk(sh.m);
            if (sh.FTerminate) break;
            if (!sh.FActive) {
                if (sh.FThreadActive) {
                    sh.FThreadActive = false;
                    sh.cv.notify_all();
                }
                lk.unlock();
                Nap();
                continue;
            }
            sh.FThreadActive = true;
        }

        epoll_event events[4];
        int n = epoll_wait(epollFd_.Get(), events, 4, -1);
        if (n < 0) {
            if (errno == EINTR) continue;
            int code = errno;
            if (Serving(sh)) ReportError(code);
            // Nothing sensible to wait on any more: stay put until the port is closed.
            std::unique_lock<std::mutex> lk(sh.m);
            sh.cv.wait(lk, [&] { return !sh.FActive || sh.FTerminate; });
            continue;
        }
        uint32_t portEvents = 0;
        for (int i = 0; i < n; ++i) {
            if (events[i].data.u32 == kWakeTag) {
                uint64_t count;
                ssize_t r = read(wakeFd_.Get(), &count, sizeof count);
                (void)r;
            } else {
                portEvents |= events[i].events;
            }
        }
        // A wake-up of the close sequence dispatches nothing.
        if (portEvents == 0 || !Serving(sh)) continue;

        bool broken = portEvents & (EPOLLHUP | EPOLLERR);
        bool readable = portEvents & EPOLLIN;
        if (broken) {
            sh.LineLost = true;
            // Bytes that came before the device went are still delivered; then the failure is
            // reported once and the port is no longer watched (it would report again forever).
            int waiting = 0;
            {
                std::lock_guard<std::mutex> lk(sh.io);
                if (sh.Fd >= 0) {
                    serialio::QueuedInput(sh.Fd, waiting);
                    Detach(sh.Fd);
                }
            }
            // The bytes first, then the failure: once (a read may have met it already), and not
            // when a handler closed the port.
            const bool deliver = readable && waiting > 0;
            const std::shared_ptr<TSerialShared> keep = shared_;
            Post([this, keep, deliver] {
                if (deliver) ServeArrival();
                if (Serving(*keep) && !FSerial.d->readFailed) FSerial.d->HandleError(EIO);
            }, false);
        } else if (readable) {
            Post([this] { ServeArrival(); }, true);
        }
    }
    std::lock_guard<std::mutex> lk(sh.m);
    sh.FThreadActive = false;
    sh.cv.notify_all();
}
