// The simulated Norvane MXR-2. It sits on the master side of a pseudo-terminal whose slave is
// linked as <dir>/COM<n>, so the upload program opens it like any serial port. It holds the slave
// open itself: that lets it read the line speed the program set (the unit only hears the speeds its
// firmware listens at) and keeps the master from seeing a hang-up when the program closes the port.
//
// stdout carries "ready <link>" once the link exists, "report" after each SIGUSR1 and "power"
// after each SIGUSR2, so a test harness can synchronise without sleeping.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "Options.h"
#include "OutQueue.h"
#include "Unit.h"
#include "base/Paths.h"
#include "base/RunError.h"
#include "base/SafeFile.h"
#include "base/UniqueFd.h"
#include "base/OwnFolder.h"

namespace {

using Clock = std::chrono::steady_clock;

// The name it was started by: zupsim in the build folder, zupflshc-simulated-unit installed.
std::string gName = "zupsim";

void Complain(const std::string& text) { std::fprintf(stderr, "%s: %s\n", gName.c_str(), text.c_str()); }
void ComplainErrno(const char* what) { Complain(std::string(what) + ": " + std::strerror(errno)); }

// Where the COM<n> link goes without --dir: where the program looks for it. That is the folder of
// the executables when no other user can write to it and it is no installation, else the per-user
// data folder, as the installed program decides (base/OwnFolder.h).
bool FolderForLink(std::string& dir) {
    const std::string own = ExecutableFolder();
    const TOwnFolderVerdict verdict = JudgeOwnFolder(own);
    if (verdict.Usable) {
        dir = own;
        return true;
    }
    dir = UserDataFolder();
    if (dir.empty()) {
        Complain("no home folder for the COM link, and " + verdict.Reason + "; give --dir DIR");
        return false;
    }
    if (!MakeFolders(dir)) {
        ComplainErrno(("cannot create " + dir).c_str());
        return false;
    }
    return true;
}

int BaudOf(speed_t s) {
    switch (s) {
    case B0: return 0;
    case B300: return 300;
    case B1200: return 1200;
    case B2400: return 2400;
    case B4800: return 4800;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    case B230400: return 230400;
    default: return -1;
    }
}

// The speed the program transmits at, which is what the unit's UART must match.
int LineSpeed(int slave) {
    termios t{};
    if (::tcgetattr(slave, &t) != 0) return -1;
    return BaudOf(::cfgetospeed(&t));
}

// The report is read by a test while the unit runs on: it is replaced whole, never seen half-written.
void WriteReportFile(const std::string& path, std::string_view content) {
    try {
        ReplaceFile(path, content);
    } catch (const EInOutError& e) {
        Complain(e.what());
    }
}

void WriteReport(const SimOptions& opt, const Unit& unit) {
    if (opt.report.empty()) return;
    const std::string flashFile = opt.report + ".flash";
    // The flash first, so a report on disk never names a flash older than itself.
    const auto& flash = unit.Flash();
    WriteReportFile(flashFile, std::string_view(reinterpret_cast<const char*>(flash.data()), flash.size()));
    WriteReportFile(opt.report, unit.ReportText(flashFile));
}

void Say(const char* line) {
    std::fputs(line, stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// The COM<n> link, removed at the end only while it still points at this unit's terminal.
class PortLink {
public:
    PortLink(std::string link, std::string target) : link_(std::move(link)), target_(std::move(target)) {}
    ~PortLink() { Remove(); }
    PortLink(const PortLink&) = delete;
    PortLink& operator=(const PortLink&) = delete;

    bool Create(std::string& error) {
        struct stat st{};
        if (::lstat(link_.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
            error = link_ + " exists and is not a symbolic link; not replacing it";
            return false;
        }
        // A new link beside the old and a rename: a stale link is replaced in one step.
        const std::string tmp = link_ + ".new" + std::to_string(::getpid());
        ::unlink(tmp.c_str());
        if (::symlink(target_.c_str(), tmp.c_str()) != 0 || ::rename(tmp.c_str(), link_.c_str()) != 0) {
            error = "cannot link " + link_ + ": " + std::strerror(errno);
            ::unlink(tmp.c_str());
            return false;
        }
        made_ = true;
        return true;
    }
    void Remove() {
        if (!made_) return;
        made_ = false;
        char buf[PATH_MAX];
        ssize_t n = ::readlink(link_.c_str(), buf, sizeof buf - 1);
        if (n > 0 && std::string(buf, static_cast<size_t>(n)) == target_) ::unlink(link_.c_str());
    }
    const std::string& Path() const { return link_; }

private:
    std::string link_;
    std::string target_;
    bool made_ = false;
};

// The signals the unit answers to, read from a descriptor beside the terminal's.
TUniqueFd SignalDescriptor() {
    std::signal(SIGPIPE, SIG_IGN);
    sigset_t mask;
    sigemptyset(&mask);
    for (int s : {SIGTERM, SIGINT, SIGUSR1, SIGUSR2}) sigaddset(&mask, s);
    if (::sigprocmask(SIG_BLOCK, &mask, nullptr) != 0) {
        ComplainErrno("sigprocmask");
        return TUniqueFd();
    }
    TUniqueFd signals(::signalfd(-1, &mask, SFD_NONBLOCK | SFD_CLOEXEC));
    if (!signals.Valid()) ComplainErrno("signalfd");
    return signals;
}

// The pseudo-terminal's both ends, the slave raw at 38400 baud until the program sets its speed.
bool OpenTerminal(TUniqueFd& master, TUniqueFd& slave, std::string& slavePath) {
    master.Reset(::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (master.Get() < 0 || ::grantpt(master.Get()) != 0 || ::unlockpt(master.Get()) != 0) {
        ComplainErrno("pseudo-terminal");
        return false;
    }
    char name[128];
    if (::ptsname_r(master.Get(), name, sizeof name) != 0) {
        ComplainErrno("ptsname");
        return false;
    }
    slavePath = name;
    slave.Reset(::open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (slave.Get() < 0) {
        ComplainErrno("open slave");
        return false;
    }
    termios t{};
    ::tcgetattr(slave.Get(), &t);
    ::cfmakeraw(&t);
    ::cfsetispeed(&t, B38400);
    ::cfsetospeed(&t, B38400);
    ::tcsetattr(slave.Get(), TCSANOW, &t);
    return true;
}

// SIGUSR1 asks for a report, SIGUSR2 is a power cycle, anything else ends the unit (false).
bool TakeSignals(int fd, Unit& unit, OutQueue& out, Clock::time_point now, bool& report) {
    signalfd_siginfo si{};
    bool running = true;
    while (::read(fd, &si, sizeof si) == static_cast<ssize_t>(sizeof si)) {
        if (si.ssi_signo == SIGUSR1) report = true;
        else if (si.ssi_signo == SIGUSR2) {
            unit.PowerCycle(now);
            out.Clear();
            Say("power");
        } else running = false;
    }
    return running;
}

// Everything the program has sent so far.
std::string DrainMaster(int master) {
    std::string received;
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(master, buf, sizeof buf);
        if (n > 0) {
            received.append(buf, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        break;  // EAGAIN: all read; EIO cannot happen while the slave is held open
    }
    return received;
}

int Run(const SimOptions& opt) {
    if (opt.exitWithParent) ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    TUniqueFd signals = SignalDescriptor();
    if (!signals.Valid()) return 1;
    if (opt.exitWithParent && ::getppid() == 1) return 0;  // the parent is already gone
    TUniqueFd master, slave;
    std::string slavePath;
    if (!OpenTerminal(master, slave, slavePath)) return 1;

    std::string dir = opt.dir;
    if (dir.empty() && !FolderForLink(dir)) return 1;
    if (dir.back() != '/') dir += '/';
    PortLink link(dir + "COM" + std::to_string(opt.port), slavePath);
    std::string error;
    if (!link.Create(error)) {
        Complain(error);
        return 1;
    }

    OutQueue out;
    Unit unit(opt, out, LineSpeed(slave.Get()));
    Say(("ready " + link.Path()).c_str());

    // With --pace the unit hears bytes no sooner than the line could carry them, as a real UART
    // would: a burst the pseudo-terminal delivered at once is heard when its last byte would be.
    Clock::time_point heardUntil{};
    bool running = true;
    while (running) {
        auto now = Clock::now();
        // The speed is polled too, not only read with data: a change to 19200 is a power-on.
        std::chrono::nanoseconds timeout = std::chrono::milliseconds(10);
        // Output the terminal will not take yet waits for POLLOUT, not for its due time.
        const auto outDeadline = out.Blocked() ? std::nullopt : out.NextDeadline();
        for (auto deadline : {unit.NextDeadline(), outDeadline}) {
            if (!deadline) continue;
            // To the microsecond: a paced line's replies are due a fraction of a millisecond apart.
            timeout = std::clamp<std::chrono::nanoseconds>(*deadline - now, std::chrono::nanoseconds(0), timeout);
        }
        const timespec ts{0, static_cast<long>(timeout.count())};
        pollfd fds[2] = {{master.Get(), static_cast<short>(POLLIN | (out.Blocked() ? POLLOUT : 0)), 0},
                         {signals.Get(), POLLIN, 0}};
        if (::ppoll(fds, 2, &ts, nullptr) < 0 && errno != EINTR) {
            ComplainErrno("poll");
            break;
        }
        now = Clock::now();

        bool report = false;
        running = TakeSignals(signals.Get(), unit, out, now, report);

        const std::string received = DrainMaster(master.Get());
        // Speed is read after the bytes: what the unit hears depends on the speed they came at.
        const int speed = LineSpeed(slave.Get());
        auto heardAt = now;
        if (opt.pace && speed > 0 && !received.empty()) {
            heardUntil = std::max(heardUntil, now) + std::chrono::nanoseconds(10'000'000'000LL / speed) * received.size();
            heardAt = heardUntil;
        }
        unit.Receive(received, speed, heardAt);
        unit.Tick(now);

        if (unit.VanishRequested()) {
            // Unplugged: the port disappears under the program.
            WriteReport(opt, unit);
            link.Remove();
            master.Reset();
            slave.Reset();
            return 0;
        }
        if (unit.TakeReportRequest()) WriteReport(opt, unit);
        if (report) {
            WriteReport(opt, unit);
            Say("report");
        }
        if (!out.Flush(master.Get(), now, speed, opt.pace)) {
            ComplainErrno("write");
            out.Clear();
        }
    }
    WriteReport(opt, unit);
    link.Remove();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 0 && argv[0] && *argv[0]) gName = std::string(argv[0]).substr(FileNameStart(argv[0]));
    SimOptions opt;
    std::string error;
    if (!ParseOptions(argc, argv, opt, error)) {
        if (error == "help") {
            std::fputs(UsageText(gName).c_str(), stdout);
            return 0;
        }
        Complain(error);
        std::fputs(UsageText(gName).c_str(), stderr);
        return 2;
    }
    return Run(opt);
}
