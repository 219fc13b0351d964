// TEventThread: the receive thread of TSerial. While the port is open it sleeps in epoll on the
// port and a wake-up eventfd; every event handler it raises runs on the main thread through the
// component's poster, and the thread waits for it (or for a close that cancels it).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "base/UniqueFd.h"

class TSerial;
struct TSerialShared;

class TEventThread {
public:
    // Created "suspended": descriptors are made, the thread starts at the first Resume.
    explicit TEventThread(TSerial& serial);
    // Asks the thread to end, cancels a pending dispatch and joins: nothing is left running.
    ~TEventThread();
    TEventThread(const TEventThread&) = delete;
    TEventThread& operator=(const TEventThread&) = delete;

    void Resume();                 // starts the thread; no effect after the first call
    void Attach(int portFd);       // watch the newly opened port
    void Detach(int portFd);       // stop watching it (before it is closed)
    void Wake();                   // cut a wait short
    bool IsReceiveThread() const;  // the caller runs on this thread (handlers without a poster)

private:
    // Runs on the thread; `sh` is the thread's own reference to the shared state, which outlives
    // this object when a handler run without a poster destroys the component.
    void Execute(TSerialShared& sh);
    void Nap();
    bool ServeInput();   // true when it met and reported a failed read
    void ReportError(int code);
    // Runs fn on the main thread and waits; false when it was cancelled or not posted at all
    // because the port is closing. Without a poster fn runs here, on this thread, and false also
    // means the component was destroyed by it: the caller must not touch this object again.
    bool RunOnMain(std::function<void()> fn);
    static bool Serving(const TSerialShared& sh);   // open and not closing

    void DoRxData();
    void DoMessage(const std::string& message);

    TSerial& FSerial;
    std::shared_ptr<TSerialShared> shared_;
    std::function<void(std::function<void()>)> post_;
    TUniqueFd epollFd_;
    TUniqueFd wakeFd_;
    std::thread thread_;
};
