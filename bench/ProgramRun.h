// The program run as a child of its own, its standard output read whole, so that its status, its
// output and its own CPU time and peak memory can be read.
#pragma once

#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

struct TRun {
    int status = -1;
    std::string out;
    rusage usage{};
};

inline TRun RunProgram(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int fds[2];
    TRun run;
    if (::pipe(fds) != 0) return run;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (spawned != 0) {
        ::close(fds[0]);
        return run;
    }
    char buffer[65536];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) run.out.append(buffer, static_cast<size_t>(n));
    ::close(fds[0]);
    int status = 0;
    ::wait4(pid, &status, 0, &run.usage);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}
