// Tries an open that must refuse a FIFO, without letting a wrong answer hang the suite.
#pragma once

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <future>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

struct TFifoAttempt {
    bool Blocked = false;  // the attempt waited on the FIFO and had to be set free
    std::string Error;     // what it threw, "" when it went through
};

// Makes a FIFO at `fifo` and runs `attempt` on a thread of its own. An attempt still running after
// `limit` is blocked on the FIFO: the test opens the other end and closes it again, which ends any
// open, read or write waiting there (SIGPIPE is ignored so a writer just fails), so the suite goes on.
inline TFifoAttempt AttemptOnFifo(const std::string& fifo, const std::function<void()>& attempt,
                                  std::chrono::milliseconds limit = std::chrono::milliseconds(2000)) {
    std::signal(SIGPIPE, SIG_IGN);
    TFifoAttempt result;
    if (::mkfifo(fifo.c_str(), 0600) != 0) {
        result.Error = "mkfifo failed";
        return result;
    }
    auto done = std::async(std::launch::async, [&] {
        try {
            attempt();
            return std::string();
        } catch (const std::exception& e) {
            return std::string(e.what());
        }
    });
    if (done.wait_for(limit) != std::future_status::ready) {
        result.Blocked = true;
        while (done.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready) {
            const int other = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK);
            char sink[65536];
            while (other >= 0 && ::read(other, sink, sizeof sink) > 0) {
            }
            if (other >= 0) ::close(other);
        }
    }
    result.Error = done.get();
    return result;
}
