// termios2 (asm/termbits.h) is used throughout instead of <termios.h>: it is the only way to set
// the table's rates that have no B constant (14400, 56000, 128000, 256000), and the two headers
// cannot share a translation unit.
#include "serial/serial_posix.h"

#include <asm/termbits.h>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include "base/SafeFile.h"

namespace serialio {

namespace {

// Rates with their own B constant; everything else goes out as BOTHER.
unsigned StandardRateCode(int baud) {
    switch (baud) {
    case 110: return B110;
    case 300: return B300;
    case 600: return B600;
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    default: return 0;
    }
}

int Ioctl(int fd, unsigned long req, void* arg) {
    int r;
    do r = ioctl(fd, req, arg);
    while (r < 0 && errno == EINTR);
    return r < 0 ? errno : 0;
}

std::string InFolder(const std::string& folder, const std::string& name) {
    return folder + (folder.back() == '/' ? "" : "/") + name;
}

// A name of our own in the lock folder. Anyone can plant a file there under a name we would pick,
// so the name is only ours once O_EXCL made it; a planted one is stepped over.
TUniqueFd CreatePrivateFile(const std::string& folder, const char* kind, std::string& path) {
    static std::atomic<unsigned> counter{0};
    for (int tries = 0; tries < 16; ++tries) {
        path = InFolder(folder, std::string("LTMP.") + std::to_string(getpid()) + "." +
                                    std::to_string(counter++) + kind);
        TUniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
        if (fd.Valid() || errno != EEXIST) return fd;
    }
    errno = EEXIST;
    return TUniqueFd();
}

// The lock file comes into being whole: the pid is written to a private file first and that is
// linked to the lock's name, so nobody can ever read a lock without its pid (as the UUCP lock
// protocol does). Returns 0, EEXIST when the name is taken, or another errno.
int LinkLockFile(const std::string& folder, const std::string& lock, struct stat& made) {
    std::string tmp;
    TUniqueFd fd = CreatePrivateFile(folder, "", tmp);
    if (!fd.Valid()) return errno;
    char line[32];
    const int len = std::snprintf(line, sizeof line, "%10d\n", static_cast<int>(getpid()));
    int err = 0;
    // The umask must not keep terminal programs from reading whose lock it is.
    if (write(fd.Get(), line, static_cast<size_t>(len)) != len || fchmod(fd.Get(), 0644) != 0) err = errno ? errno : EIO;
    if (!err && link(tmp.c_str(), lock.c_str()) != 0) {
        err = errno;
        // Some file systems report a link that was made as failed; the count tells.
        if (err != EEXIST && fstat(fd.Get(), &made) == 0 && made.st_nlink == 2) err = 0;
    }
    if (!err && fstat(fd.Get(), &made) != 0) err = errno;
    unlink(tmp.c_str());
    return err;
}

struct TLockVerdict {
    bool Gone = false;    // nothing at the name any more: try again
    bool Stale = false;   // its process is gone and the file is old enough to be sure
    long Pid = -1;
    struct stat St {};
};

// Whether the lock at `path` still stands for a process. A lock of this process counts as live:
// another component here has the port. A file without a pid that is less than a second old may be
// another program's lock being written (not all of them link); it is left alone.
TLockVerdict JudgeLock(const std::string& path, int& err) {
    TLockVerdict v;
    err = 0;
    TOpenResult lock = TryOpenRegularFile(path, O_RDONLY | O_NOFOLLOW);
    if (lock.NotRegular) {
        // Not a lock file of ours or anyone's: the name is taken, and it is not ours to remove.
        err = EBUSY;
        return v;
    }
    if (!lock.Fd.Valid()) {
        v.Gone = lock.Error == ENOENT;
        err = v.Gone ? 0 : lock.Error;
        return v;
    }
    fstat(lock.Fd.Get(), &v.St);
    v.Pid = ReadLockPid(lock.Fd.Get());
    const bool live = v.Pid > 0 && v.Pid <= INT_MAX &&
                      (v.Pid == getpid() || kill(static_cast<pid_t>(v.Pid), 0) == 0 || errno != ESRCH);
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    // Either way off the clock: a time stamp far in the future is no lock being written either.
    const long long age = static_cast<long long>(now.tv_sec) - v.St.st_mtim.tv_sec;
    v.Stale = !live && (age > 1 || age < -1);
    if (!v.Stale) err = EBUSY;
    return v;
}

// Moves the stale lock aside before removing it: between judging it and removing it another
// opener may have replaced it with a live lock, which must not be the one that goes.
int RemoveStaleLock(const std::string& folder, const std::string& lock, const struct stat& judged) {
    std::string aside;
    TUniqueFd placeholder = CreatePrivateFile(folder, ".stale", aside);
    if (!placeholder.Valid()) return errno;
    placeholder.Close();
    if (rename(lock.c_str(), aside.c_str()) != 0) {
        const int err = errno;
        unlink(aside.c_str());
        return err == ENOENT ? 0 : err;
    }
    struct stat moved {};
    if (lstat(aside.c_str(), &moved) == 0 &&
        (moved.st_ino != judged.st_ino || moved.st_dev != judged.st_dev ||
         moved.st_mtim.tv_sec != judged.st_mtim.tv_sec || moved.st_mtim.tv_nsec != judged.st_mtim.tv_nsec))
        link(aside.c_str(), lock.c_str());   // someone's fresh lock: back in place unless taken again
    unlink(aside.c_str());
    return 0;
}

std::string StaleLockText(const std::string& lock, long pid, int err) {
    return "stale lock file " + lock + " (process " + std::to_string(pid) +
           ", which no longer runs) cannot be removed: " + std::strerror(err) + "; remove it with: sudo rm " + lock;
}

// Takes the LCK.. file so terminal programs see the port is in use. A lock of a live process means
// busy; a stale one is removed and the lock taken. No writable lock folder: nothing to do.
int AcquireLockFile(const std::string& folder, const std::string& device, std::string& path,
                    struct stat& made, std::string& detail) {
    path.clear();
    if (folder.empty() || access(folder.c_str(), W_OK) != 0) return 0;
    int err = 0;
    const std::string lock = InFolder(folder, LockFileName(device, err));
    if (err) return err;
    for (int attempt = 0; attempt < 3; ++attempt) {
        err = LinkLockFile(folder, lock, made);
        if (err == 0) {
            path = lock;
            return 0;
        }
        if (err != EEXIST) return err;
        const TLockVerdict v = JudgeLock(lock, err);
        if (err) return err;
        if (v.Gone) continue;
        if ((err = RemoveStaleLock(folder, lock, v.St)) != 0) {
            detail = StaleLockText(lock, v.Pid, err);
            return EBUSY;
        }
    }
    return EBUSY;
}

bool IsPseudoTerminal(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
    unsigned maj = major(st.st_rdev);
    return maj >= 136 && maj <= 143;   // Unix98 pty slaves
}

int GetSerialFlags(int fd, int& flags) {
    serial_struct ss{};
    if (int e = Ioctl(fd, TIOCGSERIAL, &ss)) return e;
    flags = ss.flags;
    return 0;
}

// Only the flags change: the rest of what the driver reported goes back as it was.
int SetSerialFlags(int fd, int flags) {
    serial_struct ss{};
    if (int e = Ioctl(fd, TIOCGSERIAL, &ss)) return e;
    ss.flags = flags;
    return Ioctl(fd, TIOCSSERIAL, &ss);
}

}  // namespace

const TSerialFlagOps& SystemSerialFlags() {
    static const TSerialFlagOps ops{GetSerialFlags, SetSerialFlags};
    return ops;
}

TLowLatencyRequest RequestLowLatency(int fd, const TSerialFlagOps& ops) {
    TLowLatencyRequest r;
    int flags = 0;
    // Drivers without serial flags (a pseudo-terminal) are left alone, and nothing is said.
    if (ops.Get(fd, flags) != 0) return r;
    if (flags & ASYNC_LOW_LATENCY) {
        r.State = TLowLatency::AlreadyOn;
        return r;
    }
    r.SavedFlags = flags;
    r.Error = ops.Set(fd, flags | ASYNC_LOW_LATENCY);
    // Read back, as the line settings are: a driver may take the call and keep its old flags.
    int now = 0;
    if (r.Error == 0 && (ops.Get(fd, now) != 0 || !(now & ASYNC_LOW_LATENCY))) r.Error = EINVAL;
    r.State = r.Error == 0 ? TLowLatency::Set : TLowLatency::Refused;
    return r;
}

void RestoreLowLatency(int fd, const TLowLatencyRequest& request, const TSerialFlagOps& ops) {
    if (request.State == TLowLatency::Set) ops.Set(fd, request.SavedFlags);
}

long ReadLockPid(const std::string& path, bool& notAFile) {
    TOpenResult lock = TryOpenRegularFile(path, O_RDONLY | O_NOFOLLOW);
    notAFile = lock.NotRegular;
    return lock.Fd.Valid() ? ReadLockPid(lock.Fd.Get()) : -1;
}

long ReadLockPid(int fd) {
    char buf[64] = {};
    ssize_t n = pread(fd, buf, sizeof buf - 1, 0);
    // The old binary form is four bytes of pid; "856\n" is four bytes too, but text.
    const auto text = [](char c) { return (c >= '0' && c <= '9') || c == ' ' || c == '\n'; };
    if (n == 4 && !(text(buf[0]) && text(buf[1]) && text(buf[2]) && text(buf[3]))) {
        int pid;
        std::memcpy(&pid, buf, 4);
        return pid;
    }
    if (n <= 0) return -1;
    char* end = nullptr;
    long pid = std::strtol(buf, &end, 10);
    return end == buf ? -1 : pid;
}

int IdentifyDevice(int fd, TDeviceId& id) {
    struct stat st {};
    if (fstat(fd, &st) != 0) return errno;
    // What the descriptor itself leads to: no second lookup of a name that may have changed.
    char path[PATH_MAX];
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = readlink(self.c_str(), path, sizeof path - 1);
    if (n <= 0) return n < 0 ? errno : EIO;
    id.Path.assign(path, static_cast<size_t>(n));
    id.Rdev = st.st_rdev;
    return 0;
}

int CheckComEntry(const std::string& path, std::string& detail) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0 || st.st_uid == 0 || st.st_uid == geteuid()) return 0;
    const passwd* owner = getpwuid(st.st_uid);
    detail = path + " belongs to " + (owner ? "user " + std::string(owner->pw_name) + " (uid " : "(uid ") +
             std::to_string(st.st_uid) + "), neither this user nor root: not followed; remove it and make the link yourself";
    return EPERM;
}

std::string LockFileName(const std::string& device, int& err) {
    err = 0;
    char* real = realpath(device.c_str(), nullptr);
    if (!real) {
        err = errno;
        return "";
    }
    std::string path(real);
    std::free(real);
    if (path.rfind("/dev/", 0) == 0) path.erase(0, 5);
    else if (auto slash = path.rfind('/'); slash != std::string::npos) path.erase(0, slash + 1);
    for (char& c : path)
        if (c == '/') c = '_';
    return "LCK.." + path;
}

struct TPort::Saved {
    termios2 tio{};
};

TPort::TPort() : saved_(std::make_unique<Saved>()) {}

TPort::~TPort() {
    if (fd_.Valid()) {
        const int fd = fd_.Get();
        // The adapter's latency goes back with the line settings: the next program finds it as we did.
        RestoreLowLatency(fd, lowLatency_, SystemSerialFlags());
        if (restore_) Ioctl(fd, TCSETS2, &saved_->tio);
        // The exclusive mode belongs to the tty, not to this descriptor: when someone else keeps
        // the device open it would outlive us and lock out the next open.
        if (exclusive_) ioctl(fd, TIOCNXCL);
        fd_.Close();   // the flock goes with it
    }
    // Only while the name is still our file: had someone taken it from us, theirs stays.
    struct stat st {};
    if (!lockPath_.empty() && lstat(lockPath_.c_str(), &st) == 0 && st.st_ino == lockId_.st_ino &&
        st.st_dev == lockId_.st_dev)
        unlink(lockPath_.c_str());
}

std::unique_ptr<TPort> TPort::Open(const std::string& device, const std::string& lockFolder,
                                   const TLineSettings& settings, int& err, std::string* detail) {
    std::unique_ptr<TPort> port(new TPort);
    std::string why;
    err = AcquireLockFile(lockFolder, device, port->lockPath_, port->lockId_, why);
    if (detail) *detail = why;
    if (err) return nullptr;

    port->fd_.Reset(open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    const int fd = port->fd_.Get();
    if (fd < 0) {
        err = errno;
        return nullptr;
    }
    // Only a character device can be a serial line; a file or FIFO behind COM<n> is "not a
    // terminal" before anything is claimed or changed on it.
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) {
        err = ENOTTY;
        return nullptr;
    }
    // The pseudo-terminal multiplexer makes a new terminal at every open, with nothing at its other
    // end: whatever link leads to it, it is no unit's line.
    if (major(st.st_rdev) == kPtmxMajor && minor(st.st_rdev) == kPtmxMinor) {
        err = ENOTTY;
        return nullptr;
    }
    // The program's own controlling terminal is nobody's unit: set up as a port, a background job
    // would be stopped by SIGTTOU and could not then be ended. Asked for its session, a terminal
    // names this program's session only when it is the program's controlling terminal.
    if (pid_t session = 0; Ioctl(fd, TIOCGSID, &session) == 0 && session == getsid(0)) {
        err = EINVAL;
        if (detail) *detail = device + " is this program's own controlling terminal, not a unit's port";
        return nullptr;
    }
    // flock before TIOCEXCL: TIOCEXCL does not stop root, and a second opener that got this far
    // must not switch the first one's exclusive mode off when it backs out.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        err = errno == EWOULDBLOCK ? EBUSY : errno;
        return nullptr;
    }
    if ((err = Ioctl(fd, TIOCEXCL, nullptr)) != 0) return nullptr;
    port->exclusive_ = true;
    if ((err = Ioctl(fd, TCGETS2, &port->saved_->tio)) != 0) return nullptr;
    port->restore_ = true;
    if ((err = ApplySettings(fd, settings)) != 0) return nullptr;
    port->lowLatency_ = RequestLowLatency(fd, SystemSerialFlags());
    SetModemLine(fd, 1, true);
    SetModemLine(fd, 0, true);
    return port;
}

int ApplySettings(int fd, const TLineSettings& s) {
    termios2 t{};
    if (int e = Ioctl(fd, TCGETS2, &t)) return e;

    t.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY |
                   IUCLC | IMAXBEL | INPCK | IGNPAR | IUTF8);
    t.c_oflag &= ~OPOST;
    t.c_lflag &= ~(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN | XCASE | ECHOCTL |
                   ECHOPRT | ECHOKE | TOSTOP);
    t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | CBAUD | CIBAUD);
    t.c_cflag |= CLOCAL | CREAD | (s.DataBits == 7 ? CS7 : CS8);

    switch (s.Parity) {
    case paNone: break;
    case PaOdd: t.c_cflag |= PARENB | PARODD; break;
    case paEven: t.c_cflag |= PARENB; break;
    case paMark: t.c_cflag |= PARENB | PARODD | CMSPAR; break;
    case paSpace: t.c_cflag |= PARENB | CMSPAR; break;
    }
    if (s.Parity != paNone && s.CheckParity) t.c_iflag |= INPCK;
    if (s.TwoStopBits) t.c_cflag |= CSTOPB;
    switch (s.Flow) {
    case fcNone: break;
    case fcRTS_CTS: t.c_cflag |= CRTSCTS; break;
    case fcDTR_DSR: break;   // Linux has no DTR/DSR handshake; the line runs without one
    case fcXON_XOF: t.c_iflag |= IXON | IXOFF; break;
    }
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    t.c_cc[VSTART] = 0x11;
    t.c_cc[VSTOP] = 0x13;

    if (s.Baud <= 0) return EINVAL;
    unsigned code = StandardRateCode(s.Baud);
    t.c_cflag |= code ? code : BOTHER;   // input speed field left 0: same as output
    t.c_ispeed = t.c_ospeed = static_cast<speed_t>(s.Baud);
    if (int e = Ioctl(fd, TCSETS2, &t)) return e;

    termios2 r{};
    if (int e = Ioctl(fd, TCGETS2, &r)) return e;
    // A driver that quietly keeps another character format (a UART without mark/space parity,
    // say) would garble the line: refuse. A pseudo-terminal has no line at all and always
    // reports 8 bits without parity, so only its rate is held to what was asked.
    const tcflag_t frame = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
    if (!IsPseudoTerminal(fd)) {
        if ((r.c_cflag & frame) != (t.c_cflag & frame)) return EINVAL;
        if ((r.c_iflag & (IXON | IXOFF | INPCK)) != (t.c_iflag & (IXON | IXOFF | INPCK))) return EINVAL;
    }
    // A UART may only come close to an odd rate; more than 2% off would garble the line.
    long diff = static_cast<long>(r.c_ospeed) - s.Baud;
    if (diff < 0) diff = -diff;
    if (diff * 50 > s.Baud) return EINVAL;
    return 0;
}

int FlushQueues(int fd) {
    int r;
    do r = ioctl(fd, TCFLSH, TCIOFLUSH);
    while (r < 0 && errno == EINTR);
    return r < 0 ? errno : 0;
}

void SetModemLine(int fd, int line, bool on) {
    int bits = line == 0 ? TIOCM_RTS : line == 1 ? TIOCM_DTR : 0;
    if (bits == 0 || fd < 0) return;
    ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits);
}

int QueuedInput(int fd, int& count) {
    count = 0;
    return Ioctl(fd, FIONREAD, &count);
}

int QueuedOutput(int fd, int& count) {
    count = 0;
    return Ioctl(fd, TIOCOUTQ, &count);
}

ssize_t ReadAvailable(int fd, char* buf, size_t max) {
    if (max == 0) return 0;
    for (int round = 0; round < 2; ++round) {
        ssize_t n = read(fd, buf, max);
        if (n > 0) return n;
        if (n < 0) {
            if (errno == EINTR) {
                --round;
                continue;
            }
            if (errno == EAGAIN) return 0;
            return -errno;
        }
        // With VMIN = VTIME = 0 an empty queue also reads as 0; only the poll tells the two apart.
        pollfd p{fd, POLLIN, 0};
        int r = poll(&p, 1, 0);
        if (r < 0) return errno == EINTR ? 0 : -errno;
        if (r == 0) return 0;
        if (p.revents & (POLLHUP | POLLERR | POLLNVAL)) return -EIO;
        // Readable: either bytes arrived just after the read, or the device is gone. Once more.
    }
    return -EIO;
}

}  // namespace serialio
