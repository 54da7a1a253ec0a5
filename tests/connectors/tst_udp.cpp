// The UDP multicast link: two server programs on one group, raw datagrams sent
// by the test, and the connector under an in-process hub for live changes.
// Multicast stays inside the private network namespace of the test runner.

#include "app/InterfaceSelection.h"
#include "config/CorvidConfigData.h"
#include "connectors/UDP_Connector.h"
#include "engine/CorvidEngine.h"
#include "server/CorvidServer.h"
#include "tests/common/bus_reference.h"
#include "tests/common/diagnostic_capture.h"
#include "tests/common/received_message.h"
#include "tests/common/server_run.h"
#include "tests/common/wire_client.h"

#include <QScopeGuard>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QUdpSocket>

namespace {

const QString kGroup = QStringLiteral("239.255.67.1");
const QString kOtherGroup = QStringLiteral("239.255.67.2");
const QString kThirdGroup = QStringLiteral("239.255.67.3");
const bool kInNetns = qEnvironmentVariable("CORVID_NETNS") == QLatin1String("1");

using Msg = ReceivedMessage;
using Msgs = QVector<Msg>;

// One message as it stands in a datagram, written out from the layout.
QByteArray wire(const Msg &m)
{
    return le16(m.msgId) + le16(m.from) + le16(m.to) + le16(m.data.size()) + m.data;
}

uint16_t freeUdpPort()
{
    QUdpSocket probe;
    probe.bind(QHostAddress(QHostAddress::AnyIPv4), 0);
    return probe.localPort();
}

// Messages from the bus (not echoes of other applications) seen by a client.
Msgs busMessages(const WireClient &c)
{
    Msgs out;
    for (const WireMessage &m : c.messages())
        if (m.dir == 0)
            out.push_back({m.id, m.from, m.to, m.data});
    return out;
}

}  // namespace

Q_DECLARE_METATYPE(Msg)

class TestUdp : public QObject {
    Q_OBJECT
    uint16_t m_port = 0, m_probes = 0;
    ServerRun m_a, m_b;
    WireClient m_managerA, m_managerB;
    QUdpSocket m_raw;

    bool sendRaw(const QByteArray &datagram, const QString &group, uint16_t port) {
        return m_raw.writeDatagram(datagram, QHostAddress(group), port) == datagram.size();
    }
    // Once client B has a message sent after them, all earlier datagrams are dealt with.
    void probe() {
        const Msg p{++m_probes, 0x7E, 0x01, QByteArray("probe")};
        QVERIFY(sendRaw(wire(p), kGroup, m_port));
        QTRY_VERIFY_WITH_TIMEOUT(busMessages(m_managerB).contains(p), 10000);
    }

private slots:
    void initTestCase() {
        corvid_register_metatypes();
        const QString server = builtProgram(QStringLiteral("app/corvid-server"));
        QVERIFY2(QFile::exists(server), qPrintable(server));
        if (!kInNetns)
            return;
        m_port = freeUdpPort();
        QVERIFY(m_raw.bind(QHostAddress(QHostAddress::AnyIPv4), 0));
        for (ServerRun *run : {&m_a, &m_b}) {
            const uint16_t tcp = freePort();
            QVERIFY(run->configure(headlessParams(tcp, QStringLiteral("UDP")) +
                                   ConfigParams{{"UdpHostName", kGroup}, {"UdpPortName", QString::number(m_port)},
                                                {"MaxTCPClients", "4"}}));
            run->start();
            QVERIFY2(run->waitStarted(tcp), qPrintable(run->errorLog()));
            WireClient &c = run == &m_a ? m_managerA : m_managerB;
            QVERIFY(c.open(tcp) && c.identify(run == &m_a ? "managerA" : "managerB", false));
            // The link comes up with the hub's rebuild about a second after start.
            QTRY_VERIFY_WITH_TIMEOUT(c.states().contains(uint32_t(AbstractConnector::HW_READY)), 10000);
        }
    }
    void init() {
        if (!kInNetns)
            QSKIP("multicast runs only in the private network namespace of scripts/isolated (CORVID_NETNS=1)");
    }

    void managerToOtherServer_data() {
        QTest::addColumn<int>("size");
        for (int size : {0, 1, 1400})
            QTest::newRow(qPrintable(QStringLiteral("%1 data bytes").arg(size))) << size;
    }
    void managerToOtherServer() {
        QFETCH(int, size);
        const Msg m{uint16_t(0x4000 + size), 0x01, 0x2A, reference_pattern(size, size)};
        m_managerA.send(7, m.msgId, m.from, m.to, m.data);
        QTRY_VERIFY_WITH_TIMEOUT(busMessages(m_managerB).contains(m), 10000);
        QCOMPARE(busMessages(m_managerB).count(m), 1);
        // A's own datagram looped back by the group is no bus message there:
        // checked once a message from B has come back through the group.
        const Msg back{uint16_t(0x5000 + size), 0x2A, 0x01, QByteArray("ack")};
        m_managerB.send(8, back.msgId, back.from, back.to, back.data);
        QTRY_VERIFY_WITH_TIMEOUT(busMessages(m_managerA).contains(back), 10000);
        QVERIFY(!busMessages(m_managerA).contains(m));
        QVERIFY(!busMessages(m_managerB).contains(back));
    }

    void rawDatagrams_data() {
        QTest::addColumn<QByteArray>("datagram");
        QTest::addColumn<Msgs>("delivered");
        QTest::addColumn<QString>("warning");
        const Msg a{0x0101, 0x05, 0x01, "first"}, b{0x0102, 0x05, 0x01, reference_pattern(300, 3)};
        const Msg empty{0xFFF1, 0x300, 0x01, {}};
        const QString w =
            QStringLiteral("UDP datagram of %1 bytes: its last %2 bytes make no whole message and are dropped");
        QTest::newRow("one message") << QByteArray("\x01\x01\x05\x00\x01\x00\x05\x00" "first", 13) << Msgs{a}
                                     << QString();
        QTest::newRow("two messages") << wire(a) + wire(b) << Msgs{a, b} << QString();
        QTest::newRow("no data, then three bytes") << wire(empty) + "xyz" << Msgs{empty} << w.arg(11).arg(3);
        QTest::newRow("truncated") << wire(b).left(50) << Msgs{} << w.arg(50).arg(50);
        QTest::newRow("garbage") << QByteArray("\xde\xad\xbe\xef\x00", 5) << Msgs{} << w.arg(5).arg(5);
        QTest::newRow("empty") << QByteArray() << Msgs{} << QString();
    }
    void rawDatagrams() {
        QFETCH(QByteArray, datagram);
        QFETCH(Msgs, delivered);
        QFETCH(QString, warning);
        const int before = busMessages(m_managerB).size();
        const QString tail = QStringLiteral("make no whole message");
        const int warningsBefore = m_b.errorLog().count(tail);
        QUdpSocket sender;  // a sender of its own: a sender's first malformed datagram is said
        QVERIFY(sender.writeDatagram(datagram, QHostAddress(kGroup), m_port) == datagram.size());
        probe();
        QCOMPARE(busMessages(m_managerB).mid(before), (delivered + Msgs{{m_probes, 0x7E, 0x01, "probe"}}));
        const QString log = m_b.errorLog();
        QCOMPARE(log.count(tail) - warningsBefore, warning.isEmpty() ? 0 : 1);
        QVERIFY2(warning.isEmpty() || log.contains(warning), qPrintable(warning));
    }

    // Stopped, B cannot read: the whole burst waits in its socket and is
    // there at the first notification after it goes on.
    void burstAtOneNotification() {
        const int before = busMessages(m_managerB).size();
        QCOMPARE(::kill(pid_t(m_b.proc.processId()), SIGSTOP), 0);
        auto resume = qScopeGuard([this] { ::kill(pid_t(m_b.proc.processId()), SIGCONT); });
        Msgs sent;
        for (int i = 0; i < 120; ++i) {
            sent.push_back({0x0600, uint16_t(i), 0x01, reference_pattern(64, i)});
            QVERIFY(sendRaw(wire(sent.last()), kGroup, m_port));
        }
        resume.dismiss();
        ::kill(pid_t(m_b.proc.processId()), SIGCONT);
        QTRY_COMPARE_WITH_TIMEOUT(busMessages(m_managerB).size() - before, sent.size(), 10000);
        QCOMPARE(busMessages(m_managerB).mid(before), sent);
    }

    void portInUseAndRefusedSend() {
        QUdpSocket holder;
        QVERIFY(holder.bind(QHostAddress(QHostAddress::AnyIPv4), 0, QAbstractSocket::DontShareAddress));
        UDP_Connector conn(kGroup, holder.localPort());
        DiagnosticCapture diagnostics(true);
        conn.HW_init();
        // Cannot receive, but can still send: ready, and says so.
        QCOMPARE(int(conn.state), int(AbstractConnector::HW_READY));
        QCOMPARE(diagnostics.count(QtInfoMsg, QStringLiteral("IPv4 failed. Ready to multicast datagrams to group "
                                                             "%1 on port %2").arg(kGroup).arg(holder.localPort())), 1);
        QVERIFY(holder.joinMulticastGroup(QHostAddress(kGroup)));
        const QByteArray three("abc"), huge(65535, 'h');
        corvid_message m = corvid_message_over(0x0102, 0x0304, 0x0506, three);
        QCOMPARE(conn.sendCorvidMessage(&m), int64_t(3));
        QTRY_VERIFY(holder.hasPendingDatagrams());
        QByteArray got(int(holder.pendingDatagramSize()), '\0');
        holder.readDatagram(got.data(), got.size());
        QCOMPARE(got, QByteArray("\x02\x01\x04\x03\x06\x05\x03\x00" "abc", 11));
        // No datagram holds 8 + 65535 bytes: the socket refuses, and so does the link.
        corvid_message big = corvid_message_over(1, 2, 3, huge);
        QCOMPARE(conn.sendCorvidMessage(&big), int64_t(-1));
        QCOMPARE(conn.txBytesCount(), uint64_t(11));
    }

    // Junk from the group is said once per sender, then counted; the count
    // comes out at most once per interval (a minute unless set).
    void junkIsCounted() {
        const uint16_t port = freeUdpPort();
        UDP_Connector conn(kOtherGroup, port);
        conn.malformedReportMs = 200;
        QList<uint16_t> ids;
        connect(&conn, &AbstractConnector::messageReceived, this,
                [&ids](const corvid_owned_message &m, const AX25HeaderOpt &) { ids << m.msg_id; });
        DiagnosticCapture diag;
        conn.HW_init();
        QUdpSocket a, b;
        const QHostAddress group(kOtherGroup);
        for (int i = 0; i < 5000; ++i) {
            a.writeDatagram(QByteArray("\x01\x02junk", 6), group, port);
            if (i % 2000 == 0)
                b.writeDatagram(QByteArray(7, 'b'), group, port);
            if (i % 200 == 199) {  // paced, so that the socket buffer never overflows
                QVERIFY(a.writeDatagram(wire({uint16_t(i), 1, 2, {}}), group, port) == 8);
                QTRY_VERIFY(ids.contains(uint16_t(i)));
            }
        }
        // Looped back, a datagram may come without its source address: the port tells the senders apart.
        const QString pattern = QStringLiteral("^(\\d+) more malformed UDP datagrams from [0-9.]+:%1 were dropped$");
        auto counted = [&](const QUdpSocket &from) {
            const QRegularExpression re(pattern.arg(from.localPort()));
            int n = 0;
            for (const QString &t : diag.texts(QtWarningMsg))
                n += re.match(t).captured(1).toInt();
            return n;
        };
        QTRY_VERIFY(counted(a) == 4999 && counted(b) == 2);
        const QString first = QStringLiteral("^UDP datagram of %1 bytes: its last %1 bytes make no whole message and "
                                             "are dropped \\(from [0-9.]+:%2; more from there are counted\\)$");
        const QStringList said = diag.texts(QtWarningMsg, QStringLiteral("UDP datagram of"));
        QCOMPARE(said.size(), 2);
        QVERIFY(said[0].contains(QRegularExpression(first.arg(6).arg(a.localPort()))));
        QVERIFY(said[1].contains(QRegularExpression(first.arg(7).arg(b.localPort()))));
        QVERIFY(diag.texts().join(QString()).size() < 5000);
    }

    void liveChanges() {
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("server_config.xml"));
        // Without host and port: the group and port the built-in default and the manual name.
        QVERIFY(writeConfig(file, {{"Interface", "UDP"}}));
        CorvidConfigData bare(file);
        CorvidEngine spare;
        const std::unique_ptr<AbstractConnector> fallback(createConnector(&bare, spare, false));
        const auto *udp = qobject_cast<UDP_Connector *>(fallback.get());
        QVERIFY(udp && udp->hostName() == QLatin1String("239.255.43.34") && udp->port() == 3434);
        const uint16_t port1 = freeUdpPort(), port2 = freeUdpPort();
        QVERIFY(port1 != port2);
        QVERIFY(writeConfig(file, {{"Interface", "UDP"}, {"UdpHostName", kOtherGroup},
                                   {"UdpPortName", QString::number(port1)}}));
        CorvidConfigData config(file);
        CorvidEngine engine;
        CorvidServer hub(createConnector(&config, engine, false), &config, 0, nullptr);
        hub.setConnectorFactory([&](bool gui) { return createConnector(&config, engine, gui); });
        hub.attachToEngine(engine);
        hub.connector()->HW_init();
        QSignalSpy log(&hub, &CorvidServer::signalLogData);
        // Only what reaches the hub from the link counts: each step sends to the
        // old setting first, then to the new one, and waits for the second.
        auto deliveredIds = [&log] {
            QList<uint16_t> ids;
            for (const auto &call : log)
                if (!call.at(2).toBool())
                    ids << call.at(0).value<corvid_message>().msg_id;
            return ids;
        };
        auto step = [&](const QString &staleGroup, uint16_t stalePort, const QString &group, uint16_t port,
                        uint16_t id) {
            if (!staleGroup.isEmpty())
                QVERIFY(sendRaw(wire({uint16_t(id + 1), 1, 2, "stale"}), staleGroup, stalePort));
            QVERIFY(sendRaw(wire({id, 1, 2, "live"}), group, port));
            QTRY_VERIFY_WITH_TIMEOUT(deliveredIds().contains(id), 10000);
            QVERIFY(!deliveredIds().contains(uint16_t(id + 1)));
        };
        step(QString(), 0, kOtherGroup, port1, 0x10);
        hub.slotParamChanged(QStringLiteral("UdpPortName"), QStringLiteral("0x%1").arg(port2, 0, 16));
        step(kOtherGroup, port1, kOtherGroup, port2, 0x20);
        hub.slotParamChanged(QStringLiteral("UdpHostName"), kThirdGroup);
        step(kOtherGroup, port2, kThirdGroup, port2, 0x30);
        // A rebuilt link keeps the live settings.
        hub.slotParamChanged(QStringLiteral("Interface"), QStringLiteral("UDP"));
        step(kOtherGroup, port2, kThirdGroup, port2, 0x40);
    }
};

QTEST_GUILESS_MAIN(TestUdp)
#include "tst_udp.moc"
