#pragma once
// One monotonic clock for every sender and receiver of the load program.
#include <QtGlobal>

quint32 benchNowUs();
// Runs the event loop until cond() holds or timeoutMs pass; returns cond().
template <typename F> bool benchWaitFor(F cond, int timeoutMs);

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

template <typename F> bool benchWaitFor(F cond, int timeoutMs)
{
    QElapsedTimer t;
    t.start();
    QTimer tick; // keeps WaitForMoreEvents from sleeping past the deadline
    tick.start(20);
    while (!cond()) {
        if (t.elapsed() >= timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}
