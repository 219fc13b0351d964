// What a technician is told when a port does not open: each kind of failure met for real (the
// serial component's own errno from a real open), with its reason and its one remedy.
#include "host/PortDiagnosis.h"
#include "host/Ports.h"
#include "serial/Serial4.h"
#include "serial/serial_posix.h"
#include "tests/support/AsUser.h"
#include "tests/support/Processes.h"
#include "tests/support/Pty.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>
#include <grp.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

namespace fs = std::filesystem;

namespace {

class TFakePorts : public TPortSource {
public:
    std::vector<TPortInfo> Ports;
    std::vector<TPortInfo> List() override { return Ports; }
};

// The errno of opening `device` (or COM `com` of `folder`) with the serial component.
int OpenError(const std::string& device, int com = 0, const std::string& folder = "", const std::string& locks = "") {
    TSerial port;
    port.NotifyErrors = neNone;
    port.SetLockFolder(locks);
    if (com) {
        port.SetPortRule(ComRule(folder));
        port.SetPort(com);
    } else {
        port.SetDevicePath(device);
    }
    port.SetActive(true);
    return port.Active() ? 0 : port.ErrorCode();
}

std::string Lines(const TPortDiagnosis& d) { return d.Reason + "\n" + d.Remedy; }

}  // namespace

TEST(PortDiagnosis, APortHeldByAnotherProgramNamesItAndHowToFreeIt) {
    TestPty pty;
    TempDir locks;
    int err = 0;
    const std::string lock = locks / serialio::LockFileName(pty.SlavePath(), err);
    const std::string dev = pty.SlavePath();
    struct Row {
        const char* name;
        bool lockFile;
        std::string reason, remedy;   // $PID stands for the holder's pid
    } rows[] = {
        {"minicom", true, dev + " is in use by minicom (pid $PID) (lock file " + lock + ")", "close minicom (pid $PID), then try again"},
        {"minicom", false, dev + " is in use by minicom (pid $PID)", "close minicom (pid $PID), then try again"},
        {"ModemManager", false, dev + " is in use by ModemManager (pid $PID)",
         "ModemManager probes serial adapters for modems: keep it away with a udev rule matching the adapter, "
         "ENV{ID_MM_DEVICE_IGNORE}=\"1\" in /etc/udev/rules.d/99-zupflshc.rules, then plug the adapter in again"},
        {"brltty", false, dev + " is in use by brltty (pid $PID)",
         "brltty (the braille display driver) claims some USB serial adapters: "
         "sudo systemctl mask --now brltty.service brltty-udev.service, or sudo apt remove brltty"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.name) + (row.lockFile ? " with a lock file" : " by flock alone"));
        const std::string folder = row.lockFile ? locks.Path() : "";
        THoldingProcess holder(row.name, [&] {
            int err = 0;
            static std::unique_ptr<serialio::TPort> kept;  // held in the child until it ends
            kept = serialio::TPort::Open(dev, folder, {}, err);
            return kept != nullptr;
        });
        ASSERT_GT(holder.Pid, 0);
        const int error = OpenError(dev, 0, "", folder);
        ASSERT_EQ(error, EBUSY);
        auto withPid = [&](std::string text) {
            for (size_t at; (at = text.find("$PID")) != std::string::npos;) text.replace(at, 4, std::to_string(holder.Pid));
            return text;
        };
        const TPortDiagnosis d = DiagnoseOpenFailure({dev, error, 0, "", locks.Path(), nullptr});
        EXPECT_EQ(d.Fault, TPortFault::Busy);
        EXPECT_EQ(Lines(d), withPid(row.reason) + "\n" + withPid(row.remedy));
    }
}

TEST(PortDiagnosis, WhatIsNoSerialDeviceSaysSoAndWhatItIs) {
    TempDir tmp;
    ASSERT_EQ(::mkfifo((tmp / "fifo").c_str(), 0600), 0);
    fs::create_directory(tmp / "folder");
    WriteWholeFile(tmp / "file", "x");
    fs::create_symlink("/dev/ptmx", tmp / "ptmx");
    struct Row {
        std::string device;
        const char* what;
    } rows[] = {
        {"/dev/null", "a character device that is not a terminal"},
        {tmp / "fifo", "a FIFO"},
        {tmp / "folder", "a directory"},
        {tmp / "file", "a regular file"},
        // Not the program's controlling terminal: a new terminal nobody is at the other end of.
        {tmp / "ptmx", "the pseudo-terminal multiplexer, which makes a new terminal with nothing at its other end"},
    };
    ::alarm(30);   // an open that blocked on the FIFO would hang here
    for (const Row& row : rows) {
        SCOPED_TRACE(row.device);
        const int error = OpenError(row.device);
        ASSERT_NE(error, 0);
        const TPortDiagnosis d = DiagnoseOpenFailure({row.device, error, 0, "", "", nullptr});
        EXPECT_EQ(d.Fault, TPortFault::NotSerial);
        EXPECT_EQ(Lines(d), row.device + " is not a serial device: it is " + row.what +
                                "\nchoose the adapter's device; see `zupflshc ports`");
    }
    ::alarm(0);
}

TEST(PortDiagnosis, AMissingComPortSaysWhatItMapsToAndHowToLinkIt) {
    TempDir folder;
    const std::string f = folder.Path() + "/";
    fs::create_symlink("/dev/zup-unplugged", f + "COM4");
    TFakePorts attached;
    attached.Ports = {{"/dev/ttyUSB0", "/dev/serial/by-id/usb-FTDI_FT232R_A1-if00-port0", "FTDI", "FT232R", "A1", 0x0403, 0x6001, "", -1, ""}};
    if (fs::exists("/dev/ttyS99")) GTEST_SKIP() << "this machine has a /dev/ttyS99";
    // The only adapter there is opens as COM3 already: that is offered first, never linked twice.
    TestPty com3;
    com3.LinkAs(folder.Path(), 3);
    TFakePorts onlyCom3;
    onlyCom3.Ports = {{com3.SlavePath(), "", "", "", "", -1, -1, "", -1, ""}};
    struct Row {
        int com;
        TPortSource* ports;
        std::string reason, remedy;
    } rows[] = {
        {4, &attached, "COM4 is " + f + "COM4 -> /dev/zup-unplugged, which does not exist",
         "link the adapter as COM4: ln -sfn /dev/serial/by-id/usb-FTDI_FT232R_A1-if00-port0 " + f +
             "COM4; see `zupflshc ports`"},
        {4, &onlyCom3, "COM4 is " + f + "COM4 -> /dev/zup-unplugged, which does not exist",
         "choose COM3, which opens " + com3.SlavePath() + " already; or plug in another adapter and link the adapter as COM4: ln -sfn /dev/ttyUSB0 " +
             f + "COM4; see `zupflshc ports`"},
        {100, nullptr, "COM100 is /dev/ttyS99 (there is no " + f + "COM100), which does not exist",
         "link the adapter as COM100: ln -sfn /dev/ttyUSB0 " + f + "COM100; see `zupflshc ports`"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.com);
        const std::string device = ComDevice(f, row.com);
        const int error = OpenError("", row.com, f);
        ASSERT_EQ(error, ENOENT);
        const TPortDiagnosis d = DiagnoseOpenFailure({device, error, row.com, f, "", row.ports});
        EXPECT_EQ(d.Fault, TPortFault::Missing);
        EXPECT_EQ(Lines(d), row.reason + "\n" + row.remedy);
    }
}

// The device as udev sets a serial port up: root:dialout, read and write for the group only. A user
// outside the group is told to join it; one who joined since logging in, to log in again.
TEST(PortDiagnosis, APermissionRefusalNamesTheGroupAndWhatToDo) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to play other users";
    const group* dialout = ::getgrnam("dialout");
    if (!dialout) GTEST_SKIP() << "no dialout group";
    const gid_t gid = dialout->gr_gid;
    const std::string user = "zup-diag-" + std::to_string(::getpid() % 100000);
    ASSERT_EQ(std::system(("useradd -M -N -g nogroup -G dialout " + user).c_str()), 0);
    struct Cleanup {
        std::string user;
        ~Cleanup() { std::system(("userdel " + user + " 2>/dev/null").c_str()); }
    } cleanup{user};
    const passwd* pw = ::getpwnam(user.c_str());
    ASSERT_NE(pw, nullptr);
    const uid_t joined = pw->pw_uid;
    const gid_t joinedGroup = pw->pw_gid;

    TestPty pty;
    ASSERT_EQ(::chown(pty.SlavePath().c_str(), 0, gid), 0);
    ASSERT_EQ(::chmod(pty.SlavePath().c_str(), 0660), 0);
    const std::string found = "Permission denied: " + pty.SlavePath() + " belongs to root:dialout with mode crw-rw----";
    struct Row {
        const char* what;
        uid_t uid;
        gid_t gid;
        std::string lines;
    } rows[] = {
        {"outside the group", kNobody, kNobody,
         found + ", and user nobody is not in group dialout\nsudo usermod -aG dialout nobody, then log out and log in again"},
        {"joined since logging in", joined, joinedGroup,
         found + "; user " + user + " is in group dialout, but this login session is not yet\nlog out and log in again"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const std::string answer = RunAsUser(row.uid, row.gid, [&] {
            const int error = OpenError(pty.SlavePath());
            return std::to_string(error) + " " + Lines(DiagnoseOpenFailure({pty.SlavePath(), error, 0, "", "", nullptr}));
        });
        EXPECT_EQ(answer, std::to_string(EACCES) + " " + row.lines);
    }
    // With the group in the session the same user opens it.
    EXPECT_EQ(RunAsUser(joined, joinedGroup, [&] { return std::to_string(OpenError(pty.SlavePath())); }, {gid}), "0");
}

TEST(PortDiagnosis, AnotherUsersComLinkIsNotFollowed) {
    TempDir folder;
    const std::string f = folder.Path() + "/";
    TestPty pty;
    pty.LinkAs(f, 2);
    ASSERT_EQ(::lchown((f + "COM2").c_str(), kNobody, kNobody), 0);
    TSerial port;
    port.NotifyErrors = neNone;
    port.SetPortRule(ComRule(f));
    port.SetPort(2);
    port.SetActive(true);
    ASSERT_EQ(port.ErrorCode(), EPERM);
    // The refusal is told by the open itself; the record and the operator's explanation both take it.
    ASSERT_TRUE(port.RefusedLink());
    TJobResult r;
    r.Kind = TResultKind::PortFailed;
    r.PortFault = TPortFault::ForeignLink;
    r.SystemError = EPERM;
    r.Device = f + "COM2";
    r.ComPort = 2;
    const TPortDiagnosis d = DiagnoseResult(r, f, "", nullptr);
    EXPECT_EQ(d.Fault, TPortFault::ForeignLink);
    EXPECT_EQ(Lines(d), f + "COM2 belongs to user nobody (uid 65534), neither this user nor root: not followed\nrm " + f +
                            "COM2 and make the link yourself: ln -sfn /dev/ttyUSB0 " + f + "COM2");
}

TEST(PortDiagnosis, ALockFileInTheWayIsNamedWithTheCommandThatRemovesIt) {
    TestPty pty;
    TempDir locks;
    int err = 0;
    const std::string lock = locks / serialio::LockFileName(pty.SlavePath(), err);
    const pid_t dead = ::fork();
    if (dead == 0) ::_exit(0);
    ::waitpid(dead, nullptr, 0);
    ASSERT_EQ(::mkfifo(lock.c_str(), 0644), 0);
    const int planted = OpenError(pty.SlavePath(), 0, "", locks.Path());
    ASSERT_EQ(planted, EBUSY);
    EXPECT_EQ(Lines(DiagnoseOpenFailure({pty.SlavePath(), planted, 0, "", locks.Path(), nullptr})),
              pty.SlavePath() + " is taken: " + lock + " is not a lock file but stands at its name\nsudo rm " + lock);

    // As the serial component leaves it when it may not remove a stale lock.
    fs::remove(lock);
    WriteWholeFile(lock, std::to_string(dead) + "\n");
    EXPECT_EQ(Lines(DiagnoseOpenFailure({pty.SlavePath(), EBUSY, 0, "", locks.Path(), nullptr})),
              pty.SlavePath() + " is taken by the stale lock file " + lock + " of process " + std::to_string(dead) +
                  ", which no longer runs\nsudo rm " + lock);
}

// A port this program holds, reached by a node of its own (as a container or an administrator
// makes them): neither the lock file's name nor the kernel's lock on the first node names it, yet
// it is this program's, not another program's this user cannot see.
TEST(PortDiagnosisAsRoot, ASecondNodeOfAPortThisProgramHoldsIsCalledItsOwn) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to make a device node";
    TestPty pty;
    TempDir tmp;
    struct stat st {};
    ASSERT_EQ(::stat(pty.SlavePath().c_str(), &st), 0);
    const std::string node = tmp / "second";
    ASSERT_EQ(::mknod(node.c_str(), S_IFCHR | 0600, st.st_rdev), 0);
    int err = 0;
    const auto held = serialio::TPort::Open(pty.SlavePath(), "", {}, err);
    ASSERT_NE(held, nullptr) << std::strerror(err);
    const TPortDiagnosis d = DiagnoseOpenFailure({node, EBUSY, 0, "", "", nullptr});
    EXPECT_EQ(d.Fault, TPortFault::Busy);
    EXPECT_EQ(Lines(d), node + " is already open in this program\nclose it there first");
}

// The explanation never decides the kind again: whatever the result says, the operator reads.
TEST(PortDiagnosis, TheResultsKindIsTheKindExplained) {
    TempDir folder;
    const struct {
        TPortFault fault;
        int error;
    } rows[] = {
        {TPortFault::Permission, EACCES}, {TPortFault::Busy, EBUSY},          {TPortFault::Missing, ENOENT},
        {TPortFault::NotSerial, ENOTTY},  {TPortFault::ForeignLink, EPERM},   {TPortFault::OwnTerminal, EINVAL},
        {TPortFault::Other, EIO},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(PortFaultName(row.fault));
        TJobResult r;
        r.Kind = TResultKind::PortFailed;
        r.PortFault = row.fault;
        r.SystemError = row.error;
        r.Device = folder / "COM3";
        r.ComPort = 3;
        const TPortDiagnosis d = DiagnoseResult(r, folder.Path(), "", nullptr);
        EXPECT_EQ(d.Fault, row.fault);
        EXPECT_FALSE(d.Reason.empty());
        EXPECT_FALSE(d.Remedy.empty());
    }
}
