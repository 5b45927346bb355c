// Running a benchmark's Qt event loop for a while, or until something has happened.
#pragma once

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <functional>

namespace lumo::bench {

inline void runFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// Runs the loop until `done` holds or `ms` have passed; whether it holds.
inline bool waitUntil(const std::function<bool()>& done, int ms)
{
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < ms) runFor(10);
    return done();
}

}  // namespace lumo::bench
