#include "bench/common/bench_process.h"

#include "bench/common/bench_clock.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

quint16 benchFreePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

QByteArray benchServerConfig(const BenchParams &params)
{
    QByteArray x = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Config>\n <ConfigVer>2</ConfigVer>\n"
                   " <ConfigDate>2026-01-01_00-00-00</ConfigDate>\n";
    for (const auto &p : params)
        x += " <Parameter><ParmName>" + p.first.toUtf8() + "</ParmName><ParmDesc></ParmDesc><ParmValue>" +
             p.second.toUtf8() + "</ParmValue></Parameter>\n";
    x += "</Config>\n";
    return x;
}

bool benchWaitForListen(quint16 port, QProcess &proc, int timeoutMs)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < timeoutMs) {
        if (proc.state() == QProcess::NotRunning)
            return false;
        QTcpSocket s;
        s.connectToHost(QHostAddress::LocalHost, port);
        if (s.waitForConnected(200)) {
            s.abort();
            return true;
        }
        benchWaitFor([] { return false; }, 100);
    }
    return false;
}

void benchStopProcess(QProcess &p)
{
    if (p.state() == QProcess::NotRunning)
        return;
    p.terminate();
    if (!p.waitForFinished(3000)) {
        p.kill();
        p.waitForFinished(3000);
    }
}

bool benchQuick()
{
    return qEnvironmentVariableIntValue("CORVID_BENCH_QUICK") > 0;
}
