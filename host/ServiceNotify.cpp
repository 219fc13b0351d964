#include "host/ServiceNotify.h"

#include <systemd/sd-daemon.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>

TServiceNotify::TServiceNotify() {
    const char* socket = std::getenv("NOTIFY_SOCKET");
    active_ = socket && *socket;
    if (!active_) return;
    // sd_watchdog_enabled says no when WATCHDOG_PID names another process: the environment was
    // inherited, and the pings of this one would keep a dead station's watchdog quiet.
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) <= 0 || usec == 0) return;
    watchdog_.setInterval(static_cast<int>(std::clamp<uint64_t>(usec / 2000, 1, INT32_MAX)));
    QObject::connect(&watchdog_, &QTimer::timeout, &watchdog_, [this] { Send("WATCHDOG=1"); });
    watchdog_.start();
}

TServiceNotify::~TServiceNotify() {
    if (ready_) Stopping();
}

void TServiceNotify::Ready(const std::string& status) {
    if (!active_ || ready_) return;
    ready_ = true;
    status_ = status;
    Send("READY=1\nSTATUS=" + status);
}

void TServiceNotify::Status(const std::string& status) {
    if (!active_ || status == status_ || stopping_) return;
    status_ = status;
    Send("STATUS=" + status);
}

void TServiceNotify::Stopping() {
    if (!active_ || stopping_) return;
    stopping_ = true;
    watchdog_.stop();
    Send("STOPPING=1");
}

// The manager gone or its socket full is nothing the station could mend: the run goes on.
void TServiceNotify::Send(const std::string& state) const { sd_notify(0, state.c_str()); }
