// The LCK.. file under contention: two programs opening one port at the same moment, and the locks
// other programs (or other users) leave behind.
#include "serial/Serial4.h"
#include "serial/serial_posix.h"
#include "tests/support/AsUser.h"
#include "tests/support/Pty.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

std::string LockOf(const TempDir& locks, const TestPty& pty) {
    int err = 0;
    return locks / serialio::LockFileName(pty.SlavePath(), err);
}

long PidIn(const std::string& lock) {
    bool notAFile = false;
    return serialio::ReadLockPid(lock, notAFile);
}

pid_t DeadPid() {
    const pid_t child = ::fork();
    if (child == 0) ::_exit(0);
    ::waitpid(child, nullptr, 0);
    return child;
}

void SetAge(const std::string& path, long seconds) {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const timespec then{now.tv_sec - seconds, now.tv_nsec};
    const timespec times[2] = {then, then};
    ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

// What a lock file of this process holds: the pid in ten columns and a newline (the HDB form).
std::string OurLockLine() {
    char line[32];
    std::snprintf(line, sizeof line, "%10d\n", static_cast<int>(::getpid()));
    return line;
}

struct Attempt {
    pid_t Pid;
    int Err;
};

}  // namespace

// Both openers wait on one pipe and start when it closes. The winner holds the port until told to
// let go; by then the loser has given up, so at that moment the lock must be there and name the
// winner, and once the winner closed, nothing may be left in the lock folder.
TEST(LockFile, TwoOpenersAtOnceLeaveExactlyTheHoldersLockAndNothingAfter) {
    TestPty pty;
    TempDir locks;
    const std::string lock = LockOf(locks, pty);
    for (int trial = 0; trial < 100; ++trial) {
        SCOPED_TRACE(trial);
        int go[2], report[2], release[2];
        ASSERT_EQ(::pipe(go) | ::pipe(report) | ::pipe(release), 0);
        pid_t children[2];
        for (pid_t& child : children) {
            child = ::fork();
            if (child != 0) continue;
            ::close(go[1]);
            ::close(report[0]);
            ::close(release[1]);
            char c;
            while (::read(go[0], &c, 1) > 0) {}
            int err = 0;
            auto port = serialio::TPort::Open(pty.SlavePath(), locks.Path(), {}, err);
            const Attempt a{::getpid(), err};
            if (::write(report[1], &a, sizeof a) != sizeof a) ::_exit(2);
            if (port)
                while (::read(release[0], &c, 1) > 0) {}
            port.reset();
            ::_exit(0);
        }
        ::close(go[0]);
        ::close(report[1]);
        ::close(release[0]);
        ::close(go[1]);   // both at once

        Attempt a[2];
        ASSERT_EQ(::read(report[0], &a[0], sizeof a[0]), static_cast<ssize_t>(sizeof a[0]));
        ASSERT_EQ(::read(report[0], &a[1], sizeof a[1]), static_cast<ssize_t>(sizeof a[1]));
        ::close(report[0]);
        const Attempt& winner = a[0].Err == 0 ? a[0] : a[1];
        const Attempt& loser = a[0].Err == 0 ? a[1] : a[0];
        EXPECT_EQ(winner.Err, 0);
        EXPECT_EQ(loser.Err, EBUSY);
        EXPECT_EQ(PidIn(lock), winner.Pid);

        ::close(release[1]);
        for (pid_t child : children) ::waitpid(child, nullptr, 0);
        EXPECT_EQ(locks.Entries(), 0u) << "left: " << fs::directory_iterator(locks.Path())->path();
        if (HasFailure()) break;
    }
}

TEST(LockFile, OnlyADeadProcesssLockOlderThanASecondIsStale) {
    TestPty pty;
    TempDir locks;
    const std::string lock = LockOf(locks, pty);
    const std::string dead = std::to_string(DeadPid());
    int binaryDead = static_cast<int>(DeadPid());
    const std::string binary(reinterpret_cast<const char*>(&binaryDead), 4);
    struct Row {
        const char* what;
        std::string content;
        long age;
        bool stale;
    } rows[] = {
        {"a dead process's lock", "      " + dead + "\n", 10, true},
        {"a dead process's lock just made", "      " + dead + "\n", 0, false},
        {"a live process's old lock", "      " + std::to_string(::getppid()) + "\n", 10, false},
        {"this process's own lock", std::to_string(::getpid()) + "\n", 10, false},
        {"an empty old lock", "", 10, true},
        {"an empty lock being written", "", 0, false},
        {"an old binary UUCP lock of a dead process", binary, 10, true},
        {"a dead process's lock stamped an hour ahead", dead + "\n", -3600, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        WriteWholeFile(lock, row.content);
        SetAge(lock, row.age);
        int err = 0;
        auto port = serialio::TPort::Open(pty.SlavePath(), locks.Path(), {}, err);
        EXPECT_EQ(err, row.stale ? 0 : EBUSY);
        EXPECT_EQ(ReadWholeFile(lock), row.stale ? OurLockLine() : row.content);
        port.reset();
        EXPECT_EQ(fs::exists(lock), !row.stale);
        fs::remove(lock);
        EXPECT_EQ(locks.Entries(), 0u);
    }
}

// As on a real system: the lock folder is sticky and world-writable, and a stale lock of another
// user cannot be removed by this one. The refusal must say what to do about it.
TEST(LockFile, AStaleLockThatCannotBeRemovedIsNamedWithItsRemedy) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to play a second user";
    TestPty pty;
    TempDir locks;
    ASSERT_EQ(::chmod(locks.Path().c_str(), 01777), 0);
    ASSERT_EQ(::chmod(pty.SlavePath().c_str(), 0666), 0);
    const std::string lock = LockOf(locks, pty);
    const pid_t dead = DeadPid();
    WriteWholeFile(lock, std::to_string(dead) + "\n");
    SetAge(lock, 10);

    const std::string text = RunAsUser(kNobody, kNobody, [&] {
        TSerial port;
        port.NotifyErrors = neNone;
        port.SetLockFolder(locks.Path());
        port.SetDevicePath(pty.SlavePath());
        port.SetActive(true);
        return std::to_string(port.ErrorCode()) + " " + port.ErrorText();
    });
    EXPECT_EQ(text, std::to_string(EBUSY) + " Device or resource busy: stale lock file " + lock + " (process " +
                        std::to_string(dead) + ", which no longer runs) cannot be removed: Operation not permitted; " +
                        "remove it with: sudo rm " + lock);
    EXPECT_TRUE(fs::exists(lock));
    EXPECT_EQ(locks.Entries(), 1u);   // no private file left behind either

    // The owner of the folder's files may: the same lock goes and the port opens.
    TSerial port;
    port.NotifyErrors = neNone;
    port.SetLockFolder(locks.Path());
    port.SetDevicePath(pty.SlavePath());
    port.SetActive(true);
    EXPECT_TRUE(port.Active()) << port.ErrorText();
}

// A job in the background whose port is its own terminal would be stopped by SIGTTOU and could not
// be ended: the controlling terminal is refused as a port, any other terminal is not.
TEST(SerialOpen, TheControllingTerminalIsRefusedAsAPort) {
    TestPty own, other;
    TempDir locks;
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // A session of its own, with the first pty as its controlling terminal.
        if (setsid() < 0) _exit(10);
        const int ctty = open(own.SlavePath().c_str(), O_RDWR);
        if (ctty < 0 || ioctl(ctty, TIOCSCTTY, 0) != 0) _exit(11);
        int err = 0;
        std::string detail;
        const bool refused = !serialio::TPort::Open(own.SlavePath(), locks.Path(), {}, err, &detail) &&
                             err == EINVAL && detail.find("controlling terminal") != std::string::npos;
        const bool otherOpens = serialio::TPort::Open(other.SlavePath(), locks.Path(), {}, err) != nullptr;
        _exit(refused && otherOpens ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}
