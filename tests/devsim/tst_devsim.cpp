// The device simulator as a separate process on the virtual bus, seen from a
// bus device of the test's own that speaks the protocol through the engine.

#include "connectors/QSocketCAN_connector.h"
#include "engine/corvid_engine.h"
#include "engine/corvid_hardware.h"
#include "tests/common/received_message.h"
#include "tests/common/server_run.h"
#include "tests/common/virtual_bus.h"

#include <QCanBus>
#include <QProcess>
#include <QtTest>

namespace {

constexpr uint16_t kSim = 0x25;  // past 31: extended identifiers
constexpr uint16_t kUs = 3;

QString devsimBinary()
{
    return builtProgram(QStringLiteral("tools/devsim/corvid-devsim"));
}

}  // namespace

class TestDevsim : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup();
    void echoesOnlyItsOwnMessages();
    void streamArrivesWholeAndInOrder();
    void usageErrors();

private:
    bool joinBus();
    bool startSim(QProcess &p, const QStringList &extra);
    void send(uint16_t msgId, uint16_t to, const QByteArray &data);

    VirtualBusHost m_host;
    QSocketCAN_connector *m_bus = nullptr;
    QVector<ReceivedMessage> m_rx;
    QVector<uint16_t> m_errors;
};

void TestDevsim::initTestCase()
{
    corvid_register_metatypes();
    QVERIFY2(QFile::exists(devsimBinary()), qPrintable(devsimBinary()));
    QVERIFY(QCanBus::instance()->plugins().contains(QStringLiteral("virtualcan")));
    QVERIFY2(m_host.start(), qPrintable(m_host.error()));
}

void TestDevsim::cleanup()
{
    corvid_set_callbacks({}, {});
    corvid_clear_hardware();  // closes and deletes our bus device
    m_bus = nullptr;
    m_rx.clear();
    m_errors.clear();
}

bool TestDevsim::joinBus()
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

bool TestDevsim::startSim(QProcess &p, const QStringList &extra)
{
    QByteArray seen;
    return startUntil(p, devsimBinary(), QStringList{QStringLiteral("--address"), QStringLiteral("0x25")} + extra,
                      "joined", seen);
}

void TestDevsim::send(uint16_t msgId, uint16_t to, const QByteArray &data)
{
    corvid_message m = corvid_message_over(msgId, kUs, to, data);
    QCOMPARE(m_bus->sendCorvidMessage(&m), int64_t(data.size()));
}

void TestDevsim::echoesOnlyItsOwnMessages()
{
    QVERIFY(joinBus());
    QProcess sim;
    QVERIFY(startSim(sim, {}));

    send(0x111, 0x26, "not for the simulator");
    QByteArray big(3000, '\0');
    for (int i = 0; i < big.size(); ++i)
        big[i] = char(i * 31 + 5);
    send(0x112, kSim, "");
    send(0x113, kSim, big);
    // Answers come in order: the closing one shows nothing else came before it.
    send(0x114, kSim, "end");
    QTRY_COMPARE_WITH_TIMEOUT(m_rx.size(), 3, 10000);
    QCOMPARE(m_rx[2], (ReceivedMessage{0x114, kSim, kUs, "end"}));
    QCOMPARE(m_rx[0].msgId, uint16_t(0x112));
    QCOMPARE(m_rx[0].from, kSim);
    QCOMPARE(m_rx[0].to, kUs);
    QVERIFY(m_rx[0].data.isEmpty());
    QCOMPARE(m_rx[1].msgId, uint16_t(0x113));
    QCOMPARE(m_rx[1].data, big);
    QVERIFY(m_errors.isEmpty());

    // Each message for the simulator is one line on its stdout, data cut short.
    QByteArray out;
    QTRY_VERIFY_WITH_TIMEOUT((out += sim.readAllStandardOutput()).count("rx 0x") == 3, 5000);
    QVERIFY(out.contains("rx 0x0112 from 0x0003 to 0x0025, 0 bytes\n"));
    QVERIFY(out.contains("rx 0x0113 from 0x0003 to 0x0025, 3000 bytes: " + big.left(32).toHex() + "...\n"));
    QVERIFY(!out.contains("0x0111"));

    sim.terminate();
    QVERIFY(sim.waitForFinished(5000));
    QCOMPARE(sim.exitStatus(), QProcess::NormalExit);
    QCOMPARE(sim.exitCode(), 0);
    QVERIFY(sim.readAllStandardError().contains("3 received, 3 echoed"));
}

void TestDevsim::streamArrivesWholeAndInOrder()
{
    QVERIFY(joinBus());
    QProcess sim;
    const int count = 400;
    QVERIFY(startSim(sim, {QStringLiteral("--rate"), QStringLiteral("2000"), QStringLiteral("--count"),
                           QString::number(count), QStringLiteral("--length"), QStringLiteral("20"),
                           QStringLiteral("--to"), QString::number(kUs), QStringLiteral("--msg-id"),
                           QStringLiteral("0x77"), QStringLiteral("--exit-when-done")}));
    QVERIFY(sim.waitForFinished(20000));
    QCOMPARE(sim.exitCode(), 0);
    QVERIFY(sim.readAllStandardOutput().contains(
        QByteArray("stream done, ") + QByteArray::number(count) + " sent, 0 failed"));
    QTRY_COMPARE_WITH_TIMEOUT(m_rx.size(), count, 5000);
    for (int i = 0; i < count; ++i) {
        const ReceivedMessage &r = m_rx[i];
        QCOMPARE(r.msgId, uint16_t(0x77));
        QCOMPARE(r.from, kSim);
        QCOMPARE(r.to, kUs);
        QCOMPARE(r.data.size(), 20);
        uint64_t seq = 0;
        for (int b = 0; b < 8; ++b)
            seq |= uint64_t(uint8_t(r.data[b])) << (8 * b);
        QCOMPARE(seq, uint64_t(i));  // no loss, no double, no reordering
        for (int b = 8; b < 20; ++b)
            QCOMPARE(uint8_t(r.data[b]), uint8_t(b * 7 + 1));
    }
    QVERIFY(m_errors.isEmpty());
}

void TestDevsim::usageErrors()
{
    const QList<QStringList> bad = {
        {QStringLiteral("--address"), QStringLiteral("0x4000")},
        {QStringLiteral("--rate"), QStringLiteral("fast")},
        {QStringLiteral("--length"), QStringLiteral("65534")},
        {QStringLiteral("--exit-when-done")},
        {QStringLiteral("extra")},
    };
    for (const QStringList &args : bad) {
        QProcess p;
        p.start(devsimBinary(), args);
        QVERIFY(p.waitForFinished(5000));
        QCOMPARE(p.exitCode(), 2);
        QVERIFY2(p.readAllStandardError().startsWith("corvid-devsim: "), qPrintable(args.join(' ')));
    }
    QProcess help;
    help.start(devsimBinary(), {QStringLiteral("--help")});
    QVERIFY(help.waitForFinished(5000));
    QCOMPARE(help.exitCode(), 0);
    QVERIFY(help.readAllStandardOutput().contains("--rate"));
}

QTEST_GUILESS_MAIN(TestDevsim)
#include "tst_devsim.moc"
