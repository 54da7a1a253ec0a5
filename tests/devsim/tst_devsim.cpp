// The device simulator as a separate process on the virtual bus, seen from a bus device of the test's own.

#include "connectors/QSocketCAN_connector.h"
#include "engine/corvid_engine.h"
#include "engine/corvid_hardware.h"
#include "tests/common/received_message.h"
#include "tests/common/server_run.h"
#include "tests/common/virtual_bus.h"

#include <QCanBus>
#include <QProcess>
#include <QtEndian>
#include <QtTest>

namespace {

constexpr uint16_t kSim = 0x25;  // past 31: extended identifiers
constexpr uint16_t kUs = 3;
const QString kBinary = builtProgram(QStringLiteral("tools/devsim/corvid-devsim"));

}  // namespace

class TestDevsim : public QObject {
    Q_OBJECT
    VirtualBusHost m_host;
    QSocketCAN_connector *m_bus = nullptr;
    QVector<ReceivedMessage> m_rx;
    QVector<uint16_t> m_errors;

    // Our own device on the bus, collecting what reaches us.
    bool joinBus()
    {
        corvid_set_callbacks(
            [this](const corvid_message *m, const AX25Header *) {
                m_rx.push_back({m->msg_id, m->address_from, m->address_to,
                                QByteArray(reinterpret_cast<const char *>(m->data), m->length)});
            },
            [this](uint16_t code) { m_errors.push_back(code); });
        m_bus = new QSocketCAN_connector(QStringLiteral("virtualcan"), QStringLiteral("can0"));
        corvid_set_hardware(m_bus);
        return QTest::qWaitFor([this] { return m_bus->state == AbstractConnector::HW_READY; }, 5000);
    }
    void send(uint16_t msgId, uint16_t to, const QByteArray &data)
    {
        corvid_message m = corvid_message_over(msgId, kUs, to, data);
        QCOMPARE(m_bus->sendCorvidMessage(&m), int64_t(data.size()));
    }

private slots:
    void initTestCase()
    {
        corvid_register_metatypes();
        QVERIFY2(QFile::exists(kBinary), qPrintable(kBinary));
        QVERIFY(QCanBus::instance()->plugins().contains(QStringLiteral("virtualcan")));
        QVERIFY2(m_host.start(), qPrintable(m_host.error()));
    }
    void cleanup()
    {
        corvid_set_callbacks({}, {});
        corvid_clear_hardware();  // closes and deletes our bus device
        m_bus = nullptr;
        m_rx.clear();
        m_errors.clear();
    }

    void echoesOnlyItsOwnMessages()
    {
        QVERIFY(joinBus());
        QProcess sim;
        QByteArray out;
        QVERIFY(startUntil(sim, kBinary, {QStringLiteral("--address"), QStringLiteral("0x25")}, "joined", out));
        send(0x111, 0x26, "not for the simulator");
        const QByteArray big = QByteArray(1000, 'x') + QByteArray(2000, 'y');
        send(0x113, kSim, big);
        // Answers come in order: the closing one shows nothing else came before it.
        send(0x114, kSim, "end");
        QTRY_COMPARE_WITH_TIMEOUT(m_rx.size(), 2, 10000);
        QCOMPARE(m_rx, (QVector<ReceivedMessage>{{0x113, kSim, kUs, big}, {0x114, kSim, kUs, "end"}}));
        QVERIFY(m_errors.isEmpty());

        // One line per message on stdout, data cut short; a count when it ends.
        QTRY_VERIFY_WITH_TIMEOUT((out += sim.readAllStandardOutput()).count("rx 0x") == 2, 5000);
        QVERIFY(out.contains("rx 0x0113 from 0x0003 to 0x0025, 3000 bytes: " + big.left(32).toHex() + "...\n"));
        QVERIFY(!out.contains("0x0111"));
        sim.terminate();
        QVERIFY(sim.waitForFinished(5000));
        QCOMPARE(sim.exitCode(), 0);
        QVERIFY(sim.readAllStandardError().contains("2 received, 2 echoed"));
    }

    void streamArrivesWholeAndInOrder()
    {
        QVERIFY(joinBus());
        const int count = 400;
        QProcess sim;
        QByteArray out;
        const QString args = QStringLiteral("--address 0x25 --rate 2000 --count %1 --length 20 --to %2 --msg-id 0x77 "
                                            "--exit-when-done").arg(count).arg(kUs);
        QVERIFY(startUntil(sim, kBinary, args.split(' '), "joined", out));
        QVERIFY(sim.waitForFinished(20000));
        QCOMPARE(sim.exitCode(), 0);
        QVERIFY((out += sim.readAllStandardOutput()).contains("stream done, 400 sent, 0 failed"));
        QTRY_COMPARE_WITH_TIMEOUT(m_rx.size(), count, 5000);
        // A sequence number (8 bytes, little-endian), then a fixed pattern: no loss, no double, no reordering.
        QByteArray pattern;
        for (int b = 8; b < 20; ++b)
            pattern += char(b * 7 + 1);
        for (int i = 0; i < count; ++i) {
            QByteArray seq(8, '\0');
            qToLittleEndian(quint64(i), seq.data());
            QCOMPARE(m_rx[i], (ReceivedMessage{0x77, kSim, kUs, seq + pattern}));
        }
        QVERIFY(m_errors.isEmpty());
    }

    void usageErrors()
    {
        for (const char *args : {"--address 0x4000", "--rate fast", "--length 65534", "--exit-when-done", "extra"}) {
            QProcess p;
            p.start(kBinary, QString::fromLatin1(args).split(' '));
            QVERIFY(p.waitForFinished(5000));
            QCOMPARE(p.exitCode(), 2);
            QVERIFY2(p.readAllStandardError().startsWith("corvid-devsim: "), args);
        }
    }
};

QTEST_GUILESS_MAIN(TestDevsim)
#include "tst_devsim.moc"
