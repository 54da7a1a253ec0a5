// Messages per second over the radio link, control application to control
// application through the server program:
//  - loopback: the server on KISS to a modem stand-in on 127.0.0.1 that sends
//    every frame straight back;
//  - direwolf: one server on KISS into Dire Wolf A, whose audio Dire Wolf B
//    demodulates for a second server on AGWPE, the audio paced to real time;
//    beside it the frames per second the configured baud rate allows for that
//    frame size.

#include "bench/common/bench_clock.h"
#include "bench/common/bench_machine.h"
#include "bench/common/bench_process.h"
#include "bench/common/corvid_load_client.h"
#include "tests/common/direwolf_pair.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <memory>

namespace {

// A KISS modem that sends back every byte it receives.
class EchoModem : public QTcpServer {
public:
    EchoModem()
    {
        listen(QHostAddress::LocalHost, 0);
        connect(this, &QTcpServer::newConnection, this, [this] {
            QTcpSocket *s = nextPendingConnection();
            connect(s, &QTcpSocket::readyRead, s, [s] { s->write(s->readAll()); });
        });
    }
};

#ifndef CORVID_SERVER_EXE
#define CORVID_SERVER_EXE ""
#endif

// A server program with a radio link, and a client identified on it.
struct RadioServer {
    QTemporaryDir dir;
    QProcess proc;
    quint16 port = benchFreePort();
    CorvidLoadClient client{0, false};

    ~RadioServer() { benchStopProcess(proc); }

    bool start(const BenchParams &link, QString *why)
    {
        QFile cfg(dir.filePath(QStringLiteral("server_config.xml")));
        const BenchParams common{{"DisableGUI", "1"}, {"TcpPort", QString::number(port)},
                                 {"ErrorLogFile", "server_logs/error_log"}, {"CorvidLogDisable", "1"}};
        if (!cfg.open(QIODevice::WriteOnly) || cfg.write(benchServerConfig(common + link)) < 0)
            return fail(why, QStringLiteral("cannot write ") + cfg.fileName());
        cfg.close();
        proc.setWorkingDirectory(dir.path());
        benchStart(proc, QStringLiteral(CORVID_SERVER_EXE), QStringList());
        if (!proc.waitForStarted(5000) || !benchWaitForListen(port, proc, 15000))
            return fail(why, QStringLiteral("corvid-server did not start (" CORVID_SERVER_EXE ")"));
        client.open(port);
        if (!benchWaitFor([this] { return client.identified() && client.hwState() == 2; }, 10000))
            return fail(why, QStringLiteral("the radio link did not come up"));
        return true;
    }

    static bool fail(QString *why, const QString &text)
    {
        *why = text;
        return false;
    }
};

QByteArray pattern(int size)
{
    QByteArray b(size, '\0');
    for (int i = 0; i < size; ++i)
        b[i] = char(i * 13 + 5);
    return b;
}

// Sends `count` messages from `from`, at most `window` unanswered, and waits
// until `to` has them all back from the link. Returns the seconds taken or -1.
double pump(RadioServer &from, RadioServer &to, int size, int count, int window, int timeoutMs)
{
    int sent = 0, back = 0;
    bool corrupt = false;
    const QByteArray data = pattern(size);
    to.client.setMessageHandler([&](CorvidLoadClient *, const crs_msg2app_t &m) {
        if (m.header.dir != 0)
            return;
        corrupt |= m.data != data;
        ++back;
    });
    QTimer tick;  // wakes the wait below to check the time
    tick.start(100);
    QElapsedTimer t;
    t.start();
    while (back < count && t.elapsed() < timeoutMs) {
        while (sent < count && sent - back < window) {
            from.client.send(buildMsg2SatFrame(uint32_t(sent), corvid_message_over(0x0123, 1, 0x20, data)));
            ++sent;
        }
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    to.client.setMessageHandler({});
    return back == count && !corrupt ? t.elapsed() / 1000.0 : -1;
}

[[maybe_unused]] void BM_Loopback(benchmark::State &state)
{
    const int size = int(state.range(0));
    EchoModem modem;
    RadioServer srv;
    QString why;
    if (!srv.start({{"Interface", "KISSTCP"}, {"KISSTCP_Port", QString::number(modem.serverPort())}}, &why)) {
        state.SkipWithError(qPrintable(why));
        return;
    }
    const int count = size > 100 ? 5000 : 20000;
    double seconds = -1;
    for (auto _ : state) {
        seconds = pump(srv, srv, size, count, 64, 60000);
        if (seconds < 0) {
            state.SkipWithError("messages lost or corrupted on the way back");
            return;
        }
        state.SetIterationTime(seconds);
    }
    state.counters["msgs_per_s"] = count / seconds;
}

[[maybe_unused]] void BM_DireWolf(benchmark::State &state)
{
    const int size = int(state.range(0));
    DirewolfPair dw;
    dw.realTime = true;
    if (!dw.start()) {
        state.SkipWithError(qPrintable(dw.why()));
        return;
    }
    RadioServer kissSide, agwSide;
    QString why;
    if (!kissSide.start({{"Interface", "KISSTCP"}, {"KISSTCP_Port", QString::number(dw.a.kissPort)}}, &why) ||
        !agwSide.start({{"Interface", "AGWPE"}, {"AGWPE_Port", QString::number(dw.b.agwPort)}}, &why)) {
        state.SkipWithError(qPrintable(why));
        return;
    }
    const int count = size > 100 ? 3 : 20;
    double seconds = -1;
    for (auto _ : state) {
        seconds = pump(kissSide, agwSide, size, count, count, 120000);
        if (seconds < 0) {
            state.SkipWithError("messages lost or corrupted through Dire Wolf");
            return;
        }
        state.SetIterationTime(seconds);
    }
    // On the air: flag, 17 header + 8 message header + data + 2 FCS bytes, with
    // one flag between back-to-back frames; bit stuffing not counted.
    const double bitsPerFrame = 8.0 * (1 + 17 + 8 + size + 2);
    state.counters["msgs_per_s"] = count / seconds;
    state.counters["baud"] = dw.baud;
    state.counters["theory_fps"] = dw.baud / bitsPerFrame;
    // The table rounds small rates; the share of the limit keeps the comparison readable.
    state.counters["pct_of_theory"] = 100.0 * (count / seconds) / (dw.baud / bitsPerFrame);
}

// One program per table shape: every run of a program reports the same counters.
#ifdef CORVID_BENCH_DIREWOLF
BENCHMARK(BM_DireWolf)->Arg(8)->Arg(1024)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
#else
BENCHMARK(BM_Loopback)->Arg(8)->Arg(1024)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
#endif

}  // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
