// Load program: fan-out of injected messages through the server and through a
// mosquitto broker, and the round trip through the virtual CAN bus to the
// device simulator. Every run has a fixed message count and a time limit and
// talks to 127.0.0.1 only. Prints one table on stdout, progress on stderr.

#include "bench/common/bench_clock.h"
#include "bench/common/bench_process.h"
#include "bench/fanout/corvid_echo.h"
#include "bench/fanout/corvid_fanout.h"
#include "bench/fanout/load_tracker.h"
#include "bench/fanout/mqtt_fanout.h"
#include "bench/fanout/proc_cpu.h"

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
#include <mosquitto.h>
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
    quint32 p50 = 0;
    quint32 p99 = 0;
    quint64 lost = 0;
    quint64 dup = 0;
    quint64 corrupt = 0;
    double peerCpu = -1; // % of one core, server or broker
    double selfCpu = -1; // % of one core, this program
    bool timedOut = false;
    QString ratio;
    QString note;
};

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

QString fmtCpu(double v) { return v < 0 ? QStringLiteral("-") : QString::number(v, 'f', 0); }

void printTable(const QList<Row> &rows, int window, int e2eWindow, int repeats)
{
    QTextStream out(stdout);
    out << "\nCorvid server load: fan-out of injected messages (server vs. mosquitto 127.0.0.1, QoS 0) and\n"
           "round trip through the virtual CAN bus to corvid-devsim.\n"
           "deliv/s = messages x receivers delivered per second; msg/s = messages that reached every receiver per second.\n"
           "Latency: send to receipt (fan-out) or send to echo (round trip), monotonic clock, one process.\n"
        << "Sender window: " << window << " messages not yet received by all (fan-out), " << e2eWindow
        << " round trips (bus).\n"
           "Each row: the best of "
        << repeats << " runs of `messages` messages after a warm-up; lost = messages missing or doubled over all runs.\n"
           "cpu%: share of one core used by the server or broker / by this load program.\n\n";
    auto line = [&](const QStringList &c) {
        static const int w[] = {-18, 4, 6, 8, 12, 10, 8, 8, 6, 10, 8};
        QString s;
        for (int i = 0; i < c.size(); ++i) {
            int width = i < int(sizeof w / sizeof w[0]) ? w[i] : 0;
            s += (width < 0 ? c[i].leftJustified(-width) : c[i].rightJustified(width)) + QLatin1Char(' ');
        }
        out << s.trimmed() << '\n';
    };
    line({QStringLiteral("case"), QStringLiteral("N"), QStringLiteral("bytes"), QStringLiteral("messages"),
          QStringLiteral("deliv/s"), QStringLiteral("msg/s"), QStringLiteral("p50 us"), QStringLiteral("p99 us"),
          QStringLiteral("lost"), QStringLiteral("cpu% s/l"), QStringLiteral("ratio")});
    for (const Row &r : rows) {
        line({r.what, QString::number(r.receivers), QString::number(r.bytes), QString::number(r.messages),
              QString::number(qint64(r.deliveriesPerSec)), QString::number(qint64(r.messagesPerSec)),
              QString::number(r.p50), QString::number(r.p99), QString::number(r.lost + r.dup),
              fmtCpu(r.peerCpu) + QLatin1Char('/') + fmtCpu(r.selfCpu), r.ratio});
    }
    bool notes = false;
    for (const Row &r : rows) {
        if (r.note.isEmpty() && !r.dup && !r.corrupt)
            continue;
        if (!notes)
            out << "\nnotes:\n";
        notes = true;
        out << "  " << r.what << " N=" << r.receivers << " bytes=" << r.bytes << ": " << r.note;
        if (r.dup || r.corrupt)
            out << " duplicates " << r.dup << ", corrupt " << r.corrupt;
        out << '\n';
    }
    out << "ratio = server deliv/s / mosquitto deliv/s at the same N and size.\n";
    out.flush();
}

QByteArray serverConfig(quint16 port)
{
    const BenchParams params = {
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
                                QStringLiteral("f"), QStringLiteral("1"));
    QCommandLineOption timeoutOpt(QStringLiteral("case-timeout"), QStringLiteral("seconds per case"),
                                  QStringLiteral("s"), QStringLiteral("30"));
    QCommandLineOption repeatOpt(QStringLiteral("repeat"), QStringLiteral("runs per case, best one shown"),
                                 QStringLiteral("n"), QStringLiteral("3"));
    QCommandLineOption receiversOpt(QStringLiteral("receivers"), QStringLiteral("comma-separated N values"),
                                    QStringLiteral("list"), QStringLiteral("1,10,100"));
    QCommandLineOption noBusOpt(QStringLiteral("no-bus"), QStringLiteral("skip the virtual CAN round trip"));
    QCommandLineOption noMqttOpt(QStringLiteral("no-mosquitto"), QStringLiteral("skip the broker comparison"));
    QCommandLineOption noServerOpt(QStringLiteral("no-server"), QStringLiteral("broker only (checks the harness)"));
    cl.addOptions({serverOpt, devsimOpt, mosqOpt, windowOpt, e2eWindowOpt, scaleOpt, timeoutOpt, repeatOpt, receiversOpt,
                   noBusOpt, noMqttOpt, noServerOpt});
    // The common bench runner may pass benchmark-library flags; they mean nothing here.
    QStringList args;
    for (const QString &a : app.arguments())
        if (!a.startsWith(QLatin1String("--benchmark")))
            args << a;
    cl.process(args);

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

    // The server under test, headless, in its own working directory.
    const quint16 srvPort = benchFreePort();
    QDir(work.path()).mkpath(QStringLiteral("server"));
    const QString srvDir = work.filePath(QStringLiteral("server"));
    {
        QFile cfg(srvDir + QStringLiteral("/server_config.xml"));
        if (!cfg.open(QIODevice::WriteOnly) || cfg.write(serverConfig(srvPort)) < 0) {
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
    server.start(serverExe, QStringList());
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
    mosquitto_lib_init();
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
        broker.start(cl.value(mosqOpt), {QStringLiteral("-c"), conf.fileName()});
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

    // 1 and 2: fan-out, server and broker side by side at each N.
    {
        CorvidFanout fan(srvPort);
        if (withServer && !fan.connectInjector(15000)) {
            err() << "bench_fanout: injector: " << fan.lastError() << Qt::endl;
            ++failures;
        } else {
            for (int n : receiverCounts) {
                bool srvOk = withServer && fan.growReceivers(n, 30000);
                bool mqOk = mqtt && mqtt->growSubscribers(n, 30000);
                if (withServer && !srvOk)
                    err() << "bench_fanout: server receivers: " << fan.lastError() << Qt::endl;
                if (mqtt && !mqOk)
                    err() << "bench_fanout: mosquitto subscribers: " << mqtt->lastError() << Qt::endl;
                for (int bytes : sizes) {
                    quint32 count = messagesFor(n, bytes);
                    Row srvRow, mqRow;
                    if (srvOk)
                        srvRow = measure(QStringLiteral("fan-out server"), n, bytes, count, window,
                                         server.processId(), [&](LoadTracker *t) { fan.startRun(t); },
                                         [&] { fan.stopRun(); }, [&] { return fan.lastError(); });
                    if (mqOk)
                        mqRow = measure(QStringLiteral("fan-out mosquitto"), n, bytes, count, window,
                                        broker.processId(), [&](LoadTracker *t) { mqtt->startRun(t); },
                                        [&] { mqtt->stopRun(); }, [&] { return mqtt->lastError(); });
                    if (srvOk && mqOk && mqRow.deliveriesPerSec > 0)
                        srvRow.ratio = QString::number(srvRow.deliveriesPerSec / mqRow.deliveriesPerSec, 'f', 2);
                    for (Row *r : {&srvRow, &mqRow}) {
                        if (r->what.isEmpty())
                            continue;
                        if (r->timedOut || r->lost || r->dup || r->corrupt)
                            ++failures;
                        rows << *r;
                    }
                    if (withServer && !srvOk)
                        ++failures;
                }
            }
        }
    }
    mqtt.reset();
    benchStopProcess(broker);
    mosquitto_lib_cleanup();

    // 3: round trip Manager -> server -> virtual CAN -> devsim -> back.
    if (withServer && !cl.isSet(noBusOpt)) {
        const QString devsimExe = cl.value(devsimOpt);
        QProcess devsim;
        if (devsimExe.isEmpty() || !QFileInfo(devsimExe).isExecutable()) {
            err() << "bench_fanout: corvid-devsim not found ('" << devsimExe << "'); use --devsim" << Qt::endl;
            ++failures;
        } else {
            devsim.setWorkingDirectory(work.path());
            devsim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
            devsim.setStandardOutputFile(work.filePath(QStringLiteral("devsim-stdout.txt")));
            devsim.start(devsimExe, CorvidEcho::devsimArguments());
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
    printTable(rows, window, e2eWindow, repeats);
    if (failures)
        err() << "bench_fanout: " << failures << " case(s) incomplete or wrong" << Qt::endl;
    return failures ? 1 : 0;
}
