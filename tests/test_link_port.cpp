// Commands, raw bytes and received text over a real port: a TSerial on one end of a
// pseudo-terminal, the test playing the unit on the other, and a real capture file.
#include "engine/UnitLink.h"
#include "host/Ports.h"
#include "tests/support/LinkWait.h"
#include "base/RunError.h"
#include "records/Capture.h"
#include "engine/SerialPort.h"
#include "tests/support/Pty.h"

#include <chrono>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

// Stands in for the window's event loop: what the receive thread posts waits here until the test
// runs it on its own thread.
class MainQueue {
public:
    void Post(std::function<void()> f) {
        std::lock_guard lock(mutex_);
        queue_.push_back(std::move(f));
    }
    void Drain() {
        for (;;) {
            std::function<void()> f;
            {
                std::lock_guard lock(mutex_);
                if (queue_.empty()) return;
                f = std::move(queue_.front());
                queue_.pop_front();
            }
            f();
        }
    }

private:
    std::mutex mutex_;
    std::deque<std::function<void()>> queue_;
};

class TempFolder {
public:
    TempFolder() {
        std::string pattern = (fs::temp_directory_path() / "zup-link-XXXXXX").string();
        if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempFolder() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    std::string Slash() const { return path_.string() + "/"; }

private:
    fs::path path_;
};

std::vector<std::string> CaptureLines(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    const std::string text = all.str();
    std::vector<std::string> lines;
    size_t from = 0;
    for (size_t at; (at = text.find("\r\n", from)) != std::string::npos; from = at + 2)
        lines.push_back(text.substr(from, at - from));
    return lines;
}

constexpr int kPort = 4;
const std::string kTime = "12:00:00";

class LinkPort : public ::testing::Test {
protected:
    TempFolder folder;
    TestPty unit;
    MainQueue mainQueue;
    std::vector<std::string> errorBoxes;
    TSerialPort port{[this](std::function<void()> f) { mainQueue.Post(std::move(f)); },
                   [this](const std::string& text) { errorBoxes.push_back(text); }};
    TCaptureFile capture;
    TSerial& serial = port.Serial;
    TUnitLink link{port, &capture};
    std::string capturePath;

    void SetUp() override {
        unit.LinkAs(folder.Slash(), kPort);
        serial.SetPortRule(ComRule(folder.Slash()));
        serial.SetPort(kPort);
        serial.SetBaudrate(38400);
        serial.SetDataBits(d8bit);
        serial.NotifyErrors = neNone;
        serial.SetActive(true);
        ASSERT_TRUE(serial.Active()) << serial.ErrorText();
        capture.TimeOfDay = [] { return kTime; };
        capturePath = folder.Slash() + "Capture.txt";
    }

    void TearDown() override {
        serial.SetActive(false);
        mainQueue.Drain();
        EXPECT_TRUE(errorBoxes.empty()) << errorBoxes.front();
    }

    // Lines recorded after "[start]".
    std::vector<std::string> Recorded() {
        auto lines = CaptureLines(capturePath);
        if (!lines.empty() && lines.front() == "[start]") lines.erase(lines.begin());
        return lines;
    }

    bool AwaitWaiting(int count) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (std::chrono::steady_clock::now() < deadline) {
            mainQueue.Drain();
            if (serial.RxWaiting() >= count) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }
};

}  // namespace

TEST_F(LinkPort, AddressedCommandGoesOutFramedAndIsRecorded) {
    capture.ToggleCapture(capturePath);
    link.RxBuffer = "stale";
    link.SendCommand("0000", "SWR?", true);
    EXPECT_EQ(link.RxBuffer, "");
    EXPECT_EQ(unit.Read(11, 2000), "<0000/SWR?\r");
    EXPECT_EQ(unit.Read(1, 100), "");
    EXPECT_EQ(Recorded(), std::vector<std::string>{kTime + "[out]<0000/SWR?[cr]"});
}

TEST_F(LinkPort, UnaddressedCommandIgnoresTheAddress) {
    capture.ToggleCapture(capturePath);
    link.SendCommand("0000", "UPLOAD DONE", false);
    EXPECT_EQ(unit.Read(12, 2000), "UPLOAD DONE\r");
    link.SendCommand("", "GO", false);
    EXPECT_EQ(unit.Read(3, 2000), "GO\r");
    EXPECT_EQ(unit.Read(1, 100), "");
    EXPECT_EQ(Recorded(), (std::vector<std::string>{kTime + "[out]UPLOAD DONE[cr]", kTime + "[out]GO[cr]"}));
}

TEST_F(LinkPort, NothingIsRecordedWhileCaptureIsOff) {
    link.SendCommand("0000", "FCS?", true);
    EXPECT_EQ(unit.Read(11, 2000), "<0000/FCS?\r");
    EXPECT_FALSE(fs::exists(capturePath));

    TUnitLink withoutCapture(port, nullptr);
    withoutCapture.SendHexBytes("00FF");
    EXPECT_EQ(unit.Read(2, 2000), std::string("\0\xFF", 2));
}

TEST_F(LinkPort, HexBytesGoOutOnePerPair) {
    capture.ToggleCapture(capturePath);
    link.RxBuffer = "stale";
    link.SendHexBytes("5AA5");
    EXPECT_EQ(link.RxBuffer, "");
    EXPECT_EQ(unit.Read(2, 2000), "\x5A\xA5");
    link.SendHexBytes("5aa");  // lower case; the odd digit is left over
    EXPECT_EQ(unit.Read(2, 300), "\x5A");
    EXPECT_EQ(Recorded(), (std::vector<std::string>{kTime + "[out]5AA5", kTime + "[out]5aa"}));
}

TEST_F(LinkPort, EmptyHexTextDoesNothingAtAll) {
    capture.ToggleCapture(capturePath);
    link.RxBuffer = "kept";
    link.SendHexBytes("");
    EXPECT_EQ(link.RxBuffer, "kept");
    EXPECT_EQ(unit.Read(1, 100), "");
    EXPECT_TRUE(Recorded().empty());
}

TEST_F(LinkPort, ANonHexPairStopsAfterTheBytesBeforeIt) {
    capture.ToggleCapture(capturePath);
    EXPECT_THROW(link.SendHexBytes("5AG1A5"), EConvertError);
    EXPECT_EQ(unit.Read(3, 300), "\x5A");
    EXPECT_THROW(link.SendHexBytes(" 1"), EConvertError);
    EXPECT_EQ(unit.Read(1, 100), "");
    EXPECT_EQ(Recorded(), (std::vector<std::string>{kTime + "[out]5AG1A5", kTime + "[out] 1"}));
}

TEST_F(LinkPort, ReceivedTextIsAppendedAndRecordedWhole) {
    capture.ToggleCapture(capturePath);
    unit.Write("AB");
    ASSERT_TRUE(AwaitWaiting(2));
    link.ReadMessage();
    EXPECT_EQ(link.RxBuffer, "AB");
    unit.Write(std::string("C\0D", 3));
    ASSERT_TRUE(AwaitWaiting(3));
    link.ReadMessage();
    EXPECT_EQ(link.RxBuffer, std::string("ABC\0D", 5));
    const auto lines = Recorded();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], kTime + "[in]AB");
    EXPECT_EQ(lines[1], kTime + std::string("[in]ABC\0D", 9));
}

TEST_F(LinkPort, ReplyWaitSeesWhatArrivesThroughTheEventOfThePort) {
    // The way the window is wired: the receive thread reports data, the main thread reads it.
    serial.OnRxData = [this](TSerial&) { link.ReadMessage(); };
    link.SendCommand("", "GO", false);
    EXPECT_EQ(unit.Read(3, 2000), "GO\r");
    unit.Write("ERASING...\r\n");
    int32_t state = 50;
    std::string reply;
    link.WaitCount = 0;
    link.WaitLimit = 1000000;  // the deadline below decides
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (state == 50 && std::chrono::steady_clock::now() < deadline) {
        mainQueue.Drain();
        state = StateAfter(link.AwaitReply("ERASING", reply), state, 99, 51);
        if (state == 50) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(state, 51);
    EXPECT_EQ(reply, "ERASING...\r");
    EXPECT_EQ(link.RxBuffer.substr(0, 1), "\n");
}

TEST_F(LinkPort, MessageHandlerReplacesTheBuffer) {
    capture.ToggleCapture(capturePath);
    link.RxBuffer = "old";
    link.Serial1Message("\x02READY\x03");
    EXPECT_EQ(link.RxBuffer, "\x02READY\x03");
    EXPECT_EQ(Recorded(), std::vector<std::string>{kTime + "[in]\x02READY\x03"});
}

namespace {

// Keeps each write the link makes, to count them.
class WriteLog : public TUnitPort {
public:
    std::vector<std::string> writes;
    int Port() const override { return 1; }
    void SetPort(int) override {}
    int Baudrate() const override { return 38400; }
    void SetBaudrate(int) override {}
    bool Active() const override { return true; }
    void SetActive(bool) override {}
    void AbortRx() override {}
    void AbortTx() override {}
    int ReadString(std::string& s) override { return static_cast<int>((s = "").size()); }
    void WriteString(const std::string& s) override { writes.push_back(s); }
    void WriteChar(char c) override { writes.emplace_back(1, c); }
    void WriteChars(const std::string& s) override { writes.push_back(s); }
    std::string ErrorText() const override { return {}; }
    bool LineLost() const override { return false; }
    std::string DisplayName() const override { return "Com 1"; }
};

}  // namespace

// A block, a command and a bootstrap record are each one write (the bytes are checked above);
// a record cut by a bad pair still sends the bytes before it, in one write.
TEST(LinkWrites, EachBlockCommandAndRecordIsOneWrite) {
    std::string block(135, '\0');
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 7);
    const struct {
        const char* name;
        std::function<void(TUnitLink&)> send;
        std::vector<std::string> writes;
    } rows[] = {
        {"block", [&](TUnitLink& l) { l.SendBlock(block); }, {block}},
        {"block again", [&](TUnitLink& l) { l.SendBlock(block, true); }, {block}},
        {"command", [](TUnitLink& l) { l.SendCommand("0000", "FCS?", true); }, {"<0000/FCS?\r"}},
        {"record", [](TUnitLink& l) { l.SendHexBytes("E6005AA5"); }, {std::string("\xE6\0\x5A\xA5", 4)}},
        {"cut record", [](TUnitLink& l) { EXPECT_THROW(l.SendHexBytes("5AA5G1"), EConvertError); }, {"\x5A\xA5"}},
        {"wake-up", [](TUnitLink& l) { l.SendWakeUp(); }, {"U"}},
    };
    for (const auto& row : rows) {
        WriteLog port;
        TUnitLink link(port, nullptr);
        row.send(link);
        EXPECT_EQ(port.writes, row.writes) << row.name;
    }
}

// The job's result names the device the port opened, resolved at the open: COM4 relinked to
// another device or deleted by then changes nothing.
TEST_F(LinkPort, TheDeviceNamedIsTheOneOpenedWhateverTheLinkSaysLater) {
    EXPECT_EQ(port.DeviceName(), unit.SlavePath());
    TestPty other;
    other.LinkAs(folder.Slash(), kPort);
    EXPECT_EQ(port.DeviceName(), unit.SlavePath());
    fs::remove(folder.Slash() + "COM" + std::to_string(kPort));
    EXPECT_EQ(port.DeviceName(), unit.SlavePath());
}
