// The device simulator as a separate process on the virtual bus, seen from a bus device of the test's own.

#include "connectors/QSocketCAN_connector.h"
#include "engine/CorvidEngine.h"
#include "tests/common/received_message.h"
#include "tests/common/server_run.h"
#include "tests/common/virtual_bus.h"

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

private slots:
    void initTestCase()
    {
        corvid_register_metatypes();
        QVERIFY2(QFile::exists(kBinary), qPrintable(kBinary));
        QVERIFY2(m_host.start(), qPrintable(m_host.error()));
    }

    void streamArrivesWholeAndInOrder()
    {
        QVector<ReceivedMessage> rx;
        QVector<uint16_t> errors;
        CorvidEngine engine;
        engine.setMessageHandler([&rx](const corvid_message *m) {
            rx.push_back({m->msg_id, m->address_from, m->address_to,
                          QByteArray(reinterpret_cast<const char *>(m->data), m->length)});
        });
        engine.setErrorHandler([&errors](uint16_t code) { errors.push_back(code); });
        QSocketCAN_connector bus(engine, QStringLiteral("virtualcan"), QStringLiteral("can0"));
        engine.setHardware(&bus);
        QTRY_COMPARE(bus.state, AbstractConnector::HW_READY);

        const int count = 400;
        ChildProcess sim;
        QByteArray out;
        const QString args = QStringLiteral("--address 0x25 --rate 2000 --count %1 --length 20 --to %2 --msg-id 0x77 "
                                            "--exit-when-done").arg(count).arg(kUs);
        QVERIFY(startUntil(sim, kBinary, args.split(' '), "joined", out));
        QVERIFY(sim.waitForFinished(20000));
        QCOMPARE(sim.exitCode(), 0);
        QVERIFY((out += sim.readAllStandardOutput()).contains("stream done, 400 sent, 0 failed"));
        QTRY_COMPARE_WITH_TIMEOUT(rx.size(), count, 5000);
        // A sequence number (8 bytes, little-endian), then a fixed pattern: no loss, no double, no reordering.
        QByteArray pattern;
        for (int b = 8; b < 20; ++b)
            pattern += char(b * 7 + 1);
        for (int i = 0; i < count; ++i) {
            QByteArray seq(8, '\0');
            qToLittleEndian(quint64(i), seq.data());
            QCOMPARE(rx[i], (ReceivedMessage{0x77, kSim, kUs, seq + pattern}));
        }
        QVERIFY(errors.isEmpty());
    }

    void usageErrors()
    {
        for (const char *args : {"--address 0x4000", "--rate fast", "--length 65534", "--exit-when-done", "extra"}) {
            ChildProcess p;
            p.start(kBinary, QString::fromLatin1(args).split(' '));
            QVERIFY(p.waitForFinished(5000));
            QCOMPARE(p.exitCode(), 2);
            QVERIFY2(p.readAllStandardError().startsWith("corvid-devsim: "), args);
        }
    }
};

QTEST_GUILESS_MAIN(TestDevsim)
#include "tst_devsim.moc"
