// A capture file that stops taking lines while the link sends and receives: the command still goes
// out, the received bytes still reach the buffer, and the failure is handed to the window once.
#include "engine/UnitLink.h"
#include "host/Ports.h"
#include "base/RunError.h"
#include "records/Capture.h"
#include "engine/SerialPort.h"
#include "tests/support/Pty.h"
#include "tests/support/Processes.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <mutex>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;


class LinkCaptureErrors : public ::testing::Test {
protected:
    fs::path folder;
    TestPty unit;
    std::mutex mutex;
    std::deque<std::function<void()>> posted;
    TSerialPort port{[this](std::function<void()> f) {
                       std::lock_guard lock(mutex);
                       posted.push_back(std::move(f));
                   },
                   [](const std::string&) {}};
    TCaptureFile capture;
    TSerial& serial = port.Serial;
    TUnitLink link{port, &capture};
    std::vector<std::string> failures;

    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "zup-capfail-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        folder = pattern;
        unit.LinkAs(folder.string() + "/", 5);
        serial.SetPortRule(ComRule(folder.string() + "/"));
        serial.SetPort(5);
        serial.SetBaudrate(38400);
        serial.NotifyErrors = neNone;
        serial.SetActive(true);
        ASSERT_TRUE(serial.Active()) << serial.ErrorText();
        capture.ToggleCapture(CapturePath());  // "[start]" CR LF: 9 bytes
        ASSERT_TRUE(capture.CaptureOn());
    }
    void TearDown() override {
        serial.SetActive(false);
        Drain();
        std::error_code ec;
        fs::remove_all(folder, ec);
    }
    std::string CapturePath() const { return folder.string() + "/Capture.txt"; }
    void Drain() {
        for (;;) {
            std::function<void()> f;
            {
                std::lock_guard lock(mutex);
                if (posted.empty()) return;
                f = std::move(posted.front());
                posted.pop_front();
            }
            f();
        }
    }
    void WatchFailures() {
        link.OnCaptureError = [this](const std::exception& e) { failures.push_back(e.what()); };
    }
};

}  // namespace

TEST_F(LinkCaptureErrors, ACommandStillGoesOutAndTheFailureIsReportedOnce) {
    WatchFailures();
    FileSizeLimit limit(9);
    link.RxBuffer = "stale";
    link.SendCommand("", "GO", false);
    EXPECT_EQ(unit.Read(3, 2000), "GO\r");
    EXPECT_EQ(link.RxBuffer, "");
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_NE(failures[0].find(CapturePath()), std::string::npos) << failures[0];
    EXPECT_NE(failures[0].find(std::strerror(EFBIG)), std::string::npos) << failures[0];
    EXPECT_FALSE(capture.CaptureOn());
    // Capture is off now: later sends record nothing and report nothing.
    link.SendHexBytes("5A");
    EXPECT_EQ(unit.Read(1, 2000), "\x5A");
    EXPECT_EQ(failures.size(), 1u);
}

TEST_F(LinkCaptureErrors, ReceivedBytesStayInTheBuffer) {
    WatchFailures();
    FileSizeLimit limit(9);
    unit.Write("READY\r\n");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (serial.RxWaiting() < 7 && std::chrono::steady_clock::now() < deadline) {
        Drain();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_EQ(serial.RxWaiting(), 7);
    link.ReadMessage();
    EXPECT_EQ(link.RxBuffer, "READY\r\n");
    EXPECT_EQ(failures.size(), 1u);
    EXPECT_FALSE(capture.CaptureOn());
}

TEST_F(LinkCaptureErrors, WithoutAHandlerTheFailureIsThrownToTheCaller) {
    FileSizeLimit limit(9);
    EXPECT_THROW(link.SendCommand("", "GO", false), EInOutError);
    EXPECT_FALSE(capture.CaptureOn());
}

// A capture at its size limit stops as a file that cannot be written does: the commands still go
// out, and the engine hears of it once.
TEST_F(LinkCaptureErrors, ACaptureAtItsSizeLimitStopsOnceWhileTheCommandsGoOn) {
    WatchFailures();
    capture.SizeLimit = 200;
    std::string sent;
    for (int i = 0; i < 20; ++i) {
        link.SendCommand("", "GO" + std::to_string(i), false);
        sent += "GO" + std::to_string(i) + "\r";
    }
    EXPECT_EQ(unit.Read(sent.size(), 2000), sent);
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_NE(failures[0].find("size limit of 200 bytes"), std::string::npos) << failures[0];
    EXPECT_FALSE(capture.CaptureOn());
}
