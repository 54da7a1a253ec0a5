#include "bench/common/proc_cpu.h"

#include <QByteArray>
#include <QFile>
#include <QList>
#include <sys/resource.h>
#include <unistd.h>

qint64 processCpuUs(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    QByteArray s = f.readAll();
    // The command name may hold blanks; fields are counted after its ')'.
    int close = s.lastIndexOf(')');
    if (close < 0)
        return -1;
    QList<QByteArray> fields = s.mid(close + 2).split(' ');
    // utime and stime are fields 14 and 15 of the line, 12 and 13 here.
    if (fields.size() < 13)
        return -1;
    qint64 ticks = fields.at(11).toLongLong() + fields.at(12).toLongLong();
    long hz = sysconf(_SC_CLK_TCK);
    return ticks * 1000000 / (hz > 0 ? hz : 100);
}

qint64 selfCpuUs()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return qint64(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000000 + u.ru_utime.tv_usec + u.ru_stime.tv_usec;
}
