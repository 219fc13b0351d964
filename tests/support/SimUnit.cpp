#include "tests/support/SimUnit.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return ms < 0 ? 0 : static_cast<int>(ms);
}

std::runtime_error SysError(const std::string& what) {
    return std::runtime_error(what + ": " + std::strerror(errno));
}

speed_t SpeedConstant(int baud) {
    switch (baud) {
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    default: throw std::runtime_error("unsupported speed " + std::to_string(baud));
    }
}

}  // namespace

// ---- SimUnit ----------------------------------------------------------------------------------

SimUnit::SimUnit(const std::string& folder, int port, const std::vector<std::string>& args)
    : report_(folder + "/sim-report.txt"), flash_(report_ + ".flash"),
      link_(folder + "/COM" + std::to_string(port)) {
    std::vector<std::string> argv = {ZUP_SIM_PATH, "--dir", folder, "--port", std::to_string(port),
                                     "--report", report_, "--exit-with-parent"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargv;
    for (auto& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);

    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) throw SysError("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);  // dup2 drops CLOEXEC
    pid_t pid = -1;
    int rc = ::posix_spawn(&pid, ZUP_SIM_PATH, &actions, nullptr, cargv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    if (rc != 0) {
        ::close(pipeFds[0]);
        errno = rc;
        throw SysError(std::string("cannot start ") + ZUP_SIM_PATH);
    }
    pid_ = pid;
    out_ = pipeFds[0];
    std::string line;
    if (!AwaitLine("ready", 10000, &line)) {
        Stop();
        throw std::runtime_error("simulated unit did not come up (exit " + std::to_string(exitCode_) + ")");
    }
    link_ = line.substr(6);
}

SimUnit::~SimUnit() {
    try {
        Stop();
    } catch (...) {
    }
}

bool SimUnit::AwaitLine(const std::string& word, int timeoutMs, std::string* line) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        for (size_t nl; (nl = pending_.find('\n')) != std::string::npos;) {
            std::string l = pending_.substr(0, nl);
            pending_.erase(0, nl + 1);
            if (l == word || l.rfind(word + " ", 0) == 0) {
                if (line) *line = l;
                return true;
            }
        }
        if (eof_ || out_ < 0) return false;
        pollfd p{out_, POLLIN, 0};
        int r = ::poll(&p, 1, RemainingMs(deadline));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        char buf[512];
        ssize_t n = ::read(out_, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            eof_ = true;
            Reap(true);  // stdout closed: the unit has ended
            return false;
        }
        pending_.append(buf, static_cast<size_t>(n));
    }
}

void SimUnit::Reap(bool block) {
    if (pid_ <= 0) return;
    int status = 0;
    pid_t r;
    do {
        r = ::waitpid(pid_, &status, block ? 0 : WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r == pid_) {
        exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        pid_ = -1;
    }
}

std::map<std::string, std::string> SimUnit::Report() {
    if (pid_ > 0) {
        if (::kill(pid_, SIGUSR1) != 0) throw SysError("cannot signal the simulated unit");
        if (!AwaitLine("report", 10000) && !eof_)
            throw std::runtime_error("simulated unit did not write its report");
    }
    std::map<std::string, std::string> values;
    std::ifstream in(report_);
    for (std::string l; std::getline(in, l);) {
        auto eq = l.find('=');
        if (eq != std::string::npos) values[l.substr(0, eq)] = l.substr(eq + 1);
    }
    return values;
}

std::string SimUnit::Flash() {
    std::ifstream in(flash_, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void SimUnit::PowerCycle() {
    if (pid_ <= 0) throw std::runtime_error("simulated unit is not running");
    if (::kill(pid_, SIGUSR2) != 0) throw SysError("cannot signal the simulated unit");
    if (!AwaitLine("power", 10000)) throw std::runtime_error("simulated unit did not cycle its power");
}

bool SimUnit::WaitForExit(int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    // The unit's stdout closes when it ends; read (and drop) its lines until then.
    while (pid_ > 0 && !eof_) {
        if (AwaitLine("\n", RemainingMs(deadline))) continue;  // never matches: drains lines
        if (Clock::now() >= deadline) break;
    }
    if (pid_ > 0 && eof_) Reap(true);
    return pid_ <= 0;
}

void SimUnit::Stop() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        if (!WaitForExit(5000) && pid_ > 0) {
            ::kill(pid_, SIGKILL);
            Reap(true);
        }
    }
    if (out_ >= 0) {
        ::close(out_);
        out_ = -1;
    }
}

// ---- SimPort ----------------------------------------------------------------------------------

SimPort::SimPort(const std::string& path, int baud) {
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) throw SysError("cannot open " + path);
    try {
        SetSpeed(baud);
    } catch (...) {
        ::close(fd_);
        throw;
    }
}

SimPort::~SimPort() {
    if (fd_ >= 0) ::close(fd_);
}

void SimPort::SetSpeed(int baud) {
    termios t{};
    if (::tcgetattr(fd_, &t) != 0) throw SysError("tcgetattr");
    ::cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS | CSTOPB | PARENB);
    ::cfsetispeed(&t, SpeedConstant(baud));
    ::cfsetospeed(&t, SpeedConstant(baud));
    if (::tcsetattr(fd_, TCSANOW, &t) != 0) throw SysError("tcsetattr");
}

void SimPort::Write(const std::string& bytes) {
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    for (size_t done = 0; done < bytes.size();) {
        ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) throw SysError("write to the unit");
        pollfd p{fd_, POLLOUT, 0};
        if (::poll(&p, 1, RemainingMs(deadline)) == 0) throw std::runtime_error("write to the unit timed out");
    }
}

bool SimPort::Fill(int timeoutMs) {
    pollfd p{fd_, POLLIN, 0};
    int r = ::poll(&p, 1, timeoutMs);
    if (r <= 0) return true;
    char buf[4096];
    ssize_t n = ::read(fd_, buf, sizeof buf);
    if (n > 0) {
        pending_.append(buf, static_cast<size_t>(n));
        return true;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
    return false;  // hang-up or EIO: the unit has gone
}

std::string SimPort::ReadUntil(const std::string& text, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (auto at = pending_.find(text); at != std::string::npos) {
            std::string got = pending_.substr(0, at + text.size());
            pending_.erase(0, at + text.size());
            return got;
        }
        int left = RemainingMs(deadline);
        if (left == 0 || !Fill(left)) return {};
    }
}

std::string SimPort::Read(size_t count, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (pending_.size() < count) {
        int left = RemainingMs(deadline);
        if (left == 0 || !Fill(left)) break;
    }
    std::string got = pending_.substr(0, count);
    pending_.erase(0, got.size());
    return got;
}

std::string SimPort::ReadFor(int ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    for (int left; (left = RemainingMs(deadline)) > 0;)
        if (!Fill(left)) break;
    std::string got;
    got.swap(pending_);
    return got;
}
