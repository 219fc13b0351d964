// What a station tells systemd when it runs as a service (Type=notify): ready once its ports are set
// up, its totals as its status, the watchdog's pings from the event loop, and that it is stopping.
// Without NOTIFY_SOCKET it sends nothing and starts no timer: a station started by hand is as it was.
#pragma once

#include <QTimer>
#include <string>

class TServiceNotify {
public:
    // Takes the manager's socket and the watchdog's interval from the environment. The pings start
    // here, at half the interval, on this thread's event loop: a loop that stops turning stops them,
    // and systemd restarts the station.
    TServiceNotify();
    // STOPPING=1, when it was ready and has not said so yet.
    ~TServiceNotify();
    TServiceNotify(const TServiceNotify&) = delete;
    TServiceNotify& operator=(const TServiceNotify&) = delete;

    // READY=1, with the first status; once.
    void Ready(const std::string& status);
    // STATUS=, when it differs from the last one sent.
    void Status(const std::string& status);
    // STOPPING=1; the pings end with it.
    void Stopping();

private:
    void Send(const std::string& state) const;

    bool active_ = false;
    bool ready_ = false;
    bool stopping_ = false;
    std::string status_;
    QTimer watchdog_;
};
