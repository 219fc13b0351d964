// Waiting on the Qt event loop for a condition, for tests, benchmarks and tools that drive the
// real window.
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <functional>

// Runs the event loop until `done` holds or `ms` pass; true when it held.
inline bool WaitUntil(const std::function<bool()>& done, int ms = 10000) {
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > ms) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}
