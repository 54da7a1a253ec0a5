#include "bench/common/bench_clock.h"

#include <QElapsedTimer>

quint32 benchNowUs()
{
    static QElapsedTimer epoch = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    return quint32(epoch.nsecsElapsed() / 1000);
}
