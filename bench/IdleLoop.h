// Waiting on the window's event loop as the program runs it, for the benchmarks that time the window.
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <functional>

// Runs the event loop asleep until something happens (the window's tick wakes it at least every
// 50 ms), until `done` holds or `ms` pass; true when it held. A loop that polls without sleeping
// would take a core from the units, the ports and the workers it measures.
inline bool AwaitIdly(const std::function<bool()>& done, int ms) {
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > ms) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    return true;
}
