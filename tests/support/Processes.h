// Test stand-ins that act on the process: a file size limit, and another process holding a port.
#pragma once

#include <csignal>
#include <functional>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

// Writes to any file past `bytes` fail with EFBIG (rather than raising SIGXFSZ) while this lives.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &saved_);
        oldHandler_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit r = saved_;
        r.rlim_cur = bytes;
        active_ = setrlimit(RLIMIT_FSIZE, &r) == 0;
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, oldHandler_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;
    bool Active() const { return active_; }

private:
    rlimit saved_ {};
    void (*oldHandler_)(int) = SIG_DFL;
    bool active_ = false;
};

// A child process named `name` (as ps shows it) that runs `take` and, when it succeeded, holds
// what it took until this object goes. Pid is -1 when `take` failed.
struct THoldingProcess {
    pid_t Pid = -1;
    int Release = -1;
    THoldingProcess(const char* name, const std::function<bool()>& take) {
        int ready[2], release[2];
        if (::pipe(ready) != 0 || ::pipe(release) != 0) return;
        Pid = ::fork();
        if (Pid == 0) {
            ::close(ready[0]);
            ::close(release[1]);
            ::prctl(PR_SET_NAME, name);
            const char ok = take() ? 'y' : 'n';
            if (::write(ready[1], &ok, 1) != 1) ::_exit(1);
            char c;
            while (::read(release[0], &c, 1) > 0) {}
            ::_exit(0);
        }
        ::close(ready[1]);
        ::close(release[0]);
        Release = release[1];
        char ok = 0;
        if (::read(ready[0], &ok, 1) != 1 || ok != 'y') Pid = -1;
        ::close(ready[0]);
    }
    ~THoldingProcess() {
        ::close(Release);
        if (Pid > 0) ::waitpid(Pid, nullptr, 0);
    }
    THoldingProcess(const THoldingProcess&) = delete;
    THoldingProcess& operator=(const THoldingProcess&) = delete;
};
