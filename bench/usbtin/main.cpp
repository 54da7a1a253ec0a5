// Throughput of the serial CAN adapter link: a control application sends
// messages through the server, whose connector writes them to the simulated
// adapter, which puts the frames on the virtual CAN bus where this program
// counts them. The adapter acknowledges every frame at once; the connector
// sends the next frame only after that acknowledgement, so the round trip of
// one frame and its acknowledgement bounds the rate. That bound is measured
// under the same load: the same messages go, run for run in turn with the
// server, to a lean sender (LeanSender.h) that does nothing but send each
// frame on the previous one's acknowledgement. The round trip of the adapter
// alone is shown as well, with the CPU each process used, which tells what
// set the pace.
// Talks to 127.0.0.1 only. Table on stdout, progress on stderr.

#include "bench/common/bench_clock.h"
#include "bench/common/bench_machine.h"
#include "bench/common/bench_process.h"
#include "bench/common/corvid_load_client.h"
#include "bench/common/proc_cpu.h"
#include "bench/usbtin/LeanSender.h"
#include "engine/TerminationSignals.h"
#include "server/corvid_wire.h"

#include <QCanBus>
#include <QCanBusDevice>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QTextStream>

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

QTextStream &err()
{
    static QTextStream s(stderr);
    return s;
}

// The processes started, ended by fail() too.
QList<QProcess *> g_children;

[[noreturn]] void fail(const QString &why)
{
    err() << "bench_usbtin: " << why << Qt::endl;
    for (QProcess *p : g_children)
        benchStopProcess(*p);
    std::exit(1);
}

constexpr quint16 kFrom = 1, kTo = 2, kMsgId = 0x0A01;

const char kFrameLine[] = "t7E08A0B0C0D0E0F00001\r";

quint32 median(std::vector<quint32> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// The least median of batches of 500 samples: the round trip the adapter
// makes when the machine lets it.
quint32 bestMedian(const std::vector<quint32> &v)
{
    constexpr size_t kBatch = 500;
    quint32 best = median(v);
    for (size_t at = 0; at + kBatch <= v.size(); at += kBatch)
        best = std::min(best, median(std::vector<quint32>(v.begin() + long(at), v.begin() + long(at + kBatch))));
    return best;
}

// Round trip of one frame line and its acknowledgement, in microseconds, on
// the adapter's terminal: first with plain blocking system calls (the adapter
// alone), then through Qt's serial port class and event loop, the way any Qt
// program on this adapter meets it. Run in a process of its own (see
// measureLimit).
std::pair<quint32, quint32> ackRoundTripUs(const QString &path, int samples)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY);
    if (fd < 0)
        fail(QStringLiteral("cannot open %1").arg(path));
    termios tio;
    ::tcgetattr(fd, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(fd, TCSANOW, &tio);
    auto exchange = [fd](const char *line, const char *reply) {
        if (::write(fd, line, strlen(line)) != ssize_t(strlen(line)))
            fail(QStringLiteral("write to the adapter failed"));
        QByteArray got;
        while (!got.contains(reply)) {
            pollfd p{fd, POLLIN, 0};
            char buf[64];
            if (::poll(&p, 1, 2000) <= 0)
                fail(QStringLiteral("the adapter did not answer"));
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n <= 0)
                fail(QStringLiteral("read from the adapter failed"));
            got.append(buf, int(n));
        }
    };
    exchange("O\r", "\r");
    std::vector<quint32> raw;
    for (int i = 0; i < samples; ++i) {
        const quint32 t0 = benchNowUs();
        exchange(kFrameLine, "z\r");
        raw.push_back(benchNowUs() - t0);
    }
    ::close(fd);

    QSerialPort port(path);
    if (!port.open(QIODevice::ReadWrite))
        fail(QStringLiteral("cannot open %1: %2").arg(path, port.errorString()));
    std::vector<quint32> qt;
    QByteArray got;
    quint32 t0 = benchNowUs();
    auto send = [&] {
        t0 = benchNowUs();
        port.write(kFrameLine);
        port.flush();
    };
    QObject::connect(&port, &QSerialPort::readyRead, &port, [&] {
        got += port.readAll();
        int at;
        while ((at = got.indexOf("z\r")) >= 0) {
            got.remove(0, at + 2);
            qt.push_back(benchNowUs() - t0);
            if (int(qt.size()) < samples)
                send();
        }
    });
    send();
    if (!benchWaitFor([&] { return int(qt.size()) >= samples; }, 60000))
        fail(QStringLiteral("the adapter stopped answering"));
    port.write("C\r");
    port.flush();
    port.close();
    return {bestMedian(raw), bestMedian(qt)};
}

struct Row {
    int bytes = 0;
    int messages = 0;
    quint64 frames = 0;
    double seconds = 0;
    bool complete = false;
    // Shares of one core: the server, the adapter, this program.
    double serverCpu = -1, adapterCpu = -1, selfCpu = -1;
    double limitFps = 0;  // the lean sender's median rate of the row
    std::vector<double> shares;  // each server run against its two lean neighbours, lowest first

    double fps() const { return seconds > 0 ? double(frames) / seconds : 0; }
    double share() const { return limitFps > 0 ? fps() / limitFps : 0; }
};

QString cpuText(double v) { return v < 0 ? QStringLiteral("-") : QString::number(v, 'f', 0); }

// Frames the engine makes of one message: one, or a header and the data
// with its checksum 8 bytes a frame.
int framesPerMessage(int bytes)
{
    return bytes <= 6 ? 1 : 1 + (bytes + 2 + 7) / 8;
}

// The round trips measured by this program started again as a process of its
// own, placed where the server runs: the adapter meets the same partner
// there, on the same CPU or not, while this process takes the frames off the
// bus as it does during the runs.
std::pair<quint32, quint32> measureLimit(const QString &link, int samples)
{
    QProcess helper;
    g_children << &helper;
    helper.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    benchStart(helper, QCoreApplication::applicationFilePath(),
               {QStringLiteral("--round-trips"), link, QStringLiteral("--samples"), QString::number(samples)});
    if (!benchWaitFor([&] { return helper.state() == QProcess::NotRunning; }, 120000))
        fail(QStringLiteral("the round trips did not end"));
    g_children.removeOne(&helper);
    const QList<QByteArray> said = helper.readAllStandardOutput().trimmed().split(' ');
    if (helper.exitStatus() != QProcess::NormalExit || helper.exitCode() != 0 || said.size() != 2)
        fail(QStringLiteral("the round trips failed"));
    return {said[0].toUInt(), said[1].toUInt()};
}

Row runCase(CorvidLoadClient &client, quint64 &busFrames, int bytes, int messages, int window, qint64 serverPid,
            qint64 adapterPid)
{
    Row r;
    r.bytes = bytes;
    r.messages = messages;
    const quint64 perMessage = quint64(framesPerMessage(bytes));
    const quint64 start = busFrames;
    QByteArray data(bytes, '\x5A');
    int sent = 0;
    const qint64 server0 = processCpuUs(serverPid), adapter0 = processCpuUs(adapterPid), self0 = selfCpuUs();
    const quint32 t0 = benchNowUs();
    auto pump = [&] {
        const quint64 done = (busFrames - start) / perMessage;
        while (sent < messages && quint64(sent) < done + quint64(window)) {
            corvid_message m = corvid_message_over(kMsgId, kFrom, kTo, data);
            client.send(buildMsg2SatFrame(uint32_t(sent), m));
            ++sent;
        }
        return busFrames - start >= perMessage * quint64(messages);
    };
    quint64 progress = 0;
    quint32 lastProgressUs = t0;
    r.complete = benchWaitFor(
        [&] {
            if (pump())
                return true;
            if (busFrames != progress) {
                progress = busFrames;
                lastProgressUs = benchNowUs();
            }
            return benchNowUs() - lastProgressUs > 5000000 || client.failed();
        },
        600000);
    r.complete = r.complete && busFrames - start >= perMessage * quint64(messages);
    r.seconds = double(benchNowUs() - t0) / 1e6;
    r.frames = busFrames - start;
    const qint64 server1 = processCpuUs(serverPid), adapter1 = processCpuUs(adapterPid), self1 = selfCpuUs();
    auto share = [&r](qint64 a, qint64 b) { return a < 0 || b < 0 ? -1.0 : 100.0 * double(b - a) / (r.seconds * 1e6); };
    r.serverCpu = share(server0, server1);
    r.adapterCpu = share(adapter0, adapter1);
    r.selfCpu = share(self0, self1);
    err() << "  " << bytes << " bytes: " << r.frames << " frames in " << r.seconds << " s, cpu% peer/sim/load "
          << cpuText(r.serverCpu) << '/' << cpuText(r.adapterCpu) << '/' << cpuText(r.selfCpu) << Qt::endl;
    return r;
}

}  // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser cl;
    cl.setApplicationDescription(QStringLiteral("Serial CAN adapter link throughput through the server"));
    cl.addHelpOption();
    const QCommandLineOption serverOpt(QStringLiteral("server"), QStringLiteral("corvid-server executable"),
                                       QStringLiteral("path"), QStringLiteral(CORVID_SERVER_EXE));
    const QCommandLineOption simOpt(QStringLiteral("adapter-sim"), QStringLiteral("corvid-adapter-sim executable"),
                                    QStringLiteral("path"), QStringLiteral(CORVID_ADAPTER_SIM_EXE));
    const QCommandLineOption scaleOpt(QStringLiteral("scale"), QStringLiteral("multiplies every message count"),
                                      QStringLiteral("f"), benchQuick() ? QStringLiteral("0.2") : QStringLiteral("1"));
    const QCommandLineOption repeatOpt(QStringLiteral("repeat"),
                                       QStringLiteral("server runs per case, the median shown"), QStringLiteral("n"),
                                       QStringLiteral("9"));
    const QCommandLineOption roundTripsOpt(QStringLiteral("round-trips"),
                                           QStringLiteral("only measure the acknowledgement round trip on this port"),
                                           QStringLiteral("path"));
    const QCommandLineOption samplesOpt(QStringLiteral("samples"), QStringLiteral("round trips to measure"),
                                        QStringLiteral("n"), QStringLiteral("3000"));
    const QCommandLineOption leanOpt(QStringLiteral("lean-sender"),
                                     QStringLiteral("only be the lean sender on this adapter (see LeanSender.h)"),
                                     QStringLiteral("path"));
    const QCommandLineOption portOpt(QStringLiteral("port"), QStringLiteral("the lean sender's control port"),
                                     QStringLiteral("n"));
    cl.addOptions({serverOpt, simOpt, scaleOpt, repeatOpt, roundTripsOpt, samplesOpt, leanOpt, portOpt});
    QStringList args;  // the common bench runner may pass benchmark-library flags
    for (const QString &a : app.arguments())
        if (!a.startsWith(QLatin1String("--benchmark")))
            args << a;
    cl.process(args);
    if (cl.isSet(roundTripsOpt)) {
        const auto [raw, qt] = ackRoundTripUs(cl.value(roundTripsOpt), qMax(100, cl.value(samplesOpt).toInt()));
        std::printf("%u %u\n", raw, qt);
        return 0;
    }
    if (cl.isSet(leanOpt)) {
        LeanSender lean;
        QString why;
        if (!lean.start(cl.value(leanOpt), quint16(cl.value(portOpt).toUInt()), &why))
            fail(why);
        corvid_quit_on_termination_signals(app);
        return app.exec();
    }
    // Left to the kernel, the adapter stand-in and the process driving it land
    // on one CPU or on two from run to run, which moves the rate up to
    // twofold: far more than the server and the lean sender differ. So this
    // program pins unless told otherwise (CORVID_BENCH_PIN=off leaves it to
    // the kernel).
    if (!qEnvironmentVariableIsSet("CORVID_BENCH_PIN") && ::sysconf(_SC_NPROCESSORS_ONLN) >= 2)
        qputenv("CORVID_BENCH_PIN", "0,1");
    benchPinSelf();
    const QString simExe = cl.value(simOpt), serverExe = cl.value(serverOpt);
    const double scale = qBound(0.001, cl.value(scaleOpt).toDouble(), 1000.0);
    const int repeats = qMax(1, cl.value(repeatOpt).toInt());
    const int samples = qMax(100, int(3000 * scale));
    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("adapter"));

    // The adapter first: it hosts the virtual bus this program listens on.
    QProcess sim;
    g_children << &sim;
    sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    benchStart(sim, simExe, {QStringLiteral("--link"), link}, BenchRole::Load);
    if (!sim.waitForStarted() || !sim.waitForReadyRead(10000))
        fail(QStringLiteral("corvid-adapter-sim did not start"));
    std::unique_ptr<QCanBusDevice> bus(QCanBus::instance()->createDevice(QStringLiteral("virtualcan"),
                                                                         QStringLiteral("can0")));
    quint64 busFrames = 0;
    QObject::connect(bus.get(), &QCanBusDevice::framesReceived, bus.get(), [&] {
        while (bus->framesAvailable()) {
            bus->readFrame();
            ++busFrames;
        }
    });
    bus->connectDevice();
    if (!benchWaitFor([&] { return bus->state() == QCanBusDevice::ConnectedState; }, 10000))
        fail(QStringLiteral("no virtual CAN bus"));

    const quint16 port = benchFreePort();
    QFile config(dir.filePath(QStringLiteral("server_config.xml")));
    if (!config.open(QIODevice::WriteOnly) ||
        config.write(benchServerConfig({{"Interface", "UsbTin"}, {"USBtinPortName", link}, {"DisableGUI", "1"},
                                        {"TcpPort", QString::number(port)}, {"ErrorLogFile", "logs/error_log"},
                                        {"CorvidLogFile", "logs/corvid_log"}, {"NumLogThreads", "0"}})) < 0)
        fail(QStringLiteral("cannot write the server configuration"));
    config.close();

    err() << "bench_usbtin: measuring the acknowledgement round trip of the adapter alone" << Qt::endl;
    const auto [rawUs, qtUs] = measureLimit(link, samples);
    benchWaitFor([] { return false; }, 300);  // let those frames drain

    // One run on a process of its own (the server, or the lean sender), which
    // lets go of the adapter afterwards.
    auto oneRun = [&](bool lean, int bytes, int messages, int window) {
        QProcess peer;
        g_children << &peer;
        peer.setWorkingDirectory(dir.path());
        peer.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        if (lean) {
            // The event loop the server runs (Qt's own poll loop, not GLib's),
            // unless the operator chose one for both.
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            if (!env.contains(QStringLiteral("QT_NO_GLIB")))
                env.insert(QStringLiteral("QT_NO_GLIB"), QStringLiteral("1"));
            peer.setProcessEnvironment(env);
        }
        if (lean)
            benchStart(peer, QCoreApplication::applicationFilePath(),
                       {QStringLiteral("--lean-sender"), link, QStringLiteral("--port"), QString::number(port)});
        else
            benchStart(peer, serverExe, QStringList());
        if (!benchWaitForListen(port, peer, 20000))
            fail(lean ? QStringLiteral("the lean sender did not start") : QStringLiteral("the server did not start"));
        CorvidLoadClient client(0, false);
        client.open(port);
        if (!benchWaitFor([&] { return (client.identified() && client.hwState() == 2) || client.failed(); },
                          10000) ||
            client.failed())
            fail(QStringLiteral("the link did not become ready"));
        runCase(client, busFrames, bytes, bytes == 8 ? 300 : 5, window, peer.processId(), sim.processId());
        const Row r = runCase(client, busFrames, bytes, messages, window, peer.processId(), sim.processId());
        benchStopProcess(peer);
        g_children.removeOne(&peer);
        return r;
    };

    // The machine's state drifts during a row, so server runs and lean runs
    // take turns, a lean run first and last. The row is the median server run
    // against the median lean run: the same statistic on both sides.
    QList<Row> rows;
    for (const auto &c : {std::pair<int, int>{8, 6000}, std::pair<int, int>{1024, 80}}) {
        const int window = c.first == 8 ? 32 : 4;
        const int messages = qMax(c.first == 8 ? 100 : 4, int(c.second * scale));
        QList<Row> runs;
        std::vector<double> lean;
        bool complete = true;
        auto leanRun = [&] {
            const Row r = oneRun(true, c.first, messages, window);
            complete = complete && r.complete;
            lean.push_back(r.fps());
        };
        leanRun();
        for (int run = 0; run < repeats; ++run) {
            runs << oneRun(false, c.first, messages, window);
            complete = complete && runs.last().complete;
            leanRun();
        }
        std::vector<double> shares;
        for (int run = 0; run < repeats; ++run)
            shares.push_back(runs[run].fps() / std::max((lean[size_t(run)] + lean[size_t(run) + 1]) / 2, 1.0));
        std::sort(shares.begin(), shares.end());
        std::sort(lean.begin(), lean.end());
        std::sort(runs.begin(), runs.end(), [](const Row &a, const Row &b) { return a.fps() < b.fps(); });
        Row row = runs.at(runs.size() / 2);
        const size_t mid = lean.size() / 2;
        row.limitFps = lean.size() % 2 ? lean[mid] : (lean[mid - 1] + lean[mid]) / 2;
        row.shares = shares;
        row.complete = complete;
        rows << row;
    }

    QTextStream out(stdout);
    out << "\nSerial CAN adapter link: control application -> server -> corvid-adapter-sim (immediate\n"
           "acknowledgements) -> virtual CAN bus. Frames counted on the bus; one message = its frames.\n"
           "limit = the same load through a lean sender that sends each frame on the previous one's\n"
           "acknowledgement, echoes each message to its sender as the protocol asks, and does nothing else;\n"
           "its runs and the server's take turns. The adapter alone, without the load: "
        << qtUs << " us per round trip\n-> " << qint64(1e6 / std::max<quint32>(qtUs, 1))
        << " frames/s with Qt's serial port, " << rawUs << " us -> " << qint64(1e6 / std::max<quint32>(rawUs, 1))
        << " frames/s with blocking system calls.\n"
           "Each row: the median of "
        << repeats << " server runs against the median of " << repeats + 1
        << " lean runs, each run on a process of its own\n"
           "after a warm-up; in brackets, each server run against the mean of the lean runs before and after it.\n"
           "cpu% srv/sim/load: share of one core used by the server, the adapter and this program during\n"
           "that run; one at a full core sets the pace.\n"
        << benchPlacementLine() << ";\nthe lean sender and the lone round trips are placed like the server.\n\n";
    out << QStringLiteral("%1 %2 %3 %4 %5 %6 %7 %8  %9\n")
               .arg("bytes", 6).arg("messages", 9).arg("frames", 8).arg("frames/s", 9).arg("msg/s", 8)
               .arg("data KB/s", 10).arg("limit f/s", 9).arg("of limit", 9).arg("cpu% srv/sim/load");
    bool allComplete = true;
    for (const Row &r : rows) {
        const double mps = double(r.frames) / framesPerMessage(r.bytes) / r.seconds;
        QStringList shares;
        for (const double each : r.shares)
            shares << QString::number(100.0 * each, 'f', 1);
        out << QStringLiteral("%1 %2 %3 %4 %5 %6 %7 %8%  %9  (%10)%11\n")
                   .arg(r.bytes, 6).arg(r.messages, 9).arg(r.frames, 8).arg(qint64(r.fps()), 9).arg(qint64(mps), 8)
                   .arg(mps * r.bytes / 1024.0, 10, 'f', 1).arg(qint64(r.limitFps), 9).arg(100.0 * r.share(), 8, 'f', 1)
                   .arg(cpuText(r.serverCpu) + '/' + cpuText(r.adapterCpu) + '/' + cpuText(r.selfCpu), 17)
                   .arg(shares.join(QStringLiteral(" ")))
                   .arg(r.complete ? "" : " (incomplete)");
        allComplete = allComplete && r.complete;
    }
    out.flush();

    benchStopProcess(sim);
    return allComplete ? 0 : 1;
}
