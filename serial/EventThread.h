// TEventThread: the receive thread of TSerial. While the port is open it sleeps in epoll on the
// port and a wake-up eventfd; every event handler it raises runs on the main thread through the
// component's poster. It never waits for the main thread: an arrival is posted once, and bytes
// that come before it has run are served with it.
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
    // Runs where the handlers run: the bytes waiting, as the event mode wants them at that moment.
    void ServeArrival();
    void ReportError(int code);
    // Hands fn to the main thread without waiting; an arrival already posted and not yet begun
    // takes this one along. Without a poster fn runs here at once.
    void Post(std::function<void()> fn, bool arrival);
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
