// Runs a piece of a test as another user: root may open and write anything, so every refusal a
// technician meets is played in a child process that has dropped to that user.
#pragma once

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

// The user nobody/nogroup has on every system.
constexpr uid_t kNobody = 65534;

// `fn` in a child as `uid`/`gid` with exactly `groups` besides; what it returns comes back as the
// result, or "child failed: ..." when it could not run.
inline std::string RunAsUser(uid_t uid, gid_t gid, const std::function<std::string()>& fn,
                             const std::vector<gid_t>& groups = {}) {
    int fds[2];
    if (::pipe(fds) != 0) return "child failed: pipe";
    const pid_t child = ::fork();
    if (child < 0) return "child failed: fork";
    if (child == 0) {
        ::close(fds[0]);
        if (::setgroups(groups.size(), groups.data()) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0) ::_exit(10);
        const std::string answer = fn();
        const bool whole = ::write(fds[1], answer.data(), answer.size()) == static_cast<ssize_t>(answer.size());
        ::_exit(whole ? 0 : 11);
    }
    ::close(fds[1]);
    std::string answer;
    char buf[1024];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) answer.append(buf, static_cast<size_t>(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "child failed: status " + std::to_string(status);
    return answer;
}
