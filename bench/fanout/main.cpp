// Load program: fan-out of injected messages through the server and through a
// mosquitto broker, and the round trip through the virtual CAN bus to the
// device simulator. Every run has a fixed message count and a time limit and
// talks to 127.0.0.1 only. Prints one table on stdout, progress on stderr,
// headed by the machine it ran on and where its processes ran.

#include "bench/common/bench_clock.h"
#include "bench/common/bench_machine.h"
#include "bench/common/bench_process.h"
#include "bench/common/proc_cpu.h"
#include "bench/fanout/corvid_echo.h"
#include "bench/fanout/corvid_fanout.h"
#include "bench/fanout/load_tracker.h"
#include "bench/fanout/mqtt_fanout.h"
#include "tests/common/test_certs.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>

#ifndef CORVID_SERVER_EXE
#define CORVID_SERVER_EXE ""
#endif
#ifndef CORVID_DEVSIM_EXE
#define CORVID_DEVSIM_EXE ""
#endif
#ifndef CORVID_VBUS_EXE
#define CORVID_VBUS_EXE ""
#endif
#ifndef CORVID_FANOUT_CEILING_EXE
#define CORVID_FANOUT_CEILING_EXE ""
#endif

namespace {

QTextStream &err()
{
    static QTextStream s(stderr);
    return s;
}

struct Row
{
    QString what;
    int receivers = 0;
    int bytes = 0;
    quint32 messages = 0;
    double deliveriesPerSec = 0;
    double messagesPerSec = 0;
    double offered = 0; // messages/s on a fixed schedule; 0 = as fast as the window allows
    quint32 p50 = 0;
    quint32 p99 = 0;
    quint32 p999 = 0;
    quint64 lost = 0;
    quint64 dup = 0;
    quint64 corrupt = 0;
    double peerCpu = -1; // % of one core, server or broker
    double selfCpu = -1; // % of one core, this program
    bool timedOut = false;
    QString ratio;
    QString ceiling;
    QString note;
    bool saturated = false; // fixed rate: delivered less than was offered
};

// A process at this share of one core or more sets the pace of its row.
constexpr double kBusyCpu = 90;

// What limits a row: the load program (the client), a peer at a full core,
// a fixed-rate peer that falls behind, else the window of messages in flight
// (full load) or nothing (a fixed rate that is kept).
QString limitOf(const Row &r)
{
    if (r.saturated)
        return QStringLiteral("saturated");
    // The fan-out's peer (the server too behind its TLS port), or the server on the bus round trip.
    const QString peer = r.what.startsWith(QLatin1String("fan-out ")) ? r.what.section(QLatin1Char(' '), 1, 1)
                                                                      : QStringLiteral("server");
    const bool peerBusy = r.peerCpu >= kBusyCpu, clientBusy = r.selfCpu >= kBusyCpu;
    if (clientBusy)
        return peerBusy ? peer + QStringLiteral("+client") : QStringLiteral("client");
    if (r.offered > 0)
        return QStringLiteral("-");
    return peerBusy ? peer : QStringLiteral("window");
}

struct Limits
{
    int caseTimeoutMs = 30000;
    int stallMs = 3000;
};

// Runs one load case: start() begins sending, the tracker says when all is in.
Row runCase(const QString &what, LoadTracker &t, int receivers, qint64 peerPid, const Limits &lim,
            const std::function<void()> &start, const std::function<void()> &stop, const std::function<QString()> &error)
{
    Row r;
    r.what = what;
    r.receivers = receivers;
    r.bytes = t.payloadSize();
    qint64 peer0 = processCpuUs(peerPid), self0 = selfCpuUs();
    quint32 t0 = benchNowUs();
    start();
    QElapsedTimer wall;
    wall.start();
    quint64 progress = 0;
    QElapsedTimer sinceProgress;
    sinceProgress.start();
    bool finished = benchWaitFor(
        [&] {
            if (t.done() || !error().isEmpty())
                return true;
            quint64 p = t.delivered() + t.complete();
            if (p != progress) {
                progress = p;
                sinceProgress.restart();
            }
            return sinceProgress.elapsed() > lim.stallMs || wall.elapsed() > lim.caseTimeoutMs;
        },
        lim.caseTimeoutMs + lim.stallMs + 1000);
    stop();
    quint32 t1 = t.delivered() ? t.lastDeliveryUs() : benchNowUs();
    double secs = std::max(1e-6, double(t1 - t0) / 1e6);
    qint64 peer1 = processCpuUs(peerPid), self1 = selfCpuUs();
    r.messages = t.sent();
    r.deliveriesPerSec = double(t.delivered()) / secs;
    r.messagesPerSec = double(t.complete()) / secs;
    r.p50 = percentileUs(t.latencies(), 50);
    r.p99 = percentileUs(t.latencies(), 99);
    r.p999 = percentileUs(t.latencies(), 99.9);
    r.offered = t.rate();
    r.lost = t.lost();
    r.dup = t.duplicates();
    r.corrupt = t.corrupt();
    if (peer0 >= 0 && peer1 >= 0)
        r.peerCpu = 100.0 * double(peer1 - peer0) / (secs * 1e6);
    r.selfCpu = 100.0 * double(self1 - self0) / (secs * 1e6);
    r.timedOut = !finished || !t.done();
    if (!error().isEmpty())
        r.note = error();
    else if (r.timedOut)
        r.note = QStringLiteral("stopped: %1 of %2 messages complete").arg(t.complete()).arg(t.sent());
    err() << "  " << what << " N=" << receivers << " bytes=" << r.bytes << ": " << qint64(r.deliveriesPerSec)
          << " deliveries/s, p50 " << r.p50 << " us, p99 " << r.p99 << " us" << (r.timedOut ? " (incomplete)" : "")
          << Qt::endl;
    return r;
}

// Deliveries per second the load program takes from all peers at once.
constexpr double kTogetherLimit = 1.2e6;

struct Peer
{
    QString what;
    qint64 pid = 0;
    std::function<void(LoadTracker *)> start;
    std::function<void()> stop;
    std::function<QString()> error;
};

// Fixed rate: every peer is offered the same messages on the same schedule at
// the same time, so whatever else the machine does falls on all of them alike.
// Each row pools the latencies of all runs and shows the slowest run's rate.
QList<Row> runTogether(const QList<Peer> &peers, int n, quint32 count, double rate, int repeats, const Limits &lim)
{
    const int k = peers.size();
    QList<Row> rows;
    std::vector<std::vector<quint32>> pooled(static_cast<size_t>(k));
    for (const Peer &p : peers) {
        Row r;
        r.what = p.what;
        r.receivers = n;
        r.bytes = 8;
        r.offered = rate;
        r.messages = count;
        r.messagesPerSec = -1;
        rows << r;
    }
    for (int run = -1; run < repeats; ++run) {  // run -1 warms up
        const quint32 c = run < 0 ? std::min<quint32>(200, count) : count;
        std::vector<std::unique_ptr<LoadTracker>> ts;
        std::vector<qint64> cpu0;
        for (const Peer &p : peers) {
            ts.emplace_back(new LoadTracker(n, c, int(c), 8, benchNowUs()));
            ts.back()->setRate(rate);
            cpu0.push_back(processCpuUs(p.pid));
        }
        const qint64 self0 = selfCpuUs();
        const quint32 t0 = benchNowUs();
        int turn = 0;
        auto kick = [&] {
            // Whose send goes first turns round, tick by tick.
            for (int i = 0; i < k; ++i) {
                const int j = (turn + i) % k;
                peers[j].start(ts[size_t(j)].get());
            }
            ++turn;
        };
        QTimer pace;
        pace.setTimerType(Qt::PreciseTimer);
        QObject::connect(&pace, &QTimer::timeout, kick);
        kick();
        pace.start(1);
        QElapsedTimer wall, sinceProgress;
        wall.start();
        sinceProgress.start();
        quint64 progress = 0;
        auto allDone = [&] {
            for (int i = 0; i < k; ++i)
                if (!ts[size_t(i)]->done() && peers[i].error().isEmpty())
                    return false;
            return true;
        };
        benchWaitFor(
            [&] {
                if (allDone())
                    return true;
                quint64 p = 0;
                for (const auto &t : ts)
                    p += t->delivered() + t->complete();
                if (p != progress) {
                    progress = p;
                    sinceProgress.restart();
                }
                return sinceProgress.elapsed() > lim.stallMs || wall.elapsed() > lim.caseTimeoutMs;
            },
            lim.caseTimeoutMs + lim.stallMs + 1000);
        pace.stop();
        for (const Peer &p : peers)
            p.stop();
        if (run < 0)
            continue;
        const double selfSecs = std::max(1e-6, double(benchNowUs() - t0) / 1e6);
        const qint64 self1 = selfCpuUs();
        for (int i = 0; i < k; ++i) {
            LoadTracker &t = *ts[size_t(i)];
            Row &r = rows[i];
            const quint32 t1 = t.delivered() ? t.lastDeliveryUs() : benchNowUs();
            const double secs = std::max(1e-6, double(t1 - t0) / 1e6);
            const double rateNow = double(t.complete()) / secs;
            if (r.messagesPerSec < 0 || rateNow < r.messagesPerSec)
                r.messagesPerSec = rateNow;
            r.deliveriesPerSec = double(t.delivered()) / secs;
            pooled[size_t(i)].insert(pooled[size_t(i)].end(), t.latencies().begin(), t.latencies().end());
            r.lost += t.lost();
            r.dup += t.duplicates();
            r.corrupt += t.corrupt();
            const qint64 cpu1 = processCpuUs(peers[i].pid);
            if (cpu0[size_t(i)] >= 0 && cpu1 >= 0)
                r.peerCpu = 100.0 * double(cpu1 - cpu0[size_t(i)]) / (selfSecs * 1e6);
            r.selfCpu = 100.0 * double(self1 - self0) / (selfSecs * 1e6);
            if (!t.done()) {
                r.timedOut = true;
                r.note = peers[i].error().isEmpty()
                             ? QStringLiteral("stopped: %1 of %2 messages complete").arg(t.complete()).arg(t.sent())
                             : peers[i].error();
            }
        }
    }
    for (int i = 0; i < k; ++i) {
        Row &r = rows[i];
        r.p50 = percentileUs(pooled[size_t(i)], 50);
        r.p99 = percentileUs(pooled[size_t(i)], 99);
        r.p999 = percentileUs(pooled[size_t(i)], 99.9);
        err() << "  " << r.what << " N=" << n << " rate=" << qint64(rate) << ": p50 " << r.p50 << " us, p99 "
              << r.p99 << " us, p99.9 " << r.p999 << " us" << (r.timedOut ? " (incomplete)" : "") << Qt::endl;
    }
    return rows;
}

QString fmtCpu(double v) { return v < 0 ? QStringLiteral("-") : QString::number(v, 'f', 0); }

void printTable(const QList<Row> &rows, int window, int e2eWindow, int repeats, const QString &machine)
{
    QTextStream out(stdout);
    out << "\n" << machine << '\n' << benchPlacementLine() << '\n';
    out << "Corvid server load: fan-out of injected messages (server vs. mosquitto 127.0.0.1, QoS 0, vs. a\n"
           "minimal epoll/writev fan-out without Qt as the ceiling) and round trip through the virtual CAN bus\n"
           "to corvid-devsim.\n"
           "deliv/s = messages x receivers delivered per second; msg/s = messages that reached every receiver per second.\n"
           "Latency: send to receipt (fan-out) or send to echo (round trip), monotonic clock, one process.\n"
        << "Full load: sender window " << window << " messages not yet received by all (fan-out), " << e2eWindow
        << " round trips (bus); each row the best of " << repeats
        << " runs after a warm-up.\n"
           "Fixed rate: server, mosquitto and ceiling offered the same messages at the same time on one schedule\n"
           "(1 ms timer) whatever the replies, so that the machine's noise falls on all alike; latencies of all "
        << repeats << " runs pooled.\nlost = messages missing or doubled over all runs. "
           "cpu%: share of one core used by the server, broker or ceiling / by this load program.\n"
           "limit = what sets the row's pace: client = this load program at "
        << kBusyCpu
        << " % of a core or more (the figure is then the\n"
           "client's, not the peer's); server, mosquitto, ceiling = that peer at as much (mosquitto+client: both);\n"
           "window = neither (the messages in flight and their round trip); saturated = a fixed rate the peer did not\n"
           "keep, not everything in within 10 % (at least 50 ms) of the schedule's end (msg/s is what it delivered;\n"
           "its latencies would only measure its backlog and are not shown).\n\n";
    auto line = [&](const QList<int> &w, const QStringList &c) {
        QString s;
        for (int i = 0; i < c.size(); ++i) {
            int width = i < w.size() ? w[i] : 0;
            s += (width < 0 ? c[i].leftJustified(-width) : c[i].rightJustified(width)) + QLatin1Char(' ');
        }
        out << s.trimmed() << '\n';
    };
    const QList<int> w1 = {-18, 4, 6, 8, 12, 10, 8, 8, 6, 10, 6, 6, -16};
    line(w1, {QStringLiteral("case"), QStringLiteral("N"), QStringLiteral("bytes"), QStringLiteral("messages"),
              QStringLiteral("deliv/s"), QStringLiteral("msg/s"), QStringLiteral("p50 us"), QStringLiteral("p99 us"),
              QStringLiteral("lost"), QStringLiteral("cpu% s/l"), QStringLiteral("ratio"), QStringLiteral("ceil%"),
              QStringLiteral("limit")});
    for (const Row &r : rows) {
        if (r.offered > 0)
            continue;
        line(w1, {r.what, QString::number(r.receivers), QString::number(r.bytes), QString::number(r.messages),
                  QString::number(qint64(r.deliveriesPerSec)), QString::number(qint64(r.messagesPerSec)),
                  QString::number(r.p50), QString::number(r.p99), QString::number(r.lost + r.dup),
                  fmtCpu(r.peerCpu) + QLatin1Char('/') + fmtCpu(r.selfCpu), r.ratio, r.ceiling, limitOf(r)});
    }
    out << "ratio = server deliv/s / mosquitto deliv/s (TLS rows: msg/s over the TLS port / msg/s over the plain "
           "port); ceil% = server msg/s as a share of the ceiling's, same N and size, same run.\n\n";
    const QList<int> w2 = {-18, 4, 6, 8, 8, 8, 8, 8, 6, 10, 6, -16};
    line(w2, {QStringLiteral("fixed rate"), QStringLiteral("N"), QStringLiteral("bytes"), QStringLiteral("offered"),
              QStringLiteral("msg/s"), QStringLiteral("p50 us"), QStringLiteral("p99 us"), QStringLiteral("p99.9 us"),
              QStringLiteral("lost"), QStringLiteral("cpu% s/l"), QStringLiteral("p99/mq"), QStringLiteral("limit")});
    for (const Row &r : rows) {
        if (r.offered <= 0)
            continue;
        auto latency = [&r](quint32 us) { return r.saturated ? QStringLiteral("-") : QString::number(us); };
        line(w2, {r.what, QString::number(r.receivers), QString::number(r.bytes), QString::number(qint64(r.offered)),
                  QString::number(qint64(r.messagesPerSec)), latency(r.p50), latency(r.p99), latency(r.p999),
                  QString::number(r.lost + r.dup), fmtCpu(r.peerCpu) + QLatin1Char('/') + fmtCpu(r.selfCpu), r.ratio,
                  limitOf(r)});
    }
    out << "p99/mq = this row's p99 / mosquitto's p99 at the same N and rate, same run; none where either is "
           "saturated.\n";
    bool notes = false;
    for (const Row &r : rows) {
        if (r.note.isEmpty() && !r.dup && !r.corrupt)
            continue;
        if (!notes)
            out << "\nnotes:\n";
        notes = true;
        out << "  " << r.what << " N=" << r.receivers << " bytes=" << r.bytes;
        if (r.offered > 0)
            out << " rate=" << qint64(r.offered);
        out << ": " << r.note;
        if (r.dup || r.corrupt)
            out << " duplicates " << r.dup << ", corrupt " << r.corrupt;
        out << '\n';
    }
    out.flush();
}

QByteArray serverConfig(quint16 port, quint16 tlsPort, const TestCerts &certs)
{
    BenchParams params = {
        {QStringLiteral("TcpPort"), QString::number(port)},
        {QStringLiteral("MaxTCPClients"), QStringLiteral("250")},
        {QStringLiteral("DisableGUI"), QStringLiteral("1")},
        {QStringLiteral("Interface"), QStringLiteral("virtualcan")},
        {QStringLiteral("SocketCANPortName"), QStringLiteral("can0")},
        {QStringLiteral("RestrictFakeSatTelemetry"), QStringLiteral("0")},
        {QStringLiteral("ErrorLogFile"), QStringLiteral("server_logs/error_log")},
        {QStringLiteral("CorvidLogFile"), QStringLiteral("server_logs/corvid_log")},
        {QStringLiteral("CorvidLogDisable"), QStringLiteral("0")},
        {QStringLiteral("NumLogThreads"), QStringLiteral("0")},
        {QStringLiteral("CC_Address"), QStringLiteral("0x1")},
    };
    if (tlsPort)
        params << BenchParams{{QStringLiteral("TlsPort"), QString::number(tlsPort)},
                              {QStringLiteral("TlsCertFile"), certs.path(QStringLiteral("server.pem"))},
                              {QStringLiteral("TlsKeyFile"), certs.path(QStringLiteral("server.key"))}};
    return benchServerConfig(params);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser cl;
    cl.setApplicationDescription(QStringLiteral("Corvid server fan-out and bus round-trip load program"));
    cl.addHelpOption();
    QCommandLineOption serverOpt(QStringLiteral("server"), QStringLiteral("corvid-server executable"),
                                 QStringLiteral("path"), QString::fromUtf8(CORVID_SERVER_EXE));
    QCommandLineOption devsimOpt(QStringLiteral("devsim"), QStringLiteral("corvid-devsim executable"),
                                 QStringLiteral("path"), QString::fromUtf8(CORVID_DEVSIM_EXE));
    QCommandLineOption mosqOpt(QStringLiteral("mosquitto"), QStringLiteral("mosquitto broker executable"),
                               QStringLiteral("path"), QStringLiteral("/usr/sbin/mosquitto"));
    QCommandLineOption windowOpt(QStringLiteral("window"), QStringLiteral("fan-out messages in flight"),
                                 QStringLiteral("n"), QStringLiteral("32"));
    QCommandLineOption e2eWindowOpt(QStringLiteral("bus-window"), QStringLiteral("round trips in flight"),
                                    QStringLiteral("n"), QStringLiteral("4"));
    QCommandLineOption scaleOpt(QStringLiteral("scale"), QStringLiteral("multiplies every message count"),
                                QStringLiteral("f"), benchQuick() ? QStringLiteral("0.1") : QStringLiteral("1"));
    QCommandLineOption timeoutOpt(QStringLiteral("case-timeout"), QStringLiteral("seconds per case"),
                                  QStringLiteral("s"), QStringLiteral("30"));
    QCommandLineOption repeatOpt(QStringLiteral("repeat"), QStringLiteral("runs per case, best one shown"),
                                 QStringLiteral("n"), benchQuick() ? QStringLiteral("1") : QStringLiteral("3"));
    QCommandLineOption receiversOpt(QStringLiteral("receivers"), QStringLiteral("comma-separated N values"),
                                    QStringLiteral("list"), QStringLiteral("1,10,100"));
    QCommandLineOption noBusOpt(QStringLiteral("no-bus"), QStringLiteral("skip the virtual CAN round trip"));
    QCommandLineOption noMqttOpt(QStringLiteral("no-mosquitto"), QStringLiteral("skip the broker comparison"));
    QCommandLineOption noServerOpt(QStringLiteral("no-server"), QStringLiteral("broker only (checks the harness)"));
    QCommandLineOption ceilingOpt(QStringLiteral("ceiling"), QStringLiteral("minimal epoll/writev fan-out executable"),
                                  QStringLiteral("path"), QString::fromUtf8(CORVID_FANOUT_CEILING_EXE));
    QCommandLineOption ratesOpt(QStringLiteral("rates"), QStringLiteral("comma-separated fixed offered rates, messages/s"),
                                QStringLiteral("list"), QStringLiteral("1000,10000"));
    QCommandLineOption secondsOpt(QStringLiteral("rate-seconds"), QStringLiteral("seconds per fixed-rate run"),
                                  QStringLiteral("s"), QStringLiteral("2"));
    QCommandLineOption noFullOpt(QStringLiteral("no-full-load"), QStringLiteral("fixed-rate rows only"));
    QCommandLineOption noTlsOpt(QStringLiteral("no-tls"), QStringLiteral("skip the fan-out over the TLS port"));
    cl.addOptions({serverOpt, devsimOpt, mosqOpt, windowOpt, e2eWindowOpt, scaleOpt, timeoutOpt, repeatOpt, receiversOpt,
                   noBusOpt, noMqttOpt, noServerOpt, ceilingOpt, ratesOpt, secondsOpt, noFullOpt, noTlsOpt});
    // The common bench runner may pass benchmark-library flags; they mean nothing here.
    QStringList args;
    for (const QString &a : app.arguments())
        if (!a.startsWith(QLatin1String("--benchmark")))
            args << a;
    cl.process(args);
    benchPinSelf();
    // Measured before any process of the run starts, on a machine still quiet.
    const QString machine = benchMachineLine();

    const int window = std::max(1, cl.value(windowOpt).toInt());
    const int e2eWindow = std::max(1, cl.value(e2eWindowOpt).toInt());
    const int repeats = std::max(1, cl.value(repeatOpt).toInt());
    const double scale = std::max(0.001, cl.value(scaleOpt).toDouble());
    Limits lim;
    lim.caseTimeoutMs = std::max(1, cl.value(timeoutOpt).toInt()) * 1000;
    QList<int> receiverCounts;
    for (const QString &s : cl.value(receiversOpt).split(QLatin1Char(','), Qt::SkipEmptyParts))
        if (s.toInt() > 0)
            receiverCounts << s.toInt();
    std::sort(receiverCounts.begin(), receiverCounts.end());
    QList<double> rates;
    for (const QString &s : cl.value(ratesOpt).split(QLatin1Char(','), Qt::SkipEmptyParts))
        if (s.toDouble() > 0)
            rates << s.toDouble();
    const double rateSeconds = std::max(0.2, cl.value(secondsOpt).toDouble());
    const bool fullLoad = !cl.isSet(noFullOpt);
    const QList<int> sizes = {8, 1024};
    // Fixed counts: about the same number of deliveries per case.
    auto messagesFor = [&](int n, int bytes) {
        double deliveries = bytes <= 64 ? 400000 : 200000;
        return quint32(std::max(500.0, deliveries * scale / n));
    };

    const bool withServer = !cl.isSet(noServerOpt);
    const QString serverExe = cl.value(serverOpt);
    if (withServer && (serverExe.isEmpty() || !QFileInfo(serverExe).isExecutable())) {
        err() << "bench_fanout: corvid-server executable not found ('" << serverExe << "'); use --server" << Qt::endl;
        return 2;
    }

    QTemporaryDir work;
    if (!work.isValid()) {
        err() << "bench_fanout: no temporary directory" << Qt::endl;
        return 2;
    }
    int failures = 0;
    QList<Row> rows;

    // The virtual CAN bus of the round trip, hosted before the server joins it.
    QProcess vbus;
    const bool withBus = withServer && !cl.isSet(noBusOpt);
    if (withBus) {
        vbus.setProcessChannelMode(QProcess::MergedChannels);
        benchStart(vbus, QString::fromUtf8(CORVID_VBUS_EXE), QStringList(), BenchRole::Load);
        QByteArray said;
        if (!benchWaitFor([&] { return vbus.state() == QProcess::NotRunning || (said += vbus.readAll()).contains("hosting"); },
                          10000) ||
            !said.contains("hosting")) {
            err() << "bench_fanout: corvid-vbus did not host the bus: " << said << Qt::endl;
            benchStopProcess(vbus);
            return 2;
        }
    }

    // The server under test, headless, in its own working directory, with a
    // TLS port when openssl can make it a certificate.
    const quint16 srvPort = benchFreePort();
    TestCerts certs;
    quint16 tlsPort = 0;
    if (withServer && !cl.isSet(noTlsOpt)) {
        if (certs.make())
            tlsPort = benchFreePort();
        else
            err() << "bench_fanout: no TLS rows: " << certs.error << Qt::endl;
    }
    QDir(work.path()).mkpath(QStringLiteral("server"));
    const QString srvDir = work.filePath(QStringLiteral("server"));
    {
        QFile cfg(srvDir + QStringLiteral("/server_config.xml"));
        if (!cfg.open(QIODevice::WriteOnly) || cfg.write(serverConfig(srvPort, tlsPort, certs)) < 0) {
            err() << "bench_fanout: cannot write the server configuration" << Qt::endl;
            return 2;
        }
    }
    QProcess server;
    if (withServer) {
    server.setWorkingDirectory(srvDir);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    server.setProcessEnvironment(env);
    server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    server.setStandardOutputFile(srvDir + QStringLiteral("/stdout.txt"));
    benchStart(server, serverExe, QStringList());
    if (!server.waitForStarted(5000) || !benchWaitForListen(srvPort, server, 15000)) {
        err() << "bench_fanout: corvid-server did not start listening on 127.0.0.1:" << srvPort << Qt::endl;
        benchStopProcess(server);
        return 2;
    }
    err() << "bench_fanout: corvid-server pid " << server.processId() << " on port " << srvPort << Qt::endl;
    }

    // The broker, bound to loopback only.
    QProcess broker;
    quint16 mqttPort = 0;
    std::unique_ptr<MqttFanout> mqtt;
    const bool withMqtt = !cl.isSet(noMqttOpt);
    if (withMqtt) {
        mqttPort = benchFreePort();
        QFile conf(work.filePath(QStringLiteral("mosquitto.conf")));
        conf.open(QIODevice::WriteOnly);
        // Started as root (also inside a user namespace) the broker would switch
        // to its own account; stay who we are.
        const passwd *pw = getpwuid(getuid());
        conf.write(QStringLiteral("listener %1 127.0.0.1\nallow_anonymous true\npersistence false\n"
                                  "set_tcp_nodelay true\nlog_dest stderr\nlog_type error\nuser %2\n")
                       .arg(mqttPort)
                       .arg(QString::fromLocal8Bit(pw ? pw->pw_name : "root"))
                       .toUtf8());
        conf.close();
        broker.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        benchStart(broker, cl.value(mosqOpt), {QStringLiteral("-c"), conf.fileName()});
        if (!broker.waitForStarted(5000) || !benchWaitForListen(mqttPort, broker, 10000)) {
            err() << "bench_fanout: mosquitto did not start on 127.0.0.1:" << mqttPort << Qt::endl;
            ++failures;
        } else {
            mqtt = std::make_unique<MqttFanout>(mqttPort);
            if (!mqtt->connectPublisher(10000)) {
                err() << "bench_fanout: mosquitto publisher: " << mqtt->lastError() << Qt::endl;
                mqtt.reset();
                ++failures;
            }
        }
    }

    // Warm-up, then the best of `repeats` runs (the machine is shared, so the
    // best run is the one least disturbed); losses of every run are kept.
    auto measure = [&](const QString &what, int n, int bytes, quint32 count, int win, qint64 pid,
                       const std::function<void(LoadTracker *)> &start, const std::function<void()> &stop,
                       const std::function<QString()> &error) {
        {
            LoadTracker warm(n, std::min<quint32>(200, count), win, bytes, benchNowUs());
            runCase(QStringLiteral("warm-up"), warm, n, pid, lim, [&] { start(&warm); }, stop, error);
        }
        Row best;
        quint64 lost = 0, dup = 0, corrupt = 0;
        bool timedOut = false;
        QString note;
        for (int i = 0; i < repeats; ++i) {
            LoadTracker t(n, count, win, bytes, benchNowUs());
            Row r = runCase(what, t, n, pid, lim, [&] { start(&t); }, stop, error);
            lost += r.lost;
            dup += r.dup;
            corrupt += r.corrupt;
            timedOut = timedOut || r.timedOut;
            if (!r.note.isEmpty())
                note = r.note;
            if (i == 0 || r.deliveriesPerSec > best.deliveriesPerSec)
                best = r;
            if (!error().isEmpty())
                break;
        }
        best.lost = lost;
        best.dup = dup;
        best.corrupt = corrupt;
        best.timedOut = timedOut;
        best.note = note;
        return best;
    };

    // The ceiling: the least any fan-out costs here, for the same load client.
    QProcess ceiling;
    const quint16 ceilPort = benchFreePort();
    const QString ceilingExe = cl.value(ceilingOpt);
    bool withCeiling = false;
    if (!ceilingExe.isEmpty()) {
        ceiling.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        benchStart(ceiling, ceilingExe, {QString::number(ceilPort)});
        withCeiling = ceiling.waitForStarted(5000) && benchWaitForListen(ceilPort, ceiling, 10000);
        if (!withCeiling) {
            err() << "bench_fanout: the ceiling fan-out did not start ('" << ceilingExe << "')" << Qt::endl;
            ++failures;
        }
    }

    // Fan-out: server, broker and ceiling side by side at each N, at full load
    // and at fixed offered rates.
    {
        CorvidFanout fan(srvPort), top(ceilPort);
        if (withServer && !fan.connectInjector(15000)) {
            err() << "bench_fanout: injector: " << fan.lastError() << Qt::endl;
            ++failures;
        } else if (withCeiling && !top.connectInjector(15000)) {
            err() << "bench_fanout: ceiling injector: " << top.lastError() << Qt::endl;
            ++failures;
        } else {
            for (int n : receiverCounts) {
                bool srvOk = withServer && fan.growReceivers(n, 30000);
                bool mqOk = mqtt && mqtt->growSubscribers(n, 30000);
                bool topOk = withCeiling && top.growReceivers(n, 30000);
                if (withServer && !srvOk)
                    err() << "bench_fanout: server receivers: " << fan.lastError() << Qt::endl;
                if (mqtt && !mqOk)
                    err() << "bench_fanout: mosquitto subscribers: " << mqtt->lastError() << Qt::endl;
                if (withCeiling && !topOk)
                    err() << "bench_fanout: ceiling receivers: " << top.lastError() << Qt::endl;
                // Full load: one row each for server, broker and ceiling, ratios within the same run.
                auto trio = [&](int bytes, quint32 count) {
                    Row srvRow, mqRow, topRow;
                    if (srvOk)
                        srvRow = measure(QStringLiteral("fan-out server"), n, bytes, count, window,
                                         server.processId(), [&](LoadTracker *t) { fan.startRun(t); },
                                         [&] { fan.stopRun(); }, [&] { return fan.lastError(); });
                    if (mqOk)
                        mqRow = measure(QStringLiteral("fan-out mosquitto"), n, bytes, count, window,
                                        broker.processId(), [&](LoadTracker *t) { mqtt->startRun(t); },
                                        [&] { mqtt->stopRun(); }, [&] { return mqtt->lastError(); });
                    if (topOk)
                        topRow = measure(QStringLiteral("fan-out ceiling"), n, bytes, count, window,
                                         ceiling.processId(), [&](LoadTracker *t) { top.startRun(t); },
                                         [&] { top.stopRun(); }, [&] { return top.lastError(); });
                    if (srvOk && mqOk && mqRow.deliveriesPerSec > 0)
                        srvRow.ratio = QString::number(srvRow.deliveriesPerSec / mqRow.deliveriesPerSec, 'f', 2);
                    if (srvOk && topOk && topRow.messagesPerSec > 0)
                        srvRow.ceiling = QString::number(100 * srvRow.messagesPerSec / topRow.messagesPerSec, 'f', 0);
                    for (Row *r : {&srvRow, &mqRow, &topRow}) {
                        if (r->what.isEmpty())
                            continue;
                        if (r->timedOut || r->lost || r->dup || r->corrupt)
                            ++failures;
                        rows << *r;
                    }
                };
                if (fullLoad)
                    for (int bytes : sizes)
                        trio(bytes, messagesFor(n, bytes));
                if (withServer && !srvOk)
                    ++failures;
                for (double rate : rates) {
                    QList<Peer> peers;
                    if (srvOk)
                        peers << Peer{QStringLiteral("fan-out server"), server.processId(),
                                      [&](LoadTracker *t) { fan.startRun(t); }, [&] { fan.stopRun(); },
                                      [&] { return fan.lastError(); }};
                    if (mqOk)
                        peers << Peer{QStringLiteral("fan-out mosquitto"), broker.processId(),
                                      [&](LoadTracker *t) { mqtt->startRun(t); }, [&] { mqtt->stopRun(); },
                                      [&] { return mqtt->lastError(); }};
                    if (topOk)
                        peers << Peer{QStringLiteral("fan-out ceiling"), ceiling.processId(),
                                      [&](LoadTracker *t) { top.startRun(t); }, [&] { top.stopRun(); },
                                      [&] { return top.lastError(); }};
                    if (peers.isEmpty())
                        continue;
                    // More deliveries at once than the load program can take would
                    // measure the load program: then one peer after the other.
                    const quint32 count = quint32(std::max(100.0, rate * rateSeconds * scale));
                    QList<Row> together;
                    if (rate * n * peers.size() <= kTogetherLimit) {
                        together = runTogether(peers, n, count, rate, repeats, lim);
                    } else {
                        for (const Peer &p : peers) {
                            Row r = runTogether({p}, n, count, rate, repeats, lim).first();
                            r.note += QStringLiteral(" (run alone: too many deliveries for all at once)");
                            together << r;
                        }
                    }
                    const Row *mq = nullptr;
                    // A peer that keeps the rate has everything in soon after the
                    // schedule ends; one that falls behind builds a backlog
                    // that grows with the run.
                    const double schedule = double(count) / rate;
                    const double keptRate = double(count) / (schedule + std::max(0.05, 0.1 * schedule));
                    for (Row &r : together) {
                        r.saturated = r.timedOut || r.lost > 0 || r.messagesPerSec < keptRate;
                        if (r.what == QLatin1String("fan-out mosquitto"))
                            mq = &r;
                    }
                    for (Row &r : together) {
                        if (mq && mq->p99 > 0 && &r != mq && !mq->saturated && !r.saturated)
                            r.ratio = QString::number(double(r.p99) / double(mq->p99), 'f', 2);
                        const bool short_ = r.timedOut || r.lost || r.dup || r.corrupt;
                        // A broker that cannot take the offered rate is a figure, not a fault here.
                        if (short_ && &r == mq && !r.dup && !r.corrupt)
                            r.note += QStringLiteral(" (the broker did not keep up with the offered rate)");
                        else if (short_)
                            ++failures;
                    }
                    rows << together;
                }
            }
        }
    }
    // The same fan-out inside TLS at N = 10, beside the plain rows.
    if (tlsPort && fullLoad) {
        QSslConfiguration conf = QSslConfiguration::defaultConfiguration();
        conf.setCaCertificates(QSslCertificate::fromPath(certs.path(QStringLiteral("ca.pem"))));
        CorvidFanout secure(tlsPort, conf);
        const int n = 10;
        if (!secure.connectInjector(15000) || !secure.growReceivers(n, 30000)) {
            err() << "bench_fanout: TLS clients: " << secure.lastError() << Qt::endl;
            ++failures;
        } else {
            for (int bytes : sizes) {
                Row r = measure(QStringLiteral("fan-out server TLS"), n, bytes, messagesFor(n, bytes), window,
                                server.processId(), [&](LoadTracker *t) { secure.startRun(t); },
                                [&] { secure.stopRun(); }, [&] { return secure.lastError(); });
                for (const Row &plain : qAsConst(rows)) {
                    if (plain.what == QLatin1String("fan-out server") && plain.receivers == n && plain.bytes == bytes &&
                        plain.offered <= 0 && plain.messagesPerSec > 0)
                        r.ratio = QString::number(r.messagesPerSec / plain.messagesPerSec, 'f', 2);
                }
                if (r.timedOut || r.lost || r.dup || r.corrupt)
                    ++failures;
                rows << r;
            }
        }
    }
    benchStopProcess(ceiling);
    mqtt.reset();
    benchStopProcess(broker);

    // 3: round trip Manager -> server -> virtual CAN -> devsim -> back.
    if (withBus) {
        const QString devsimExe = cl.value(devsimOpt);
        QProcess devsim;
        if (devsimExe.isEmpty() || !QFileInfo(devsimExe).isExecutable()) {
            err() << "bench_fanout: corvid-devsim not found ('" << devsimExe << "'); use --devsim" << Qt::endl;
            ++failures;
        } else {
            devsim.setWorkingDirectory(work.path());
            devsim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
            devsim.setStandardOutputFile(work.filePath(QStringLiteral("devsim-stdout.txt")));
            benchStart(devsim, devsimExe, CorvidEcho::devsimArguments(), BenchRole::Load);
            CorvidEcho echo(srvPort);
            if (!devsim.waitForStarted(5000) || !echo.connectManager(20000)) {
                err() << "bench_fanout: bus round trip not ready: " << echo.lastError() << Qt::endl;
                ++failures;
            } else {
                for (int bytes : sizes) {
                    quint32 count = quint32(std::max(200.0, (bytes <= 64 ? 20000 : 2000) * scale));
                    Row r = measure(QStringLiteral("bus round trip"), 1, bytes, count, e2eWindow,
                                    server.processId(), [&](LoadTracker *t) { echo.startRun(t); },
                                    [&] { echo.stopRun(); }, [&] { return echo.lastError(); });
                    if (r.timedOut || r.lost || r.dup || r.corrupt)
                        ++failures;
                    rows << r;
                }
            }
            benchStopProcess(devsim);
        }
    }
    benchStopProcess(server);
    benchStopProcess(vbus);
    printTable(rows, window, e2eWindow, repeats, machine);
    if (failures)
        err() << "bench_fanout: " << failures << " case(s) incomplete or wrong" << Qt::endl;
    return failures ? 1 : 0;
}
