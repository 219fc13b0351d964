// SIGINT, SIGTERM and SIGHUP for every job of the process: one object owns the handlers and the
// self-pipe they write to, and tells each job that asked, on the event loop's thread. A closed
// terminal (SIGHUP) stops a job as Ctrl-C does, so no port is left locked and set up.
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <functional>
#include <map>
#include <memory>

class TStopSignals {
public:
    // Installs the handlers. One owner per process: a second one while the first exists throws
    // std::logic_error, as does a process that cannot make the pipe (std::system_error).
    TStopSignals();
    // Gives the signals their default back.
    ~TStopSignals();
    TStopSignals(const TStopSignals&) = delete;
    TStopSignals& operator=(const TStopSignals&) = delete;

    // `stop` is called with the signal's number; the returned id ends the subscription.
    int Subscribe(std::function<void(int signal)> stop);
    void Unsubscribe(int id);
    // The first signal received, 0 before any.
    int Received() const { return received_; }
    bool Installed() const { return notifier_ != nullptr; }

private:
    void Drain();

    QObject context_;
    std::unique_ptr<QSocketNotifier> notifier_;
    int readFd_ = -1;
    int writeFd_ = -1;
    int nextId_ = 1;
    int received_ = 0;
    std::map<int, std::function<void(int)>> stops_;
};

// The exit status of a command stopped by `signal`: 129 for SIGHUP, 130 otherwise.
int StopStatus(int signal);
