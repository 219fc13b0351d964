// The simulated MXR-2 as a child process, for the benchmark and the screenshot tool: started with
// the switches given, linked as COM<n> in a folder, stopped when this object goes.
#pragma once

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

class SimProcess {
public:
    // Starts `program` with `args` and waits until it reports its port linked ("ready <path>").
    SimProcess(const std::string& program, std::vector<std::string> args) {
        args.insert(args.begin(), program);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        const int rc = ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        out_ = fds[0];
        if (rc != 0) {
            pid_ = -1;
            throw std::runtime_error("cannot start " + program + ": " + std::strerror(rc));
        }
        if (!AwaitReady(10000)) {
            Stop();
            throw std::runtime_error("the simulated unit did not come up");
        }
    }
    ~SimProcess() { Stop(); }
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    const std::string& LinkPath() const { return link_; }

    void Stop() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            int status = 0;
            while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {}
            pid_ = -1;
        }
        if (out_ >= 0) {
            ::close(out_);
            out_ = -1;
        }
    }

private:
    bool AwaitReady(int timeoutMs) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        std::string text;
        for (;;) {
            const size_t eol = text.find('\n');
            if (eol != std::string::npos) {
                const std::string line = text.substr(0, eol);
                text.erase(0, eol + 1);
                if (line.rfind("ready ", 0) == 0) {
                    link_ = line.substr(6);
                    return true;
                }
                continue;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now()).count();
            if (left <= 0) return false;
            pollfd p{out_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left)) < 0 && errno != EINTR) return false;
            char buf[256];
            const ssize_t n = ::read(out_, buf, sizeof buf);
            if (n == 0) return false;  // the unit ended
            if (n > 0) text.append(buf, static_cast<size_t>(n));
        }
    }

    pid_t pid_ = -1;
    int out_ = -1;
    std::string link_;
};
