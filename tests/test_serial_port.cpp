// TSerial against pseudo-terminal pairs: settings, open and close, reads and writes, claims,
// lock files and error reporting.
#include "serial/Serial4.h"
#include "host/Ports.h"
#include "serial/serial_posix.h"
#include "tests/support/Fifo.h"
#include "tests/support/Pty.h"
#include "tests/support/EventLoop.h"
#include "tests/support/TempDir.h"

#include <QCoreApplication>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <cstring>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

// One port on a pty linked as COM3 in a private folder, its lock file in a private folder too.
struct Rig {
    TempDir dir;
    TempDir locks;
    TestPty pty;
    std::vector<std::string> boxes;
    int errors = 0;
    std::unique_ptr<TSerial> serial;

    Rig() {
        pty.LinkAs(dir.Folder(), 3);
        serial = std::make_unique<TSerial>(
            [](std::function<void()> f) { QMetaObject::invokeMethod(qApp, std::move(f), Qt::QueuedConnection); },
            [this](const std::string& text) { boxes.push_back(text); });
        serial->SetPortRule(ComRule(dir.Folder()));
        serial->SetLockFolder(locks.Folder());
        serial->OnError = [this](TSerial&) { ++errors; };
    }
    void Open(int port = 3) {
        serial->SetPort(port);
        serial->SetDataBits(d8bit);
        serial->SetActive(true);
    }
    // Puts bytes into the port's input queue and waits until the driver holds all of them.
    void Queue(const std::string& bytes) {
        int before = serial->RxWaiting();
        pty.Write(bytes);
        ASSERT_TRUE(WaitUntil([&] { return serial->RxWaiting() == before + static_cast<int>(bytes.size()); }));
    }
};

std::string AllBytes() {
    std::string s;
    for (int v = 0; v < 256; ++v) s.push_back(static_cast<char>(v));
    return s;
}

}  // namespace

TEST(SerialProperties, SettersOnAClosedPortOnlyStore) {
    Rig r;
    r.serial->SetBaudrate(57600);
    r.serial->SetParity(paEven);
    r.serial->SetStopBits(st2bit);
    r.serial->SetFlowMode(fcRTS_CTS);
    r.serial->SetCheckParity(false);
    r.serial->SetRxQueueSize(64);
    r.serial->SetTxQueueSize(64);
    r.serial->SetActive(false);
    EXPECT_FALSE(r.serial->Active());
    EXPECT_EQ(r.serial->Baudrate(), 57600);
    EXPECT_EQ(r.serial->Parity(), paEven);
    EXPECT_EQ(r.serial->StopBits(), st2bit);
    EXPECT_EQ(r.serial->FlowMode(), fcRTS_CTS);
    EXPECT_FALSE(r.serial->CheckParity());
    EXPECT_EQ(r.serial->RxQueueSize(), 64);
    EXPECT_EQ(r.serial->ErrorCode(), 0);
    EXPECT_TRUE(r.boxes.empty());
}

// The component knows device paths only: its port number opens what the rule handed in names, and
// nothing without one.
TEST(SerialDevice, APortNumberOpensWhatItsRuleNames) {
    TempDir dir;
    TestPty pty;
    pty.LinkAs(dir.Folder(), 4);
    TSerial s;
    s.NotifyErrors = neNone;
    s.SetPort(4);
    EXPECT_EQ(s.DeviceName(), "");
    s.SetActive(true);
    EXPECT_FALSE(s.Active());
    EXPECT_EQ(s.ErrorCode(), ENOENT);
    s.SetPortRule(ComRule(dir.Folder()));
    EXPECT_EQ(s.DeviceName(), dir.Folder() + "COM4");
    s.SetActive(true);
    EXPECT_TRUE(s.Active()) << s.ErrorText();
    s.SetActive(false);
    // "COM n must be its link": no fallback, the open fails on the missing link.
    s.SetPortRule(ComRule(dir.Folder(), true));
    s.SetPort(1);
    s.SetActive(true);
    EXPECT_FALSE(s.Active());
    EXPECT_EQ(s.ErrorCode(), ENOENT);
}

TEST(SerialOpen, MissingComFailsReportedAndStaysClosed) {
    Rig r;
    fs::create_symlink("/dev/zup-no-such-device", r.dir.Folder() + "COM7");
    r.serial->SetPort(7);
    r.serial->SetActive(true);
    EXPECT_FALSE(r.serial->Active());
    EXPECT_EQ(r.serial->ErrorCode(), ENOENT);
    ASSERT_EQ(r.boxes.size(), 1u);   // neDialog: one box with the system's text
    EXPECT_EQ(r.boxes[0], r.serial->ErrorText());
    EXPECT_EQ(r.serial->ErrorText(), "No such file or directory");
    EXPECT_EQ(r.errors, 0);
    EXPECT_TRUE(fs::is_empty(r.locks.Folder()));
}

TEST(SerialOpen, OpensRawAtTheRateAndRestoresOnClose) {
    Rig r;
    int before = r.pty.Speed();
    r.serial->SetBaudrate(38400);
    r.Open();
    ASSERT_TRUE(r.serial->Active()) << r.serial->ErrorText();
    EXPECT_EQ(r.pty.Speed(), 38400);
    r.serial->SetActive(false);
    EXPECT_FALSE(r.serial->Active());
    EXPECT_EQ(r.pty.Speed(), before);
    EXPECT_GE(r.serial->LastCloseMillis(), 0.0);
}

TEST(SerialOpen, EveryTableRateIsAppliedIncludingOnesWithoutABConstant) {
    Rig r;
    r.Open();
    ASSERT_TRUE(r.serial->Active());
    for (int rate : TSerial::BaudRates) {
        r.serial->SetBaudrate(rate);
        ASSERT_TRUE(r.serial->Active()) << rate << ": " << r.serial->ErrorText();
        EXPECT_EQ(r.pty.Speed(), rate);
    }
    EXPECT_TRUE(r.boxes.empty());
}

TEST(SerialIo, EveryByteValueArrivesUnchangedBothWays) {
    Rig r;
    r.Open();
    ASSERT_TRUE(r.serial->Active());
    std::string all = AllBytes();

    r.serial->WriteString(all);
    EXPECT_EQ(r.pty.Read(256, 3000), all);
    r.serial->WriteChar('\0');
    r.serial->WriteChar('\xff');
    EXPECT_EQ(r.pty.Read(2, 3000), std::string("\0\xff", 2));

    r.Queue(all);
    std::string got;
    EXPECT_EQ(r.serial->ReadString(got), 256);
    EXPECT_EQ(got, all);

    r.Queue(std::string(1, '\0'));
    char ch = 'x';
    EXPECT_EQ(r.serial->ReadChar(ch), 1);
    EXPECT_EQ(ch, '\0');
    EXPECT_EQ(r.serial->ReadChar(ch), 0);   // nothing waiting: at once, Ch untouched
    EXPECT_EQ(ch, '\0');
    EXPECT_EQ(r.serial->ErrorCode(), 0);
}

TEST(SerialIo, ReadStringTakesAtMostQueueSizePlusOne) {
    Rig r;
    r.Open();
    ASSERT_TRUE(r.serial->Active());
    std::string got;
    EXPECT_EQ(r.serial->ReadString(got), 0);
    EXPECT_TRUE(got.empty());

    std::string data;
    for (int i = 0; i < 2000; ++i) data.push_back(static_cast<char>(i * 7));
    r.Queue(data);
    EXPECT_EQ(r.serial->ReadString(got), 1025);
    EXPECT_EQ(got, data.substr(0, 1025));
    EXPECT_EQ(r.serial->RxWaiting(), 975);
    EXPECT_EQ(r.serial->ReadString(got), 975);
    EXPECT_EQ(got, data.substr(1025));
    EXPECT_EQ(r.serial->RxWaiting(), 0);
}

TEST(SerialIo, ReadStringBoundFollowsRxQueueSize) {
    Rig r;
    r.Open();
    r.serial->SetRxQueueSize(9);
    ASSERT_TRUE(r.serial->Active());
    r.Queue("0123456789abc");
    std::string got;
    EXPECT_EQ(r.serial->ReadString(got), 10);
    EXPECT_EQ(got, "0123456789");
}

TEST(SerialIo, WriteThatCannotCompleteInItsTimeIsReportedAsTimeout) {
    Rig r;
    r.serial->NotifyErrors = neEvent;
    r.serial->SetBaudrate(38400);
    r.Open();
    ASSERT_TRUE(r.serial->Active());
    // Nobody reads the master: the pty's buffers fill and the rest cannot go out. 38400 baud:
    // 0 ms per character, so the limit is the 500 ms floor.
    std::string big(1 << 20, 'A');
    auto t0 = std::chrono::steady_clock::now();
    r.serial->WriteString(big);
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(r.serial->ErrorCode(), ETIMEDOUT);
    EXPECT_EQ(r.errors, 1);
    EXPECT_GE(ms, 450.0);
    EXPECT_LT(ms, 2500.0);
    // WriteChars keeps WriteChar's limit: a second without the driver taking a byte.
    t0 = std::chrono::steady_clock::now();
    r.serial->WriteChars(big);
    ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(r.errors, 2);
    EXPECT_GE(ms, 950.0);
    EXPECT_LT(ms, 3000.0);
    EXPECT_GT(r.serial->TxWaiting() + static_cast<int>(r.pty.Read(1 << 20, 200).size()), 0);
}

TEST(SerialIo, WritesOnAClosedPortFailWithBadDescriptor) {
    Rig r;
    r.serial->NotifyErrors = neNone;
    r.serial->WriteString("abc");
    EXPECT_EQ(r.serial->ErrorCode(), EBADF);
    EXPECT_EQ(r.errors, 0);
    EXPECT_TRUE(r.boxes.empty());
    std::string got = "x";
    EXPECT_EQ(r.serial->ReadString(got), 0);
    EXPECT_TRUE(got.empty());
}

TEST(SerialIo, VanishedDeviceIsAFailedRead) {
    Rig r;
    r.serial->NotifyErrors = neNone;
    r.Open();
    ASSERT_TRUE(r.serial->Active());
    r.pty.CloseMaster();
    std::string got;
    EXPECT_EQ(r.serial->ReadString(got), 0);
    EXPECT_EQ(r.serial->ErrorCode(), EIO);
    r.serial->SetActive(false);   // closing a vanished device must still release everything
    EXPECT_FALSE(r.serial->Active());
    EXPECT_TRUE(fs::is_empty(r.locks.Folder()));
}

TEST(SerialIo, AbortsClearNothingAndFailOnlyWithoutAPort) {
    Rig r;
    r.serial->NotifyErrors = neEvent;
    r.serial->AbortRx();
    EXPECT_EQ(r.serial->ErrorCode(), EBADF);
    EXPECT_EQ(r.errors, 1);
    r.serial->OnError = nullptr;   // neEvent without a handler: silent
    r.serial->AbortTx();
    EXPECT_EQ(r.serial->ErrorCode(), EBADF);
    EXPECT_TRUE(r.boxes.empty());

    r.Open();
    ASSERT_TRUE(r.serial->Active());
    r.Queue("keep");
    r.serial->AbortRx();
    r.serial->AbortTx();
    EXPECT_EQ(r.serial->RxWaiting(), 4);
    r.serial->SetSignal(0, false);   // a pty has no modem lines; ignored, no report
    r.serial->SetSignal(1, true);
    EXPECT_EQ(r.serial->ErrorCode(), EBADF);   // unchanged since the last failure
}

TEST(SerialReconnect, SetterOnOpenPortTakesEffectAsAtAnOpen) {
    Rig r;
    r.Open();
    ASSERT_TRUE(r.serial->Active());
    EXPECT_EQ(r.pty.Speed(), 9600);
    // The queues are emptied as at an open: queued bytes that vanish show the settings were applied.
    r.Queue("stale");
    r.serial->SetBaudrate(19200);
    EXPECT_TRUE(r.serial->Active());
    EXPECT_EQ(r.pty.Speed(), 19200);
    EXPECT_EQ(r.serial->RxWaiting(), 0);

    const std::vector<std::pair<const char*, std::function<void()>>> setters = {
        {"Port", [&] { r.pty.LinkAs(r.dir.Folder(), 4); r.serial->SetPort(4); }},
        {"Parity", [&] { r.serial->SetParity(PaOdd); }},
        {"DataBits", [&] { r.serial->SetDataBits(d7bit); }},
        {"StopBits", [&] { r.serial->SetStopBits(st2bit); }},
        {"FlowMode", [&] { r.serial->SetFlowMode(fcXON_XOF); }},
        {"CheckParity", [&] { r.serial->SetCheckParity(false); }},
        {"RxQueueSize same", [&] { r.serial->SetRxQueueSize(r.serial->RxQueueSize()); }},
        {"TxQueueSize same", [&] { r.serial->SetTxQueueSize(r.serial->TxQueueSize()); }},
        {"Active true again", [&] { r.serial->SetActive(true); }},
    };
    for (auto& [name, set] : setters) {
        r.Queue("stale");
        set();
        EXPECT_TRUE(r.serial->Active()) << name << ": " << r.serial->ErrorText();
        EXPECT_EQ(r.serial->RxWaiting(), 0) << name << " did not reopen";
        EXPECT_EQ(r.pty.Speed(), 19200) << name;
    }
    EXPECT_TRUE(r.boxes.empty());
}

// A speed change on the open port keeps its descriptor: COM3 relinked to another unit, or its link
// deleted, meanwhile, the port still talks to the unit it opened and names that device.
TEST(SerialReconnect, ASpeedChangeKeepsTheDeviceWhateverItsLinkNowLeadsTo) {
    Rig r;
    r.Open();
    ASSERT_TRUE(r.serial->Active());
    const std::string lock = r.serial->LockFilePath();
    TestPty other;
    const std::string link = r.dir.Folder() + "COM3";
    for (const char* change : {"relinked", "deleted"}) {
        SCOPED_TRACE(change);
        if (std::string(change) == "relinked") other.LinkAs(r.dir.Folder(), 3);
        else ASSERT_EQ(::unlink(link.c_str()), 0);
        r.serial->SetBaudrate(r.serial->Baudrate() == 9600 ? 38400 : 9600);
        ASSERT_TRUE(r.serial->Active()) << r.serial->ErrorText();
        EXPECT_EQ(r.pty.Speed(), r.serial->Baudrate());
        EXPECT_EQ(r.serial->LockFilePath(), lock);
        r.serial->WriteString("FCS?");
        EXPECT_EQ(r.pty.Read(4, 2000), "FCS?");
        EXPECT_EQ(other.Read(1, 100), "");
        EXPECT_EQ(r.serial->OpenedDevice(), r.pty.SlavePath());
    }
    r.serial->SetActive(false);
    EXPECT_EQ(r.serial->OpenedDevice(), r.pty.SlavePath());   // still names the device it had
}

// A port that holds its device opens again only where it was: a link that now leads to another
// device is refused with the reason; the first device back under the name is taken again.
TEST(SerialOpen, AHeldDeviceIsOpenedAgainOnlyWhenItIsTheSame) {
    Rig r;
    r.serial->NotifyErrors = neNone;
    r.Open();
    ASSERT_TRUE(r.serial->Active());
    r.serial->SetHoldDevice(true);
    r.serial->SetActive(false);
    TestPty other;
    other.LinkAs(r.dir.Folder(), 3);
    r.serial->SetActive(true);
    EXPECT_FALSE(r.serial->Active());
    EXPECT_EQ(r.serial->ErrorCode(), ENODEV);
    EXPECT_NE(r.serial->ErrorText().find("not to " + r.pty.SlavePath()), std::string::npos) << r.serial->ErrorText();
    EXPECT_TRUE(fs::is_empty(r.locks.Folder()));   // the other device was let go at once
    r.pty.LinkAs(r.dir.Folder(), 3);
    r.serial->SetActive(true);
    EXPECT_TRUE(r.serial->Active()) << r.serial->ErrorText();
    // Let go, the name is followed wherever it leads.
    r.serial->SetActive(false);
    r.serial->SetHoldDevice(false);
    other.LinkAs(r.dir.Folder(), 3);
    r.serial->SetActive(true);
    EXPECT_TRUE(r.serial->Active()) << r.serial->ErrorText();
    EXPECT_EQ(r.serial->OpenedDevice(), other.SlavePath());
}

TEST(SerialReconnect, EqualValuesDoNothing) {
    Rig r;
    r.Open();
    ASSERT_TRUE(r.serial->Active());
    r.Queue("keep");
    r.serial->SetPort(3);
    r.serial->SetBaudrate(9600);
    r.serial->SetParity(paNone);
    r.serial->SetDataBits(d8bit);
    r.serial->SetStopBits(st1bit);
    r.serial->SetFlowMode(fcNone);
    r.serial->SetCheckParity(true);
    EXPECT_TRUE(r.serial->Active());
    EXPECT_EQ(r.serial->RxWaiting(), 4);
    std::string got;
    r.serial->ReadString(got);
    EXPECT_EQ(got, "keep");
}

TEST(SerialReconnect, InvalidRateShowsOneBoxAndChangesNothing) {
    Rig r;
    r.serial->SetBaudrate(38400);
    r.Open();
    ASSERT_TRUE(r.serial->Active());
    r.Queue("keep");
    r.serial->SetBaudrate(9601);
    ASSERT_EQ(r.boxes.size(), 1u);
    EXPECT_EQ(r.boxes[0], "Baudrate is not valid");
    EXPECT_EQ(r.serial->Baudrate(), 38400);
    EXPECT_TRUE(r.serial->Active());
    EXPECT_EQ(r.pty.Speed(), 38400);
    EXPECT_EQ(r.serial->RxWaiting(), 4);   // not even reopened
    EXPECT_EQ(r.serial->ErrorCode(), 0);

    r.serial->NotifyErrors = neNone;   // the box is not an error report: shown regardless
    r.serial->SetBaudrate(230400);
    EXPECT_EQ(r.boxes.size(), 2u);
    EXPECT_EQ(r.serial->Baudrate(), 38400);
}

TEST(SerialReconnect, PortOutsideOneToNineIsFormedTheSameWay) {
    Rig r;
    r.pty.LinkAs(r.dir.Folder(), 12);
    r.serial->SetPort(12);
    r.serial->SetActive(true);
    EXPECT_TRUE(r.serial->Active()) << r.serial->ErrorText();
    EXPECT_EQ(r.serial->DeviceName(), r.dir.Folder() + "COM12");
}

TEST(SerialClaim, SecondComponentOnTheSamePortIsRefused) {
    for (bool withLockFile : {true, false}) {
        SCOPED_TRACE(withLockFile ? "with lock file" : "flock only");
        Rig r;
        if (!withLockFile) r.serial->SetLockFolder("");
        r.Open();
        ASSERT_TRUE(r.serial->Active());

        int errors = 0;
        TSerial second([](std::function<void()> f) { QMetaObject::invokeMethod(qApp, std::move(f), Qt::QueuedConnection); });
        second.SetPortRule(ComRule(r.dir.Folder()));
        second.SetLockFolder(withLockFile ? r.locks.Folder() : "");
        second.NotifyErrors = neEvent;
        second.OnError = [&](TSerial& sender) {
            EXPECT_EQ(&sender, &second);
            ++errors;
        };
        second.SetPort(3);
        second.SetActive(true);
        EXPECT_FALSE(second.Active());
        EXPECT_EQ(second.ErrorCode(), EBUSY);
        EXPECT_EQ(second.ErrorText(), "Device or resource busy");
        EXPECT_EQ(errors, 1);

        // The refused attempt must not have disturbed the owner.
        r.Queue("ok");
        std::string got;
        r.serial->ReadString(got);
        EXPECT_EQ(got, "ok");

        r.serial->SetActive(false);
        second.SetActive(true);
        EXPECT_TRUE(second.Active()) << second.ErrorText();
    }
}

TEST(SerialClaim, LockFileNamesThePidAndGoesAtClose) {
    Rig r;
    r.Open();
    ASSERT_TRUE(r.serial->Active());
    std::string lock = r.serial->LockFilePath();
    ASSERT_FALSE(lock.empty());
    EXPECT_EQ(fs::path(lock).parent_path(), fs::path(r.locks.Folder()).parent_path());
    std::string realSlave = fs::canonical(r.pty.SlavePath()).string();   // /dev/pts/N
    EXPECT_EQ(fs::path(lock).filename().string(), "LCK.." + realSlave.substr(5).replace(3, 1, "_"));
    std::ifstream in(lock);
    long pid = 0;
    in >> pid;
    EXPECT_EQ(pid, getpid());
    r.serial->SetActive(false);
    EXPECT_FALSE(fs::exists(lock));
}

TEST(SerialClaim, LiveForeignLockIsBusyStaleOneIsReplaced) {
    Rig r;
    r.serial->NotifyErrors = neNone;
    std::string realSlave = fs::canonical(r.pty.SlavePath()).string();
    std::string lock = r.locks.Folder() + "LCK.." + realSlave.substr(5).replace(3, 1, "_");

    { std::ofstream(lock) << "         1\n"; }   // pid 1 is always alive
    r.Open();
    EXPECT_FALSE(r.serial->Active());
    EXPECT_EQ(r.serial->ErrorCode(), EBUSY);
    EXPECT_TRUE(fs::exists(lock));   // someone else's lock is left alone

    { std::ofstream(lock) << "2147483000\n"; }   // no such process, and old enough to be sure
    fs::last_write_time(lock, fs::last_write_time(lock) - std::chrono::seconds(10));
    r.serial->SetActive(true);
    EXPECT_TRUE(r.serial->Active()) << r.serial->ErrorText();
    std::ifstream in(lock);
    long pid = 0;
    in >> pid;
    EXPECT_EQ(pid, getpid());
}

TEST(SerialErrors, ReportFollowsNotifyErrors) {
    Rig r;
    fs::create_symlink("/dev/zup-no-such-device", r.dir.Folder() + "COM8");
    r.serial->SetPort(8);

    r.serial->NotifyErrors = neNone;
    r.serial->SetActive(true);
    EXPECT_EQ(r.serial->ErrorCode(), ENOENT);
    EXPECT_TRUE(r.boxes.empty());
    EXPECT_EQ(r.errors, 0);

    r.serial->NotifyErrors = neEvent;
    r.serial->SetActive(true);
    EXPECT_EQ(r.errors, 1);
    EXPECT_TRUE(r.boxes.empty());

    r.serial->NotifyErrors = neDialog;
    r.serial->SetActive(true);
    EXPECT_EQ(r.errors, 1);
    ASSERT_EQ(r.boxes.size(), 1u);
    EXPECT_EQ(r.boxes[0], "No such file or directory");

    r.serial->NotifyErrors = neEvent;
    r.serial->OnError = nullptr;
    r.serial->SetActive(true);
    EXPECT_EQ(r.boxes.size(), 1u);
}

TEST(SerialErrors, NonTerminalIsRefusedAndLeavesNothingOpen) {
    Rig r;
    r.serial->NotifyErrors = neNone;
    fs::create_symlink("/dev/null", r.dir.Folder() + "COM9");
    r.serial->SetPort(9);
    r.serial->SetActive(true);
    EXPECT_FALSE(r.serial->Active());
    EXPECT_NE(r.serial->ErrorCode(), 0);
    EXPECT_TRUE(r.serial->LockFilePath().empty());
    EXPECT_TRUE(fs::is_empty(r.locks.Folder()));
}

// After a failed open the reason shown is the open's own, whatever is called on the closed port
// afterwards (state 5 aborts both directions at once).
TEST(SerialOpen, TheOpensOwnReasonSurvivesCallsOnTheClosedPort) {
    Rig owner;
    owner.Open();   // COM3, held: a second component finds it busy
    ASSERT_TRUE(owner.serial->Active());
    fs::create_symlink(owner.dir.Folder() + "none", owner.dir.Folder() + "COM4");
    std::ofstream(owner.dir.Folder() + "COM5") << "a plain file";
    TestPty locked;
    locked.LinkAs(owner.dir.Folder(), 6);
    const bool root = geteuid() == 0;
    if (!root) chmod(locked.SlavePath().c_str(), 0);

    struct Row {
        int port;
        int reason;
    } rows[] = {{4, ENOENT}, {3, EBUSY}, {5, ENOTTY}, {6, EACCES}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.port);
        auto attempt = [&] {
            TSerial port;
            port.NotifyErrors = neNone;
            port.SetPortRule(ComRule(owner.dir.Folder()));
            port.SetLockFolder(owner.locks.Folder());
            port.SetPort(row.port);
            port.SetActive(true);
            port.AbortRx();
            port.AbortTx();
            port.WriteString("x");
            std::string got;
            port.ReadString(got);
            return std::make_pair(port.ErrorCode(), port.ErrorText());
        };
        if (row.reason != EACCES || !root) {
            EXPECT_EQ(attempt(), std::make_pair(row.reason, std::string(strerror(row.reason))));
            continue;
        }
        // Root opens anything: the refusal is played by a user without rights to the device.
        ASSERT_EQ(chmod(locked.SlavePath().c_str(), 0600), 0);
        ASSERT_EQ(chmod(owner.dir.Folder().c_str(), 0755), 0);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(10);
            _exit(attempt() == std::make_pair(EACCES, std::string(strerror(EACCES))) ? 0 : 11);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "10: no user to play, 11: another reason";
    }
}

// Anyone can put a FIFO where the lock file goes; the open refuses the port at once.
TEST(SerialClaim, AFifoInPlaceOfTheLockFileIsBusyNotAWait) {
    Rig r;
    const std::string realSlave = fs::canonical(r.pty.SlavePath()).string();
    const std::string lock = r.locks.Folder() + "LCK.." + realSlave.substr(5).replace(3, 1, "_");
    TSerial port;
    port.NotifyErrors = neNone;
    port.SetPortRule(ComRule(r.dir.Folder()));
    port.SetLockFolder(r.locks.Folder());
    port.SetPort(3);
    const TFifoAttempt a = AttemptOnFifo(lock, [&] { port.SetActive(true); });
    EXPECT_FALSE(a.Blocked);
    EXPECT_FALSE(port.Active());
    EXPECT_EQ(port.ErrorCode(), EBUSY);
    EXPECT_TRUE(fs::is_fifo(lock));   // not ours to remove
}

namespace {

// A driver's serial flags as the request sees them: what Get reports, what Set does with them.
struct TFakeDriver {
    int getError = 0;      // the driver has no serial flags at all
    int setError = 0;      // it refuses the change
    bool keepsOld = false; // it takes the call and keeps its flags
    int flags = 0;
    std::vector<int> sets;
};
TFakeDriver* g_driver = nullptr;  // the ops are plain functions: the row under test
const serialio::TSerialFlagOps kFakeOps{
    [](int, int& flags) {
        flags = g_driver->flags;
        return g_driver->getError;
    },
    [](int, int flags) {
        g_driver->sets.push_back(flags);
        if (g_driver->setError == 0 && !g_driver->keepsOld) g_driver->flags = flags;
        return g_driver->setError;
    }};

}  // namespace

// Low latency is asked for at the open and undone at the close exactly when the open changed it; a
// driver that refuses it, outright or by keeping its flags, is told apart from one without flags.
TEST(SerialOpen, LowLatencyIsAskedForAndTheFlagsItFoundComeBack) {
    using serialio::TLowLatency;
    constexpr int kLow = 0x2000;  // ASYNC_LOW_LATENCY
    const struct Row {
        const char* name;
        TFakeDriver driver;
        TLowLatency state;
        int error;
        std::vector<int> sets;  // every flags word written, the restore at close included
    } rows[] = {
        {"pseudo-terminal", {ENOTTY, 0, false, 0x40, {}}, TLowLatency::Unsupported, 0, {}},
        {"FTDI at its default", {0, 0, false, 0x40, {}}, TLowLatency::Set, 0, {0x40 | kLow, 0x40}},
        {"already low", {0, 0, false, 0x40 | kLow, {}}, TLowLatency::AlreadyOn, 0, {}},
        {"refused", {0, EPERM, false, 0x40, {}}, TLowLatency::Refused, EPERM, {0x40 | kLow}},
        {"kept its flags", {0, 0, true, 0x40, {}}, TLowLatency::Refused, EINVAL, {0x40 | kLow}},
    };
    for (const Row& row : rows) {
        TFakeDriver driver = row.driver;
        g_driver = &driver;
        const serialio::TLowLatencyRequest r = serialio::RequestLowLatency(3, kFakeOps);
        serialio::RestoreLowLatency(3, r, kFakeOps);
        EXPECT_EQ(r.State, row.state) << row.name;
        EXPECT_EQ(r.Error, row.error) << row.name;
        EXPECT_EQ(driver.sets, row.sets) << row.name;
        g_driver = nullptr;
    }
}
