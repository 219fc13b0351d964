// The receive thread: handlers on the main thread, message mode through a real port, no spinning,
// and closing or destroying while the thread is busy.
#include "serial/Serial4.h"
#include "host/Ports.h"
#include "tests/support/Pty.h"
#include "tests/support/EventLoop.h"
#include "tests/support/TempDir.h"

#include <QCoreApplication>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Runs the event loop for a while, for checks that something does NOT happen.
void Pump(int ms) {
    WaitUntil([] { return false; }, ms);
}

// Waits without running the event loop, so that a posted dispatch stays pending.
bool WaitWithoutEvents(const std::function<bool()>& cond, int ms = 3000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void QtPost(std::function<void()> f) {
    QMetaObject::invokeMethod(qApp, std::move(f), Qt::QueuedConnection);
}

size_t CountEntries(const char* dir) {
    size_t n = 0;
    for (auto& e : fs::directory_iterator(dir)) {
        (void)e;
        ++n;
    }
    return n;
}

struct Rig {
    TempDir dir;
    TestPty pty;
    std::unique_ptr<TSerial> serial;

    explicit Rig(bool withPoster = true) {
        pty.LinkAs(dir.Folder(), 3);
        serial = withPoster ? std::make_unique<TSerial>(QtPost) : std::make_unique<TSerial>();
        serial->SetPortRule(ComRule(dir.Folder()));
        serial->SetLockFolder("");
        serial->NotifyErrors = neEvent;
        serial->SetPort(3);
        serial->SetDataBits(d8bit);
    }
    void Open() {
        serial->SetActive(true);
        ASSERT_TRUE(serial->Active()) << serial->ErrorText();
    }
};

}  // namespace

TEST(ReceiveThread, DataReachesTheHandlerOnTheMainThreadOnly) {
    Rig r;
    const auto mainId = std::this_thread::get_id();
    std::string received;
    int calls = 0;
    bool offMain = false;
    r.serial->OnRxData = [&](TSerial& sender) {
        ++calls;
        offMain |= std::this_thread::get_id() != mainId;
        EXPECT_EQ(&sender, r.serial.get());
        std::string chunk;
        sender.ReadString(chunk);
        received += chunk;
    };
    r.Open();
    std::string sent;
    for (int i = 0; i < 20; ++i) {
        std::string part = "line " + std::to_string(i) + "\r";
        part.push_back('\0');
        r.pty.Write(part);
        sent += part;
        ASSERT_TRUE(WaitUntil([&] { return received.size() == sent.size(); }));
    }
    EXPECT_EQ(received, sent);
    EXPECT_FALSE(offMain);
    EXPECT_GE(calls, 20);
}

TEST(ReceiveThread, UndrainedInputStaysQueuedWithoutSpinning) {
    for (bool withHandler : {false, true}) {
        SCOPED_TRACE(withHandler ? "handler reads nothing" : "no handler");
        Rig r;
        int calls = 0;
        if (withHandler) r.serial->OnRxData = [&](TSerial&) { ++calls; };
        r.Open();
        unsigned base = r.serial->DispatchCount();
        r.pty.Write("abc");
        ASSERT_TRUE(WaitUntil([&] { return r.serial->RxWaiting() == 3 && r.serial->DispatchCount() > base; }));
        Pump(300);
        unsigned afterFirst = r.serial->DispatchCount();
        // The arrival may be split by the driver, but a spinning thread would be in the thousands.
        EXPECT_LE(afterFirst - base, 3u);
        EXPECT_EQ(r.serial->RxWaiting(), 3);

        // New bytes are announced again.
        r.pty.Write("d");
        ASSERT_TRUE(WaitUntil([&] { return r.serial->DispatchCount() > afterFirst; }));
        EXPECT_EQ(r.serial->RxWaiting(), 4);
        if (withHandler) {
            ASSERT_TRUE(WaitUntil([&] { return calls >= 2; }));
        }
    }
}

TEST(ReceiveThread, MessageModeAssemblesFromThePortAndStateSurvivesReopen) {
    Rig r;
    const auto mainId = std::this_thread::get_id();
    std::vector<std::string> messages;
    bool offMain = false;
    r.serial->RxEventMode = rxMessage;
    r.serial->OnMessage = [&](TSerial&, const std::string& m) {
        offMain |= std::this_thread::get_id() != mainId;
        messages.push_back(m);
    };
    int rxCalls = 0;
    r.serial->OnRxData = [&](TSerial&) { ++rxCalls; };   // not raised in rxMessage mode
    r.Open();

    r.pty.Write(std::string("x\x02" "A\0B\x03y\x02" "E", 9));
    ASSERT_TRUE(WaitUntil([&] { return messages.size() == 1 && r.serial->RxWaiting() == 0; }));
    EXPECT_EQ(messages[0], std::string("\x02" "A\0B\x03", 5));

    // "\x02E" is half a message; it must survive a close and a reopen.
    r.serial->SetActive(false);
    r.serial->SetActive(true);
    ASSERT_TRUE(r.serial->Active());
    r.pty.Write("F\x03");
    ASSERT_TRUE(WaitUntil([&] { return messages.size() == 2; }));
    EXPECT_EQ(messages[1], "\x02" "EF\x03");

    // The framing is changed with the port closed: the thread takes the settings when bytes
    // arrive, and may still be reading the last arrival when the handler has run.
    r.serial->SetActive(false);
    r.serial->MessageAppendCount = 2;
    r.serial->MessageEndChar = '\r';
    r.serial->SetActive(true);
    ASSERT_TRUE(r.serial->Active());
    r.pty.Write("\x02OK\r\x02\r");
    ASSERT_TRUE(WaitUntil([&] { return messages.size() == 3; }));
    EXPECT_EQ(messages[2], "\x02OK\r\x02\r");
    EXPECT_FALSE(offMain);
    EXPECT_EQ(rxCalls, 0);
}

TEST(ReceiveThread, MessageModeWithoutHandlerReadsNothing) {
    Rig r;
    r.serial->RxEventMode = rxMessage;
    r.Open();
    unsigned base = r.serial->DispatchCount();
    r.pty.Write("\x02" "AB\x03");
    ASSERT_TRUE(WaitUntil([&] { return r.serial->DispatchCount() > base && r.serial->RxWaiting() == 4; }));
    Pump(100);
    EXPECT_EQ(r.serial->RxWaiting(), 4);
}

// The thread hands an arrival over and goes on watching: bytes that follow ride along with it, and
// the line going meanwhile is posted behind it, all before the event loop has run once. The
// failure is reported once, whether the handler's read or the thread met it first.
TEST(ReceiveThread, ArrivalsAreHandedOverWithoutWaitingForTheMainThread) {
    Rig r;
    std::vector<std::string> events;
    r.serial->OnRxData = [&](TSerial& s) {
        std::string chunk;
        if (s.ReadString(chunk) > 0) events.push_back(chunk);
    };
    r.serial->OnError = [&](TSerial& s) { events.push_back("error " + std::to_string(s.ErrorCode())); };
    r.Open();
    const unsigned base = r.serial->DispatchCount();
    r.pty.Write("a");
    ASSERT_TRUE(WaitWithoutEvents([&] { return r.serial->DispatchPending(); }));
    r.pty.Write("bc");
    ASSERT_TRUE(WaitWithoutEvents([&] { return r.serial->RxWaiting() == 3; }));
    r.pty.CloseMaster();
    ASSERT_TRUE(WaitWithoutEvents([&] { return r.serial->DispatchCount() == base + 2; }));
    Pump(100);
    // The hang-up may take the bytes with it; whatever is delivered comes whole, before the failure.
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back(), "error " + std::to_string(EIO));
    EXPECT_TRUE(events.size() == 1 || (events.size() == 2 && events[0] == "abc")) << events.size();
    EXPECT_EQ(r.serial->DispatchCount(), base + 2);
}

TEST(ReceiveThread, CloseWhileADispatchIsPendingReturnsAtOnceAndDropsIt) {
    Rig r;
    int calls = 0;
    r.serial->OnRxData = [&](TSerial&) { ++calls; };
    r.Open();
    r.pty.Write("z");
    // The event loop does not run: the dispatch stays posted, the thread waits for it.
    ASSERT_TRUE(WaitWithoutEvents([&] { return r.serial->DispatchPending(); }));
    r.serial->SetActive(false);
    EXPECT_FALSE(r.serial->Active());
    EXPECT_LT(r.serial->LastCloseMillis(), 500.0);
    Pump(100);
    EXPECT_EQ(calls, 0);   // the dropped dispatch does not run later on a closed port
}

TEST(ReceiveThread, CloseFromInsideAHandlerDoesNotDeadlock) {
    Rig r;
    int calls = 0;
    r.serial->OnRxData = [&](TSerial& s) {
        ++calls;
        s.SetActive(false);
    };
    r.Open();
    r.pty.Write("q");
    ASSERT_TRUE(WaitUntil([&] { return !r.serial->Active(); }));
    EXPECT_EQ(calls, 1);
    EXPECT_LT(r.serial->LastCloseMillis(), 500.0);
    // And the port can be used again afterwards.
    r.serial->OnRxData = [&](TSerial& s) {
        std::string chunk;
        s.ReadString(chunk);
        calls += static_cast<int>(chunk.size());
    };
    r.Open();
    r.pty.Write("12345");
    ASSERT_TRUE(WaitUntil([&] { return calls == 6; }));
}

TEST(ReceiveThread, FailureSeenByTheThreadIsReportedOnTheMainThread) {
    Rig r;
    const auto mainId = std::this_thread::get_id();
    int errors = 0;
    bool offMain = false;
    r.serial->OnError = [&](TSerial&) {
        ++errors;
        offMain |= std::this_thread::get_id() != mainId;
    };
    r.Open();
    r.pty.CloseMaster();   // the device goes away
    ASSERT_TRUE(WaitUntil([&] { return errors >= 1; }));
    EXPECT_EQ(r.serial->ErrorCode(), EIO);
    EXPECT_FALSE(offMain);
    unsigned dispatches = r.serial->DispatchCount();
    Pump(200);
    EXPECT_EQ(r.serial->DispatchCount(), dispatches);   // reported once, no spinning on the hang-up
    EXPECT_EQ(errors, 1);
}

TEST(ReceiveThread, WithoutAPosterHandlersRunOnTheReceiveThread) {
    Rig r(false);
    std::mutex m;
    std::condition_variable cv;
    std::string received;
    std::thread::id handlerThread;
    r.serial->OnRxData = [&](TSerial& s) {
        std::string chunk;
        s.ReadString(chunk);
        std::lock_guard<std::mutex> lk(m);
        handlerThread = std::this_thread::get_id();
        received += chunk;
        cv.notify_all();
    };
    r.Open();
    r.pty.Write("hello");
    std::unique_lock<std::mutex> lk(m);
    ASSERT_TRUE(cv.wait_for(lk, std::chrono::seconds(3), [&] { return received == "hello"; }));
    EXPECT_NE(handlerThread, std::this_thread::get_id());
    lk.unlock();
    r.serial->SetActive(false);
    EXPECT_LT(r.serial->LastCloseMillis(), 500.0);
}

TEST(ReceiveThreadLifetime, DestroyWhileOpenAndBusyIsClean) {
    TempDir dir;
    TestPty pty;
    pty.LinkAs(dir.Folder(), 3);
    { TSerial warmUp(QtPost); }   // let Qt and the allocator settle before counting
    Pump(20);
    size_t fds = CountEntries("/proc/self/fd");
    size_t tasks = CountEntries("/proc/self/task");

    int calls = 0;
    auto serial = std::make_unique<TSerial>(QtPost);
    serial->SetPortRule(ComRule(dir.Folder()));
    serial->SetLockFolder("");
    serial->SetPort(3);
    serial->OnRxData = [&](TSerial&) { ++calls; };
    EXPECT_EQ(CountEntries("/proc/self/task"), tasks);   // the thread starts with the first open
    serial->SetActive(true);
    ASSERT_TRUE(serial->Active());
    EXPECT_EQ(CountEntries("/proc/self/task"), tasks + 1);
    pty.Write("x");
    ASSERT_TRUE(WaitWithoutEvents([&] { return serial->DispatchPending(); }));
    auto t0 = std::chrono::steady_clock::now();
    serial.reset();
    double destroyMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_LT(destroyMs, 500.0);
    Pump(100);   // the dispatch posted before the destroy finds nothing to run
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(CountEntries("/proc/self/fd"), fds);
    EXPECT_EQ(CountEntries("/proc/self/task"), tasks);

    // The port is free again for someone else.
    TSerial next(QtPost);
    next.SetPortRule(ComRule(dir.Folder()));
    next.SetLockFolder("");
    next.SetPort(3);
    next.SetActive(true);
    EXPECT_TRUE(next.Active()) << next.ErrorText();
}

TEST(ReceiveThreadLifetime, ManyOpensAndClosesWhileThePeerWritesLeaveNothingBehind) {
    TempDir dir;
    TestPty pty;
    pty.LinkAs(dir.Folder(), 3);
    { TSerial warmUp(QtPost); }
    Pump(20);
    size_t fds = CountEntries("/proc/self/fd");
    size_t tasks = CountEntries("/proc/self/task");

    std::atomic<bool> stop{false};
    std::thread writer([&] {
        const char chunk[] = "SEND BLOCK\r\n";
        while (!stop) {
            ssize_t n = write(pty.Master(), chunk, sizeof chunk - 1);
            (void)n;   // a full queue while the port is closed is fine: try again
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });

    size_t received = 0;
    double longestClose = 0;
    {
        TSerial serial(QtPost);
        serial.SetPortRule(ComRule(dir.Folder()));
        serial.SetLockFolder("");
        serial.SetPort(3);
        serial.SetDataBits(d8bit);
        serial.NotifyErrors = neNone;
        serial.OnRxData = [&](TSerial& s) {
            std::string chunk;
            received += static_cast<size_t>(s.ReadString(chunk));
        };
        for (int i = 0; i < 300; ++i) {
            serial.SetActive(true);
            ASSERT_TRUE(serial.Active()) << i << ": " << serial.ErrorText();
            // Every few rounds let a handler run, otherwise close right into a pending dispatch.
            if (i % 3 == 0) QCoreApplication::processEvents(QEventLoop::AllEvents, 2);
            serial.SetActive(false);
            longestClose = std::max(longestClose, serial.LastCloseMillis());
        }
        // Half the rounds as baud changes on the open port.
        serial.SetActive(true);
        for (int i = 0; i < 150; ++i) {
            serial.SetBaudrate(i % 2 ? 38400 : 57600);
            ASSERT_TRUE(serial.Active());
            longestClose = std::max(longestClose, serial.LastCloseMillis());
            QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
        }
        ASSERT_TRUE(WaitUntil([&] { return received > 0; }));
    }
    stop = true;
    writer.join();
    Pump(50);
    EXPECT_LT(longestClose, 250.0);
    EXPECT_EQ(CountEntries("/proc/self/fd"), fds);
    EXPECT_EQ(CountEntries("/proc/self/task"), tasks);
}

// Without a poster the handler runs on the receive thread itself; a handler that destroys the
// component leaves that thread to end on its own, and it must not touch the freed component on
// its way out (AddressSanitizer reports it if it does).
TEST(ReceiveThread, AComponentDestroyedByItsOwnHandlerLeavesNothingRunning) {
    TempDir dir;
    TestPty pty;
    pty.LinkAs(dir.Folder(), 3);
    const size_t threadsBefore = CountEntries("/proc/self/task");
    std::atomic<bool> armed{false}, gone{false};
    auto* serial = new TSerial();
    serial->SetPortRule(ComRule(dir.Folder()));
    serial->SetLockFolder("");
    serial->NotifyErrors = neNone;
    serial->SetPort(3);
    serial->OnRxData = [&armed, &gone](TSerial& sender) {
        std::atomic<bool>* flag = &gone;   // this handler goes with the component
        // The main thread is done with the component (it wrote `armed` before the byte came).
        if (!armed.load(std::memory_order_acquire)) return;
        delete &sender;
        *flag = true;
    };
    serial->SetActive(true);
    ASSERT_TRUE(serial->Active());
    armed.store(true, std::memory_order_release);
    pty.Write("x");
    ASSERT_TRUE(WaitWithoutEvents([&] { return gone.load(); }));
    EXPECT_TRUE(WaitWithoutEvents([&] { return CountEntries("/proc/self/task") == threadsBefore; }));
}
