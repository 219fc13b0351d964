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

// What the main thread saw when it took the receive event: the thread must not read the
// component's public fields itself while the main thread may be changing them.
struct TRxSnapshot {
    eOpModes Mode = rxNormal;
    bool HasMessageHandler = false;
    char Start = 2;
    char End = 3;
    uint16_t AppendCount = 0;
};
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

bool TEventThread::RunOnMain(std::function<void()> fn) {
    TSerialShared& sh = *shared_;
    if (!post_) {
        if (!Serving(sh)) return false;
        ++sh.Dispatches;
        fn();
        return !sh.FTerminate;
    }
    uint64_t seq;
    {
        std::lock_guard<std::mutex> lk(sh.m);
        // Checked under the lock the close takes to cancel: either the close sees this dispatch
        // and cancels it, or this sees the close and posts nothing.
        if (!Serving(sh)) return false;
        seq = ++sh.JobSeq;
        sh.Job = TSerialShared::EJob::Posted;
    }
    ++sh.Dispatches;
    post_([weak = std::weak_ptr<TSerialShared>(shared_), seq, fn = std::move(fn)] {
        auto sp = weak.lock();
        if (!sp) return;
        {
            std::lock_guard<std::mutex> lk(sp->m);
            if (sp->JobSeq != seq || sp->Job != TSerialShared::EJob::Posted) return;   // cancelled
            sp->Job = TSerialShared::EJob::Running;
        }
        // Marks the dispatch done also when the handler throws: the exception goes on to the
        // main thread's caller, and the receive thread carries on.
        struct Finish {
            TSerialShared& s;
            uint64_t seq;
            ~Finish() {
                std::lock_guard<std::mutex> lk(s.m);
                if (s.JobSeq == seq && s.Job == TSerialShared::EJob::Running) {
                    s.Job = TSerialShared::EJob::Done;
                    s.cv.notify_all();
                }
            }
        } finish{*sp, seq};
        fn();
    });
    std::unique_lock<std::mutex> lk(sh.m);
    sh.cv.wait(lk, [&] {
        return sh.JobSeq != seq || sh.Job == TSerialShared::EJob::Done || sh.FTerminate;
    });
    bool done = sh.JobSeq == seq && sh.Job == TSerialShared::EJob::Done;
    if (done) sh.Job = TSerialShared::EJob::None;
    return done;
}

void TEventThread::ReportError(int code) {
    TSerial* serial = &FSerial;
    RunOnMain([serial, code] { serial->d->HandleError(code); });
}

void TEventThread::DoRxData() {
    if (FSerial.OnRxData) FSerial.OnRxData(FSerial);
}

void TEventThread::DoMessage(const std::string& message) {
    if (FSerial.OnMessage) FSerial.OnMessage(FSerial, message);
}

bool TEventThread::ServeInput() {
    auto snap = std::make_shared<TRxSnapshot>();
    TEventThread* self = this;
    TSerial* serial = &FSerial;
    // One dispatch per wake-up. In rxNormal mode it is the DoRxData itself; in rxMessage mode it
    // only fetches the framing settings, and the reading is done here.
    bool ran = RunOnMain([self, serial, snap] {
        snap->Mode = serial->RxEventMode;
        snap->HasMessageHandler = static_cast<bool>(serial->OnMessage);
        snap->Start = serial->MessageStartChar;
        snap->End = serial->MessageEndChar;
        snap->AppendCount = serial->MessageAppendCount;
        if (snap->Mode == rxNormal) self->DoRxData();
    });
    if (!ran || snap->Mode != rxMessage || !snap->HasMessageHandler) return false;

    TMessageAssembly& msg = FSerial.d->msg;
    while (Serving(*shared_)) {
        char ch;
        ssize_t n = shared_->Read(&ch, 1);
        if (n == 0) return false;
        if (n < 0) {
            ReportError(static_cast<int>(-n));
            return true;
        }
        if (msg.Feed(ch, snap->Start, snap->End, snap->AppendCount)) {
            // The handler gets its own copy: a close from inside it lets this thread go on
            // assembling while the handler may still be reading.
            std::string message = msg.FRxMessage;
            if (!RunOnMain([self, message] { self->DoMessage(message); })) return false;
        }
    }
    return false;
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
            bool reported = readable && waiting > 0 && ServeInput();
            if (!reported && Serving(sh)) ReportError(EIO);
        } else if (readable) {
            ServeInput();
        }
    }
    std::lock_guard<std::mutex> lk(sh.m);
    sh.FThreadActive = false;
    sh.cv.notify_all();
}
