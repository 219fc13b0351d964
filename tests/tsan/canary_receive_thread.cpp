// A race on purpose, built only for the ThreadSanitizer stage, which fails unless it is reported.
// As in the window, the port is opened from a Qt timer tick and the receive thread is started
// there; a handler run on that thread and a later tick then write the same plain integer with
// nothing ordering the two. If ThreadSanitizer cannot see this, suppressions (or a missing
// instrumentation) hide the receive thread, and a clean stage would prove nothing.
#include <QCoreApplication>
#include <QTimer>
#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <unistd.h>

#include "serial/Serial4.h"
#include "host/Ports.h"
#include "tests/support/Pty.h"

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    char folder[] = "/tmp/zup-canary-XXXXXX";
    if (!::mkdtemp(folder)) return 2;
    TestPty pty;
    pty.LinkAs(std::string(folder) + "/", 1);

    int unguarded = 0;              // the race
    std::atomic<bool> handled{false};   // relaxed on both sides: orders nothing
    std::unique_ptr<TSerial> serial;
    int ticks = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] {
        if (++ticks == 1) {
            serial = std::make_unique<TSerial>();   // no poster: the handler runs on the receive thread
            serial->NotifyErrors = neNone;
            serial->SetPortRule(ComRule(std::string(folder) + "/"));
            serial->SetLockFolder("");
            serial->SetPort(1);
            serial->OnRxData = [&](TSerial& s) {
                std::string bytes;
                s.ReadString(bytes);
                ++unguarded;
                handled.store(true, std::memory_order_relaxed);
            };
            serial->SetActive(true);
            pty.Write("x");
        } else if (handled.load(std::memory_order_relaxed) || ticks > 200) {
            ++unguarded;
            timer.stop();
            app.quit();
        }
    });
    timer.start(10);
    app.exec();
    serial.reset();
    ::unlink((std::string(folder) + "/COM1").c_str());
    ::rmdir(folder);
    std::printf("canary ran: %d\n", unguarded);
    return 0;
}
