// Messages from the virtual CAN bus through the server and its MQTT bridge to a
// subscriber of a mosquitto broker: the rate that arrives whole and in order at
// QoS 0 and 1, 8 and 1024 bytes, and the server's CPU time per message with the
// bridge on and off at one offered rate. "lost" counts what reached the server
// (its message log) and not the subscriber. Every process is started here and talks
// to 127.0.0.1 only. Prints one table on stdout, progress on stderr.

#include "bench/common/bench_clock.h"
#include "bench/common/bench_machine.h"
#include "bench/common/bench_process.h"
#include "bench/common/proc_cpu.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMutex>
#include <QProcess>
#include <QTemporaryDir>
#include <QtEndian>

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <cstdio>
#include <vector>

#ifndef CORVID_SERVER_EXE
#define CORVID_SERVER_EXE ""
#endif
#ifndef CORVID_DEVSIM_EXE
#define CORVID_DEVSIM_EXE ""
#endif
#ifndef CORVID_VBUS_EXE
#define CORVID_VBUS_EXE ""
#endif

namespace {

void progress(const QString &text)
{
    std::fprintf(stderr, "bench_mqtt: %s\n", qPrintable(text));
}

// Counts the streamed messages by their sequence number (first 8 data bytes).
class Subscriber {
public:
    bool connect(quint16 port, int qos)
    {
        m_m = mosquitto_new("bench-sub", true, this);
        mosquitto_int_option(m_m, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
        mosquitto_connect_v5_callback_set(m_m, [](mosquitto *m, void *self, int, int, const mosquitto_property *) {
            auto *s = static_cast<Subscriber *>(self);
            mosquitto_subscribe_v5(m, nullptr, "corvid/bench/#", s->m_qos, 0, nullptr);
        });
        mosquitto_message_v5_callback_set(m_m, [](mosquitto *, void *self, const mosquitto_message *msg,
                                                  const mosquitto_property *) {
            auto *s = static_cast<Subscriber *>(self);
            QMutexLocker lock(&s->m_mutex);
            if (!QByteArray(msg->topic).contains("/down/")) {
                s->m_status = QByteArray(static_cast<const char *>(msg->payload), msg->payloadlen);
                return;
            }
            if (msg->payloadlen < 8)
                return;
            const quint64 seq = qFromLittleEndian<quint64>(msg->payload);
            if (seq < s->m_seen.size() && !s->m_seen[seq]) {
                s->m_seen[seq] = true;
                ++s->m_distinct;
                s->m_outOfOrder += seq < s->m_next;
                s->m_next = seq + 1;
            }
            s->m_last.start();
            if (!s->m_first.isValid())
                s->m_first.start();
        });
        m_qos = qos;
        return mosquitto_connect(m_m, "127.0.0.1", port, 30) == MOSQ_ERR_SUCCESS &&
               mosquitto_loop_start(m_m) == MOSQ_ERR_SUCCESS;
    }
    void reset(quint64 count)
    {
        QMutexLocker lock(&m_mutex);
        m_seen.assign(count, false);
        m_distinct = m_outOfOrder = m_next = 0;
        m_first.invalidate();
        m_last.invalidate();
    }
    quint64 distinct() const { QMutexLocker l(&m_mutex); return m_distinct; }
    quint64 outOfOrder() const { QMutexLocker l(&m_mutex); return m_outOfOrder; }
    QByteArray status() const { QMutexLocker l(&m_mutex); return m_status; }
    // From the first arrival to the last.
    double seconds() const
    {
        QMutexLocker l(&m_mutex);
        return m_first.isValid() ? double(m_first.nsecsElapsed() - m_last.nsecsElapsed()) / 1e9 : 0;
    }
    qint64 quietMs() const { QMutexLocker l(&m_mutex); return m_last.isValid() ? m_last.elapsed() : 0; }
    ~Subscriber()
    {
        if (!m_m)
            return;
        mosquitto_disconnect(m_m);
        mosquitto_loop_stop(m_m, false);
        mosquitto_destroy(m_m);
    }

private:
    mosquitto *m_m = nullptr;
    int m_qos = 0;
    mutable QMutex m_mutex;
    std::vector<bool> m_seen;
    quint64 m_distinct = 0, m_outOfOrder = 0, m_next = 0;
    QElapsedTimer m_first, m_last;
    QByteArray m_status;
};

struct Row {
    QString what;
    quint64 offered = 0, sent = 0, atServer = 0, received = 0, outOfOrder = 0;
    double rate = 0;
    double cpuUsPerMsg = -1;
};

class Bench {
public:
    bool start()
    {
        m_vbus.setProcessChannelMode(QProcess::MergedChannels);
        benchStart(m_vbus, QStringLiteral(CORVID_VBUS_EXE), QStringList(), BenchRole::Load);
        if (!benchWaitFor([&] { return m_vbus.state() == QProcess::NotRunning ||
                                       (m_vbusOut += m_vbus.readAll()).contains("hosting"); }, 10000) ||
            !m_vbusOut.contains("hosting"))
            return fail("corvid-vbus did not host the bus: " + m_vbusOut);
        m_brokerPort = benchFreePort();
        QFile conf(m_dir.filePath(QStringLiteral("broker.conf")));
        conf.open(QIODevice::WriteOnly);
        conf.write("user root\npersistence false\nset_tcp_nodelay true\nmax_queued_messages 0\n"
                   "max_inflight_messages 100\nlog_dest stderr\nlog_type error\nlistener " +
                   QByteArray::number(m_brokerPort) + " 127.0.0.1\nallow_anonymous true\n");
        conf.close();
        m_broker.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        benchStart(m_broker, QStringLiteral("mosquitto"), {QStringLiteral("-c"), conf.fileName()});
        if (!m_broker.waitForStarted(5000) || !benchWaitForListen(m_brokerPort, m_broker, 10000))
            return fail("mosquitto did not start");
        return true;
    }

    // One server (bridge on or off), one stream of `count` messages of `size` bytes at `rate`.
    Row run(const QString &what, bool bridge, int qos, int size, double rate, quint64 count)
    {
        Row row;
        row.what = what;
        row.offered = count;
        Subscriber sub;
        if (bridge && !sub.connect(m_brokerPort, qos)) {
            fail("subscriber did not connect");
            return row;
        }
        sub.reset(count);
        QTemporaryDir dir;
        const quint16 port = benchFreePort();
        BenchParams params = {{"Interface", "virtualcan"}, {"SocketCANPortName", "can0"}, {"DisableGUI", "1"},
                              {"TcpPort", QString::number(port)},
                              {"ErrorLogFile", "server_logs/error_log"}, {"CorvidLogFile", "server_logs/corvid_log"}};
        if (bridge)
            params += BenchParams{{"MqttHost", "127.0.0.1"}, {"MqttPort", QString::number(m_brokerPort)},
                                  {"MqttTopicPrefix", "corvid/bench"}, {"MqttQoS", QString::number(qos)}};
        QFile cfg(dir.filePath(QStringLiteral("server_config.xml")));
        cfg.open(QIODevice::WriteOnly);
        cfg.write(benchServerConfig(params));
        cfg.close();
        QProcess server;
        server.setWorkingDirectory(dir.path());
        server.setStandardOutputFile(QProcess::nullDevice());
        benchStart(server, QStringLiteral(CORVID_SERVER_EXE), QStringList());
        if (!server.waitForStarted(5000) || !benchWaitForListen(port, server, 15000)) {
            fail("corvid-server did not start");
            return row;
        }
        // Ready when the link is (and, with the bridge, when the broker says so).
        if (bridge && !benchWaitFor([&] { return sub.status().contains("\"ready\""); }, 15000)) {
            fail("the bridge did not report a ready link");
            benchStopProcess(server);
            return row;
        }
        if (!bridge)
            benchWaitFor([] { return false; }, 2000);
        QProcess device;
        device.setProcessChannelMode(QProcess::MergedChannels);
        const qint64 cpuBefore = processCpuUs(server.processId());
        benchStart(device, QStringLiteral(CORVID_DEVSIM_EXE),
                   {"--address", "5", "--to", "1", "--msg-id", "0x300", "--no-echo", "--quiet", "--exit-when-done",
                    "--rate", QString::number(rate), "--count", QString::number(count), "--length",
                    QString::number(size)},
                   BenchRole::Load);
        if (!device.waitForStarted(5000) || !device.waitForFinished(600000))
            fail("corvid-devsim did not finish its stream");
        const QByteArray said = device.readAll();
        const int at = said.indexOf("stream done, ");
        row.sent = at < 0 ? 0 : said.mid(at + 13).split(' ').value(0).toULongLong();
        if (bridge) {
            // Done when everything came, or nothing more for two seconds.
            benchWaitFor([&] { return sub.distinct() >= row.sent || sub.quietMs() > 2000; }, 120000);
            row.received = sub.distinct();
            row.outOfOrder = sub.outOfOrder();
            row.rate = sub.seconds() > 0 ? double(row.received) / sub.seconds() : 0;
        }
        // CPU over the stream and what the server still had to do for it.
        benchWaitFor([] { return false; }, 500);
        row.cpuUsPerMsg = double(processCpuUs(server.processId()) - cpuBefore) / double(std::max<quint64>(1, row.sent));
        benchStopProcess(server);
        // What reached the server: the message log's lines of the stream.
        for (const QString &f : QDir(dir.filePath(QStringLiteral("server_logs/corvid_log"))).entryList({"*.csv"})) {
            QFile csv(dir.filePath(QStringLiteral("server_logs/corvid_log/") + f));
            csv.open(QIODevice::ReadOnly);
            row.atServer += quint64(csv.readAll().count(";I;5;1; 300;"));
        }
        progress(QStringLiteral("%1: sent %2, at the server %3, received %4").arg(what).arg(row.sent).arg(row.atServer).arg(row.received));
        return row;
    }

    bool fail(const QByteArray &why)
    {
        progress(QString::fromUtf8(why));
        m_failed = true;
        return false;
    }
    bool failed() const { return m_failed; }
    ~Bench()
    {
        benchStopProcess(m_broker);
        benchStopProcess(m_vbus);
    }

private:
    QTemporaryDir m_dir;
    QProcess m_vbus, m_broker;
    QByteArray m_vbusOut;
    quint16 m_brokerPort = 0;
    bool m_failed = false;
};

}  // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    benchPinSelf();
    mosquitto_lib_init();
    Bench bench;
    if (!bench.start())
        return 1;
    const quint64 n = quint64(qEnvironmentVariableIntValue("CORVID_BENCH_MQTT_COUNT") > 0
                                  ? qEnvironmentVariableIntValue("CORVID_BENCH_MQTT_COUNT")
                                  : benchQuick() ? 2000 : 20000);
    std::vector<Row> rows;
    // 8 bytes as fast as the device gets them onto the bus; 1024 bytes (129 frames
    // each) at a rate the virtual bus carries whole.
    for (const int qos : {0, 1})
        for (const int size : {8, 1024})
            rows.push_back(bench.run(QStringLiteral("bus->MQTT QoS %1, %2 B").arg(qos).arg(size), true, qos, size,
                                     size > 8 ? 500 : 1e6, size > 8 ? n / 8 : n));
    // One offered rate, the server's CPU with and without the bridge.
    rows.push_back(bench.run(QStringLiteral("10,000/s 8 B, bridge off"), false, 1, 8, 10000, n * 3));
    rows.push_back(bench.run(QStringLiteral("10,000/s 8 B, bridge QoS 1"), true, 1, 8, 10000, n * 3));

    std::printf("%-28s %9s %9s %9s %9s %6s %6s %11s %14s\n", "case", "offered", "device", "server", "at sub",
                "lost", "order", "msgs/s", "server us/msg");
    for (const Row &r : rows)
        std::printf("%-28s %9llu %9llu %9llu %9llu %6lld %6llu %11.0f %14.2f\n", qPrintable(r.what),
                    (unsigned long long)r.offered, (unsigned long long)r.sent, (unsigned long long)r.atServer,
                    (unsigned long long)r.received,
                    r.what.contains("off") ? 0ll : (long long)(r.atServer - r.received),
                    (unsigned long long)r.outOfOrder, r.rate, r.cpuUsPerMsg);
    const Row &off = rows[rows.size() - 2], &on = rows.back();
    if (off.cpuUsPerMsg > 0)
        std::printf("the bridge adds %.0f %% to the server's CPU at 10,000/s\n",
                    100.0 * (on.cpuUsPerMsg - off.cpuUsPerMsg) / off.cpuUsPerMsg);
    return bench.failed() ? 1 : 0;
}
