// Messages per second from a Manager on one server to the applications of a
// second server over the UDP multicast link, paced at a set rate. The search
// doubles the rate until messages go missing, then narrows the step between
// the last clean rate and the first lossy one; every message is checked for
// content and order.

#include "bench/common/bench_clock.h"
#include "bench/common/bench_machine.h"
#include "bench/common/bench_process.h"
#include "bench/common/corvid_load_client.h"
#include "engine/corvid_types.h"
#include "server/corvid_wire.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <QtEndian>

#include <cstdlib>
#include <memory>
#include <unistd.h>

#ifndef CORVID_SERVER_EXE
#define CORVID_SERVER_EXE ""
#endif

namespace {

constexpr quint16 kMsgId = 0x0C01;
const char *const kGroup = "239.255.69.1";

QByteArray payload(quint32 seq, int size)
{
    QByteArray b(size, '\0');
    for (int i = 4; i < size; ++i)
        b[i] = char((seq * 31 + quint32(i)) & 0xFF);
    qToLittleEndian<quint32>(seq, b.data());
    return b;
}

// Server A and B on one group, a Manager on A and an application on B.
class ServerPair {
public:
    bool start(QString *error)
    {
        const quint16 udpPort = benchFreePort();
        for (int i = 0; i < 2; ++i) {
            const QString dir = m_dir.filePath(QString::number(i));
            QDir().mkpath(dir);
            m_tcp[i] = benchFreePort();
            QFile cfg(dir + QStringLiteral("/server_config.xml"));
            const BenchParams params = {{"Interface", "UDP"},
                                        {"UdpHostName", kGroup},
                                        {"UdpPortName", QString::number(udpPort)},
                                        {"TcpPort", QString::number(m_tcp[i])},
                                        {"DisableGUI", "1"},
                                        {"ErrorLogFile", "server_logs/error_log"},
                                        {"CorvidLogFile", "server_logs/corvid_log"}};
            if (!cfg.open(QIODevice::WriteOnly) || cfg.write(benchServerConfig(params)) < 0) {
                *error = QStringLiteral("cannot write ") + cfg.fileName();
                return false;
            }
            cfg.close();
            m_proc[i].setWorkingDirectory(dir);
            m_proc[i].setStandardOutputFile(dir + QStringLiteral("/stdout.txt"));
            m_proc[i].setStandardErrorFile(dir + QStringLiteral("/stderr.txt"));
            benchStart(m_proc[i], QStringLiteral(CORVID_SERVER_EXE), QStringList());
            if (!m_proc[i].waitForStarted(5000) || !benchWaitForListen(m_tcp[i], m_proc[i], 15000)) {
                *error = QStringLiteral("corvid-server did not start (") + QStringLiteral(CORVID_SERVER_EXE) + ')';
                return false;
            }
        }
        manager = std::make_unique<CorvidLoadClient>(0, false);
        receiver = std::make_unique<CorvidLoadClient>(1, true);
        manager->open(m_tcp[0]);
        receiver->open(m_tcp[1]);
        // Ready once both links are up (the hub brings them up about a second after start).
        if (!benchWaitFor([this] { return manager->identified() && receiver->identified() && manager->hwState() == 2 &&
                                          receiver->hwState() == 2; },
                          15000)) {
            *error = QStringLiteral("the servers' UDP links did not come up");
            return false;
        }
        receiver->setMessageHandler([this](CorvidLoadClient *, const crs_msg2app_t &m) { received(m); });
        return true;
    }

    ~ServerPair()
    {
        manager.reset();
        receiver.reset();
        for (auto &p : m_proc)
            benchStopProcess(p);
    }

    struct Trial {
        double share = 0;      // arrived whole and in order / sent
        double sentRate = 0;   // what the pacing achieved
        double deliveredRate = 0;
        quint64 bad = 0;       // corrupt or out of order
    };

    Trial run(double rate, int size, int count)
    {
        m_size = size;
        m_next = m_first = m_seq;
        m_arrived = m_bad = 0;
        QElapsedTimer &clock = m_clock;
        clock.start();
        m_lastArrivalNs = 0;
        int sent = 0;
        QTimer pace;
        pace.setTimerType(Qt::PreciseTimer);
        QObject::connect(&pace, &QTimer::timeout, [&] {
            const int due = qMin(count, int(rate * double(clock.nsecsElapsed()) / 1e9) + 1);
            for (; sent < due; ++sent) {
                const QByteArray data = payload(m_seq++, size);
                manager->send(buildMsg2SatFrame(0, corvid_message_over(kMsgId, 0x0042, 0x0001, data)));
            }
        });
        pace.start(1);
        benchWaitFor([&] { return sent >= count; }, 600000);
        pace.stop();
        Trial t;
        t.sentRate = count / (double(clock.nsecsElapsed()) / 1e9);
        // Drain: done when everything came, or nothing more came for a while.
        quint64 seen = m_arrived + m_bad;
        QElapsedTimer quiet;
        quiet.start();
        while (m_arrived < quint64(count) && quiet.elapsed() < 500) {
            benchWaitFor([] { return false; }, 50);
            if (m_arrived + m_bad != seen) {
                seen = m_arrived + m_bad;
                quiet.restart();
            }
        }
        t.deliveredRate = m_lastArrivalNs ? double(m_arrived) / (double(m_lastArrivalNs) / 1e9) : 0;
        t.share = double(m_arrived) / count;
        t.bad = m_bad;
        m_seq = m_first + quint32(count);
        return t;
    }

    std::unique_ptr<CorvidLoadClient> manager, receiver;

private:
    void received(const crs_msg2app_t &m)
    {
        if (m.header.msg_id != kMsgId || m.header.dir != 0 || m.data.size() < 4)
            return;
        const quint32 seq = qFromLittleEndian<quint32>(m.data.constData());
        if (seq < m_first)
            return;  // a straggler of an earlier run
        if (seq < m_next || m.data != payload(seq, m_size)) {
            ++m_bad;
            return;
        }
        m_next = seq + 1;
        ++m_arrived;
        m_lastArrivalNs = m_clock.nsecsElapsed();
    }

    QTemporaryDir m_dir;
    QProcess m_proc[2];
    quint16 m_tcp[2] = {};
    int m_size = 0;
    quint32 m_seq = 1, m_first = 1, m_next = 1;
    quint64 m_arrived = 0, m_bad = 0;
    qint64 m_lastArrivalNs = 0;
    QElapsedTimer m_clock;
};

ServerPair *pair(QString *error)
{
    static std::unique_ptr<ServerPair> p;
    static QString failure;
    if (!p && failure.isEmpty()) {
        p = std::make_unique<ServerPair>();
        if (!p->start(&failure))
            p.reset();
    }
    *error = failure;
    return p.get();
}

void BM_UdpTwoServers(benchmark::State &state)
{
    const int size = int(state.range(0));
    if (qEnvironmentVariable("CORVID_NETNS") != QLatin1String("1")) {
        state.SkipWithError("no private network namespace: multicast must not leave this machine");
        return;
    }
    QString error;
    ServerPair *servers = pair(&error);
    if (!servers) {
        state.SkipWithError(qPrintable(error));
        return;
    }
    auto trialCount = [](double rate) { return qBound(1000, int(rate), 40000); };
    QElapsedTimer total;
    for (auto _ : state) {
        total.start();
        double clean = 0, lossy = 0, lossyShare = 1, cleanDelivered = 0;
        quint64 bad = 0;
        for (double rate = 500; rate <= 512000; rate *= 2) {
            const auto t = servers->run(rate, size, trialCount(rate));
            bad += t.bad;
            if (t.share < 1.0) {
                lossy = rate;
                lossyShare = t.share;
                break;
            }
            clean = rate;
            cleanDelivered = t.deliveredRate;
            if (t.sentRate < 0.8 * rate)  // the sending side is the limit, nothing is lost
                break;
        }
        for (int step = 0; lossy > 0 && clean > 0 && step < 4; ++step) {
            const double mid = (clean + lossy) / 2;
            const auto t = servers->run(mid, size, trialCount(mid));
            bad += t.bad;
            if (t.share < 1.0) {
                lossy = mid;
                lossyShare = t.share;
            } else {
                clean = mid;
                cleanDelivered = t.deliveredRate;
            }
        }
        state.SetIterationTime(double(total.nsecsElapsed()) / 1e9);
        state.counters["lossless_rate"] = clean;
        state.counters["delivered_per_s"] = cleanDelivered;
        state.counters["lossy_rate"] = lossy;
        state.counters["arrived_pct_at_lossy"] = 100.0 * lossyShare;
        state.counters["corrupt_or_reordered"] = double(bad);
        if (bad)
            state.SkipWithError("messages arrived corrupt or out of order");
    }
}
BENCHMARK(BM_UdpTwoServers)->Arg(8)->Arg(1024)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// Multicast only inside a namespace of our own: re-run there when we can.
void enterPrivateNetwork(int argc, char **argv)
{
    if (qEnvironmentVariable("CORVID_NETNS") == QLatin1String("1"))
        return;
    for (const char *flag : {"-rn", "-n"}) {
        if (std::system((std::string("unshare ") + flag + " true 2>/dev/null").c_str()) != 0)
            continue;
        std::vector<const char *> args = {"unshare", flag, "sh", "-c",
                                          "ip link set lo up && ip route add 224.0.0.0/4 dev lo && "
                                          "CORVID_NETNS=1 exec \"$0\" \"$@\""};
        for (int i = 0; i < argc; ++i)
            args.push_back(argv[i]);
        args.push_back(nullptr);
        execvp("unshare", const_cast<char *const *>(args.data()));
    }
}

}  // namespace

int main(int argc, char **argv)
{
    enterPrivateNetwork(argc, argv);
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
