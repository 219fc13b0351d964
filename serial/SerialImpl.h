// Internals of TSerial shared by Serial4.cpp and EventThread.cpp. Not part of the interface.
#pragma once

#include "serial/EventThread.h"
#include "serial/MessageAssembly.h"
#include "serial/Serial4.h"
#include "serial/serial_posix.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

// What the receive thread, the component and the functions posted to the main thread have in
// common. Held by shared_ptr so that a posted function still finds it after the component has
// gone; it then sees its dispatch cancelled and does nothing.
struct TSerialShared {
    std::mutex m;                  // guards the flags below and the dispatch state
    std::condition_variable cv;    // FThreadActive dropping, the port closing
    std::atomic<bool> FActive{false};
    std::atomic<bool> FClosing{false};
    std::atomic<bool> FThreadActive{false};
    std::atomic<bool> FTerminate{false};
    // The device went away while open (hang-up, EIO); cleared by the next open.
    std::atomic<bool> LineLost{false};

    // What the thread has posted to the main thread: a posted function runs only while its
    // generation is current. A close or the end of the component moves the generation on, so
    // nothing posted before it runs afterwards; the thread never waits for a posted function.
    uint64_t Generation = 0;
    // An arrival is posted and has not started: further arrivals ride along with it.
    bool ArrivalPosted = false;
    unsigned Posted = 0;   // posted functions of the current generation not yet run
    std::atomic<unsigned> Dispatches{0};

    // Port I/O of both threads goes through here, one call at a time. Fd is -1 while closed.
    std::mutex io;
    int Fd = -1;

    // Under m: what is posted and not yet run will not run.
    void CancelDispatchLocked() {
        ++Generation;
        ArrivalPosted = false;
        Posted = 0;
        cv.notify_all();
    }
    ssize_t Read(char* buf, size_t max) {
        std::lock_guard<std::mutex> lk(io);
        if (Fd < 0) return -EBADF;
        return serialio::ReadAvailable(Fd, buf, max);
    }
};

struct TSerial::Impl {
    explicit Impl(TSerial& owner) : self(owner) {}

    TSerial& self;
    TMainThreadPoster post;
    TErrorBox errorBox;

    int port = 1;
    int baud = 9600;
    eParity parity = paNone;
    eDataBits dataBits = d7bit;
    eStopBits stopBits = st1bit;
    uint16_t rxQueueSize = 1024;
    uint16_t txQueueSize = 1024;
    eFlowControl flow = fcNone;
    bool checkParity = true;

    std::atomic<int> errorCode{0};
    std::string errorDetail;   // what the open found beyond errno (a stale lock, a foreign link)
    bool openFailed = false;   // the port is closed because its last open failed
    bool refusedLink = false;  // the last open refused COM<n> as a link another user made
    TPortRule portRule;      // what the port number opens
    std::string devicePath;  // "" = what the rule makes of the port number
    std::string lockFolder = "/run/lock/";
    serialio::TDeviceId opened;   // what the last successful open reached; kept after the close
    bool holdDevice = false;
    std::atomic<double> lastCloseMillis{0};   // written where the close runs

    std::shared_ptr<TSerialShared> shared = std::make_shared<TSerialShared>();
    std::unique_ptr<serialio::TPort> portHandle;
    TMessageAssembly msg;   // FMsgState, FAppendLeft, FRxMessage: where the arrivals are served
    std::unique_ptr<TEventThread> thread;
    std::thread closer;                    // a close handed aside, owning the descriptor
    std::atomic<bool> closingAside{false}; // it has not let the device go yet

    void Reconnect(bool open);
    void Reapply();
    void Open();
    void Close();
    void CloseAside(std::function<void()> closed);
    void JoinCloser() {
        if (closer.joinable()) closer.join();
    }
    // The steps of a close: the queues and lines dropped; the port no longer served (never
    // waits); the receive thread's answer awaited (bounded) and the port no longer watched; the
    // descriptor taken from the I/O that both threads do.
    void DropLines(int fd);
    void StopServing();
    void AwaitThread(int fd);
    void DropFd();
    void HandleError(int code, std::string detail = {});
    std::string ErrorText() const;
    void FailOnClosedPort();
    // A failed read: EBADF is what a read of the closed port gives.
    void Fail(int code) {
        readFailed = true;
        code == EBADF ? FailOnClosedPort() : HandleError(code);
    }
    bool readFailed = false;   // since the last open: a line that went is then reported already
    void ShowError();
    // Fails when the driver has not taken every byte within limitMs; with `perByte`, the limit
    // starts again whenever it takes some.
    void WriteBytes(const char* data, size_t size, int limitMs, bool perByte = false);
    serialio::TLineSettings Settings() const;
};
