#include "serial/Serial4.h"

#include "serial/SerialImpl.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <poll.h>
#include <system_error>
#include <unistd.h>

namespace {
using Clock = std::chrono::steady_clock;
// How long a close waits for the receive thread to let go of the port.
constexpr auto kThreadAnswerLimit = std::chrono::milliseconds(7500);
constexpr int kWriteCharLimitMs = 1000;

std::mutex closeAsideHookMutex;
std::function<void(const std::string&)> closeAsideHook;

void RunCloseAsideHook(const std::string& device) {
    std::function<void(const std::string&)> hook;
    {
        std::lock_guard<std::mutex> lk(closeAsideHookMutex);
        hook = closeAsideHook;
    }
    if (hook) hook(device);
}
constexpr int kWriteStringMinMs = 500;

bool ValidBaudrate(int value) {
    return std::find(std::begin(TSerial::BaudRates), std::end(TSerial::BaudRates), value) !=
           std::end(TSerial::BaudRates);
}
}  // namespace

// ---------------------------------------------------------------------------------------------
// Impl

serialio::TLineSettings TSerial::Impl::Settings() const {
    serialio::TLineSettings s;
    s.Baud = baud;
    s.DataBits = dataBits == d8bit ? 8 : 7;
    s.Parity = parity;
    s.TwoStopBits = stopBits == st2bit;
    s.Flow = flow;
    s.CheckParity = checkParity;
    return s;
}

void TSerial::Impl::Reconnect(bool open) {
    if (shared->FActive) Close();
    if (open) Open();
}

// Settings changed on the open port take effect on the descriptor it holds, lock and claim kept,
// the queues emptied as at an open. Opening the name again could reach another device by now
// (a COM link changed, an adapter swapped), and the job would go on with a unit it never loaded.
void TSerial::Impl::Reapply() {
    if (!shared->FActive || !portHandle) return;
    const int fd = portHandle->Fd();
    serialio::FlushQueues(fd);
    if (const int err = serialio::ApplySettings(fd, Settings())) {
        // As a reopen that failed: the port is closed, the reason reported.
        Close();
        openFailed = true;
        HandleError(err);
    }
}

void TSerial::Impl::Open() {
    // The descriptor of a close still under way goes first: its device may be this one.
    JoinCloser();
    int err = 0;
    std::string detail;
    const std::string device = self.DeviceName();
    std::unique_ptr<serialio::TPort> handle;
    refusedLink = devicePath.empty() && (err = serialio::CheckComEntry(device, detail)) != 0;
    if (!refusedLink) handle = serialio::TPort::Open(device, lockFolder, Settings(), err, &detail);
    serialio::TDeviceId reached;
    if (handle && (err = serialio::IdentifyDevice(handle->Fd(), reached)) == 0 && holdDevice && !opened.Path.empty() &&
        !(reached == opened)) {
        err = ENODEV;
        detail = device + " now leads to " + reached.Path + ", not to " + opened.Path + ", the device this port had";
    }
    if (err) handle.reset();
    openFailed = !handle;
    readFailed = false;
    if (!handle) {
        // The device this port had stays held; otherwise what a failure names is what was tried.
        if (!holdDevice) opened = {};
        HandleError(err, detail);
        return;
    }
    opened = reached;
    // The queue sizes have no counterpart in a tty driver; RxQueueSize still bounds ReadString.
    portHandle = std::move(handle);
    {
        std::lock_guard<std::mutex> lk(shared->io);
        shared->Fd = portHandle->Fd();
    }
    thread->Attach(portHandle->Fd());
    {
        std::lock_guard<std::mutex> lk(shared->m);
        shared->LineLost = false;
        shared->FActive = true;
        shared->FClosing = false;
    }
    thread->Resume();
    thread->Wake();   // out of its closed-port nap at once
}

// Queued bytes go both ways and the lines drop, so the device's close has nothing to drain.
void TSerial::Impl::DropLines(int fd) {
    serialio::FlushQueues(fd);
    serialio::SetModemLine(fd, 1, false);
    serialio::SetModemLine(fd, 0, false);
}

void TSerial::Impl::StopServing() {
    {
        std::lock_guard<std::mutex> lk(shared->m);
        shared->FActive = false;
        shared->FClosing = true;
        // What the thread posted and the main thread has not run yet concerns the port that is
        // going: it is dropped.
        shared->CancelDispatchLocked();
    }
    thread->Wake();
}

void TSerial::Impl::AwaitThread(int fd) {
    if (!thread->IsReceiveThread()) {
        std::unique_lock<std::mutex> lk(shared->m);
        shared->cv.wait_for(lk, kThreadAnswerLimit, [&] { return !shared->FThreadActive; });
    }
    if (fd >= 0) thread->Detach(fd);
}

void TSerial::Impl::DropFd() {
    std::lock_guard<std::mutex> lk(shared->io);
    shared->Fd = -1;
}

void TSerial::Impl::Close() {
    const auto start = Clock::now();
    const int fd = portHandle ? portHandle->Fd() : -1;
    DropLines(fd);
    StopServing();
    AwaitThread(fd);
    DropFd();
    portHandle.reset();
    shared->FClosing = false;
    lastCloseMillis = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void TSerial::Impl::CloseAside(std::function<void()> closed) {
    if (!post || !shared->FActive || !portHandle) {
        if (shared->FActive) Close();
        if (closed) post ? post(std::move(closed)) : closed();
        return;
    }
    const auto start = Clock::now();
    JoinCloser();
    // From here on the port is closed for everyone here: calls on it fail as on a closed port,
    // and the receive thread dispatches nothing more.
    StopServing();
    DropFd();
    closingAside = true;
    closer = std::thread([this, port = std::move(portHandle), closed = std::move(closed), start,
                          device = opened.Path]() mutable {
        RunCloseAsideHook(device);
        const int fd = port->Fd();
        DropLines(fd);
        AwaitThread(fd);
        port.reset();
        shared->FClosing = false;
        lastCloseMillis = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        closingAside = false;
        if (closed) post(std::move(closed));
    });
}

void TSerial::Impl::HandleError(int code, std::string detail) {
    errorCode = code;
    errorDetail = std::move(detail);
    switch (self.NotifyErrors) {
    case neDialog: ShowError(); break;
    case neEvent:
        if (self.OnError) self.OnError(self);
        break;
    case neNone: break;
    }
}

// A call that needs the open port, made while it is closed. After a failed open the open's own
// failure has been reported and is what the operator must see; EBADF would only hide it.
void TSerial::Impl::FailOnClosedPort() {
    if (!openFailed) HandleError(EBADF);
}

std::string TSerial::Impl::ErrorText() const {
    const int code = errorCode;
    if (code == 0) return {};
    const std::string text = std::system_category().message(code);
    return errorDetail.empty() ? text : text + ": " + errorDetail;
}

void TSerial::Impl::ShowError() {
    const std::string text = ErrorText();
    if (errorBox) errorBox(text);
    else std::fprintf(stderr, "%s\n", text.c_str());
}

void TSerial::Impl::WriteBytes(const char* data, size_t size, int limitMs, bool perByte) {
    const auto limit = std::chrono::milliseconds(limitMs);
    auto deadline = Clock::now() + limit;
    int fd = portHandle ? portHandle->Fd() : -1;
    if (fd < 0) {
        FailOnClosedPort();
        return;
    }
    // Done when the driver has taken every byte; the wire time is not waited for, so a block
    // does not hold the main thread for as long as it takes to go out at a low rate.
    while (size > 0) {
        ssize_t n;
        {
            std::lock_guard<std::mutex> lk(shared->io);
            n = write(fd, data, size);
        }
        if (n > 0) {
            data += n;
            size -= static_cast<size_t>(n);
            if (perByte) deadline = Clock::now() + limit;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) {
            HandleError(errno);
            return;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            HandleError(ETIMEDOUT);
            return;
        }
        pollfd p{fd, POLLOUT, 0};
        int r = poll(&p, 1, static_cast<int>(left.count()));
        if (r < 0 && errno != EINTR) {
            HandleError(errno);
            return;
        }
        if (r > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL))) {
            HandleError(EIO);
            return;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// TSerial

TSerial::TSerial(TMainThreadPoster post, TErrorBox errorBox) : d(std::make_unique<Impl>(*this)) {
    d->post = std::move(post);
    d->errorBox = std::move(errorBox);
    d->thread = std::make_unique<TEventThread>(*this);
}

TSerial::~TSerial() {
    d->JoinCloser();
    d->Reconnect(false);
    d->thread.reset();
}

int TSerial::Port() const { return d->port; }
void TSerial::SetPort(int Value) {
    if (Value == d->port) return;
    d->port = Value;
    d->Reconnect(Active());
}

int TSerial::Baudrate() const { return d->baud; }
void TSerial::SetBaudrate(int Value) {
    if (!ValidBaudrate(Value)) {
        if (d->errorBox) d->errorBox("Baudrate is not valid");
        else std::fprintf(stderr, "Baudrate is not valid\n");
        return;
    }
    if (Value == d->baud) return;
    d->baud = Value;
    d->Reapply();
}

eParity TSerial::Parity() const { return d->parity; }
void TSerial::SetParity(eParity Value) {
    if (Value == d->parity) return;
    d->parity = Value;
    d->Reapply();
}

eDataBits TSerial::DataBits() const { return d->dataBits; }
void TSerial::SetDataBits(eDataBits Value) {
    if (Value == d->dataBits) return;
    d->dataBits = Value;
    d->Reapply();
}

eStopBits TSerial::StopBits() const { return d->stopBits; }
void TSerial::SetStopBits(eStopBits Value) {
    if (Value == d->stopBits) return;
    d->stopBits = Value;
    d->Reapply();
}

uint16_t TSerial::RxQueueSize() const { return d->rxQueueSize; }
void TSerial::SetRxQueueSize(uint16_t Value) {
    d->rxQueueSize = Value;
    d->Reapply();
}

uint16_t TSerial::TxQueueSize() const { return d->txQueueSize; }
void TSerial::SetTxQueueSize(uint16_t Value) {
    d->txQueueSize = Value;
    d->Reapply();
}

eFlowControl TSerial::FlowMode() const { return d->flow; }
void TSerial::SetFlowMode(eFlowControl Value) {
    if (Value == d->flow) return;
    d->flow = Value;
    d->Reapply();
}

bool TSerial::CheckParity() const { return d->checkParity; }
void TSerial::SetCheckParity(bool Value) {
    if (Value == d->checkParity) return;
    d->checkParity = Value;
    d->Reapply();
}

int TSerial::RxWaiting() {
    if (!Active() || !d->portHandle) return 0;
    int count = 0;
    if (int e = serialio::QueuedInput(d->portHandle->Fd(), count)) d->HandleError(e);
    return count;
}

int TSerial::TxWaiting() {
    if (!Active() || !d->portHandle) return 0;
    int count = 0;
    if (int e = serialio::QueuedOutput(d->portHandle->Fd(), count)) d->HandleError(e);
    return count;
}

int TSerial::ErrorCode() const { return d->errorCode; }
int TSerial::LowLatencyRefused() const {
    const serialio::TPort* port = d->portHandle.get();
    return port && port->LowLatency().State == serialio::TLowLatency::Refused ? port->LowLatency().Error : 0;
}

bool TSerial::LineLost() const { return d->shared->LineLost; }
bool TSerial::RefusedLink() const { return d->refusedLink; }
std::string TSerial::ErrorText() const { return d->ErrorText(); }

bool TSerial::Active() const { return d->shared->FActive; }
void TSerial::SetActive(bool Value) { d->Reconnect(Value); }
void TSerial::CloseAside(std::function<void()> closed) { d->CloseAside(std::move(closed)); }
bool TSerial::Closing() const { return d->closingAside; }

void TSerial::SetPortRule(TPortRule Rule) { d->portRule = std::move(Rule); }
void TSerial::SetDevicePath(const std::string& Path) { d->devicePath = Path; }
const std::string& TSerial::DevicePath() const { return d->devicePath; }
std::string TSerial::DeviceName() const {
    if (!d->devicePath.empty()) return d->devicePath;
    return d->portRule ? d->portRule(d->port) : std::string();
}
std::string TSerial::OpenedDevice() const { return d->opened.Path; }
void TSerial::SetHoldDevice(bool On) {
    d->holdDevice = On;
    if (!On && !d->portHandle) d->opened = {};
}

void TSerial::WriteChar(char Ch) { d->WriteBytes(&Ch, 1, kWriteCharLimitMs); }

void TSerial::WriteChars(const std::string& S) { d->WriteBytes(S.data(), S.size(), kWriteCharLimitMs, true); }

void TSerial::WriteString(const std::string& S) {
    long long limit = static_cast<long long>(S.size()) * (20000 / d->baud);
    limit = std::clamp<long long>(limit, kWriteStringMinMs, 24LL * 3600 * 1000);
    d->WriteBytes(S.data(), S.size(), static_cast<int>(limit));
}

int TSerial::ReadChar(char& Ch) {
    char c;
    ssize_t n = d->shared->Read(&c, 1);
    if (n < 0) {
        d->Fail(static_cast<int>(-n));
        return 0;
    }
    if (n == 1) Ch = c;
    return static_cast<int>(n);
}

int TSerial::ReadString(std::string& S) {
    const size_t max = static_cast<size_t>(d->rxQueueSize) + 1;
    // A reply is a few bytes: read on the stack rather than zero a whole queue's worth each time.
    char small[2048];
    const bool onStack = max <= sizeof small;
    if (!onStack) S.assign(max, '\0');
    ssize_t n = d->shared->Read(onStack ? small : S.data(), max);
    if (n < 0) {
        d->Fail(static_cast<int>(-n));
        n = 0;
    }
    if (onStack) S.assign(small, static_cast<size_t>(n));
    else S.resize(static_cast<size_t>(n));
    return static_cast<int>(n);
}

// Nothing is ever left pending on Linux (reads return at once, writes finish or give up within
// the call), so there is nothing to abort; the driver's queues are left alone as on Windows.
void TSerial::AbortTx() {
    if (!d->portHandle) d->FailOnClosedPort();
}
void TSerial::AbortRx() {
    if (!d->portHandle) d->FailOnClosedPort();
}

void TSerial::SetSignal(int Line, bool On) {
    if (d->portHandle) serialio::SetModemLine(d->portHandle->Fd(), Line, On);
}

double TSerial::LastCloseMillis() const { return d->lastCloseMillis; }

void TSerial::SetLockFolder(const std::string& Folder) { d->lockFolder = Folder; }
void TSerial::SetCloseAsideHook(std::function<void(const std::string&)> hook) {
    std::lock_guard<std::mutex> lk(closeAsideHookMutex);
    closeAsideHook = std::move(hook);
}
std::string TSerial::LockFilePath() const { return d->portHandle ? d->portHandle->LockPath() : ""; }
unsigned TSerial::DispatchCount() const { return d->shared->Dispatches; }
bool TSerial::DispatchPending() const {
    std::lock_guard<std::mutex> lk(d->shared->m);
    return d->shared->Posted > 0;
}
