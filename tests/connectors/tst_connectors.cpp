// The CAN bus connector on Qt's virtual CAN bus: device selection, the link
// state, engine messages on the bus and back, and losing the bus.
//
// The bus is hosted by corvid-vbus: the plugin's server lives as long as the
// process that started it, so only a separate process can take the bus away
// from the connector.

#include "connectors/QSocketCAN_connector.h"
#include "engine/corvid_engine.h"
#include "engine/corvid_hardware.h"
#include "tests/common/bus_peer.h"
#include "tests/common/can_reference.h"
#include "tests/common/diagnostic_capture.h"
#include "tests/common/received_message.h"
#include "tests/common/recording_prompt.h"
#include "tests/common/virtual_bus.h"

#include <QCanBus>
#include <QCanBusDevice>
#include <QProcess>
#include <QSignalSpy>
#include <QtTest>

#include <memory>
#include <vector>

namespace {

const QString kVirtual = QStringLiteral("virtualcan");

using Received = ReceivedMessage;

// Records every diagnostic while alive and passes it on.
struct MessageCapture : DiagnosticCapture {
    MessageCapture() : DiagnosticCapture(true) {}
};

} // namespace

class tst_connectors : public QObject {
    Q_OBJECT
private:
    VirtualBusHost host;
    std::vector<Received> messages;
    std::vector<uint16_t> errors;

    static QSocketCAN_connector *bindConnector() {
        auto *c = new QSocketCAN_connector(kVirtual, QStringLiteral("CAN0"));
        corvid_set_hardware(c);  // the binding initialises it
        return c;
    }

    // A frame from the peer through to the engine proves both ends are
    // registered on the channel (the server may take either first). Probes
    // are numbered so that the last one sent marks the end of the stream.
    void syncBus(Peer &peer) {
        QTRY_COMPARE_WITH_TIMEOUT(peer.dev->state(), QCanBusDevice::ConnectedState, 10000);
        messages.clear();
        uint16_t sent = 0;
        for (int i = 0; i < 100 && messages.empty(); ++i) {
            QVERIFY(peer.dev->writeFrame(canFrame(false, 31u << 5 | 31u, le16(++sent))));
            QTest::qWait(50);
        }
        QVERIFY2(!messages.empty(), "the connector hears the peer");
        QTRY_COMPARE_WITH_TIMEOUT(messages.back().msgId, sent, 10000);
        messages.clear();
    }

    // Sends a message and returns the frames that reach the peer, up to and
    // including a closing single frame, so that late duplicates show.
    QStringList sendAndCollect(QSocketCAN_connector *c, Peer &peer, corvid_message m) {
        peer.frames.clear();
        const uint64_t tx = c->txBytesCount();
        const int64_t result = c->sendCorvidMessage(&m);
        const uint64_t counted = c->txBytesCount() - tx;
        QByteArray none;
        corvid_message marker = corvid_message_over(0x7E57, 1, 2, none);
        c->sendCorvidMessage(&marker);
        const QString end = frameText(canFrame(false, 1u << 5 | 2u, le16(0x7E57)));
        for (int i = 0; i < 400 && (peer.frames.isEmpty() || frameText(peer.frames.last()) != end); ++i)
            QTest::qWait(25);
        QStringList got = frameTexts(peer.frames);
        if (!got.isEmpty() && got.last() == end)
            got.removeLast();
        else
            got << QStringLiteral("(closing frame missing)");
        if (counted != 16u * uint64_t(got.size()))
            got << QStringLiteral("(txBytesCount grew by %1)").arg(counted);
        if (result != m.length)
            got << QStringLiteral("(result %1)").arg(result);
        return got;
    }

private slots:
    void initTestCase() {
        qRegisterMetaType<AbstractConnector::HWState>();
        corvid_register_metatypes();
        QVERIFY2(host.start(), qPrintable(host.error()));
    }
    void init() {
        messages.clear();
        errors.clear();
        corvid_set_callbacks(
            [this](const corvid_message *m, const AX25Header *) {
                messages.push_back({m->msg_id, m->address_from, m->address_to,
                                    QByteArray(reinterpret_cast<const char *>(m->data), m->length)});
            },
            [this](uint16_t code) { errors.push_back(code); });
    }
    void cleanup() {
        corvid_clear_hardware();
        corvid_set_callbacks({}, {});
        QSocketCAN_connector::setAdapterChooser({});
    }
    void cleanupTestCase() { QCOMPARE(host.stop(), 0); }

    void pluginAndDiscovery() {
        for (const char *s : {"socketcan", "SocketCAN", "SOCKETCAN", "my-SocketCan-0"}) {
            QCOMPARE(QSocketCAN_connector::pluginFor(QLatin1String(s)), QStringLiteral("kq-qt-socketcan"));
            QCOMPARE(QSocketCAN_connector::searchNameFor(QLatin1String(s)), QStringLiteral("kq-qt-socketcan"));
        }
        for (const char *s : {"virtualcan", "VirtualCAN", "", "UsbTin", "socket can"}) {
            QCOMPARE(QSocketCAN_connector::pluginFor(QLatin1String(s)), kVirtual);
            QCOMPARE(QSocketCAN_connector::searchNameFor(QLatin1String(s)), kVirtual);
        }

        const QList<QCanBusDeviceInfo> listed = QCanBus::instance()->availableDevices(kVirtual);
        QStringList infos, choices, candidates;
        for (const QCanBusDeviceInfo &i : listed) {
            infos << QStringLiteral("Device info: ") + i.description();
            if (i.description().contains(QLatin1String("CAN"), Qt::CaseInsensitive)) {
                candidates << i.name();
                choices << i.name() + QStringLiteral(", ") + i.description();
            }
        }
        QVERIFY2(candidates.size() >= 2, "the plugin lists at least two CAN channels");

        {   // A name matching ignoring case is taken at once.
            MessageCapture log;
            QSocketCAN_connector c(kVirtual, listed.first().name().toUpper());
            QCOMPARE(c.deviceName(), listed.first().name());
            QCOMPARE(log.texts(QtInfoMsg, QStringLiteral("Device info: ")), infos.mid(0, 1));
            QCOMPARE(c.state, AbstractConnector::HW_NOTINIT);
            QCOMPARE(c.device(), nullptr);  // nothing is opened before HW_init
        }
        int asked = 0;
        QSocketCAN_connector::setAdapterChooser([&](const QStringList &) {
            ++asked;
            return 1;
        });
        {   // With the window too, and the chooser is not asked.
            QSocketCAN_connector c(kVirtual, listed.first().name().toUpper(), nullptr, true);
            QCOMPARE(c.deviceName(), listed.first().name());
            QCOMPARE(asked, 0);
        }
        {   // No match, no window: the last CAN device.
            MessageCapture log;
            QSocketCAN_connector c(kVirtual, QStringLiteral("nosuchdev"));
            QCOMPARE(c.deviceName(), candidates.last());
            QCOMPARE(log.texts(QtInfoMsg, QStringLiteral("Device info: ")), infos);
            QCOMPARE(log.count(QtCriticalMsg, QStringLiteral("No socket CAN interfaces found. Connection failed.")), 0);
        }
        {   // No match with the window: the chooser is offered every candidate.
            QStringList offered;
            QSocketCAN_connector::setAdapterChooser([&](const QStringList &c) {
                offered = c;
                return 0;
            });
            QSocketCAN_connector c(kVirtual, QStringLiteral("nosuchdev"), nullptr, true);
            QCOMPARE(offered, choices);
            QCOMPARE(c.deviceName(), candidates.first());
        }
    }

    void initReachesReady() {
        std::unique_ptr<QSocketCAN_connector> c(new QSocketCAN_connector(kVirtual, QStringLiteral("can0")));
        QSignalSpy spy(c.get(), &AbstractConnector::stateChanges);
        MessageCapture log;
        c->HW_init();
        QVERIFY(c->device());
        QCOMPARE(c->device()->state(), QCanBusDevice::ConnectingState);
        QCOMPARE(c->state, AbstractConnector::HW_NOTINIT);  // not before the device says so
        QTRY_COMPARE_WITH_TIMEOUT(c->state, AbstractConnector::HW_READY, 10000);
        QCOMPARE(c->device()->state(), QCanBusDevice::ConnectedState);
        QCOMPARE(spy.count(), 1);
        QCOMPARE(spy.at(0).at(0).value<AbstractConnector::HWState>(), AbstractConnector::HW_READY);
        QCOMPARE(log.count(QtInfoMsg, QStringLiteral("virtualcan connected, port: can0")), 1);

        QCanBusDevice *device = c->device();
        c->HW_init();  // again while ready: nothing changes
        QCOMPARE(c->device(), device);
        QCOMPARE(spy.count(), 1);

        c->HW_close();
        QCOMPARE(c->state, AbstractConnector::HW_NOTINIT);
        QCOMPARE(c->device(), nullptr);
        QCOMPARE(spy.count(), 2);
        QCOMPARE(spy.at(1).at(0).value<AbstractConnector::HWState>(), AbstractConnector::HW_NOTINIT);
        QCOMPARE(log.count(QtInfoMsg, QStringLiteral("Socket CAN disconnected")), 1);

        c->HW_init();
        QTRY_COMPARE_WITH_TIMEOUT(c->state, AbstractConnector::HW_READY, 10000);
        QCOMPARE(spy.count(), 3);
    }

    void engineMessagesOnTheBus() {
        QSocketCAN_connector *c = bindConnector();
        QCOMPARE(corvid_get_hardware(), c);
        QTRY_COMPARE_WITH_TIMEOUT(c->state, AbstractConnector::HW_READY, 10000);
        Peer peer;
        syncBus(peer);
        if (QTest::currentTestFailed())
            return;

        QByteArray empty;
        QCOMPARE(sendAndCollect(c, peer, corvid_message_over(0x1234, 3, 17, empty)),
                 QStringList{QStringLiteral("S 071 [34 12]")});

        QByteArray six = bytes({1, 2, 3, 4, 5, 6});
        QCOMPARE(sendAndCollect(c, peer, corvid_message_over(0xBEEF, 3, 17, six)),
                 QStringList{QStringLiteral("S 071 [ef be 01 02 03 04 05 06]")});

        // Address 100 needs the extended id 100 << 14 | 7.
        QByteArray seven = bytes({0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6});
        const QByteArray crc = le16(reference_crc(seven)).toHex();
        QCOMPARE(sendAndCollect(c, peer, corvid_message_over(0x0102, 100, 7, seven)),
                 (QStringList{QStringLiteral("X 00190007 [fe ff 02 01 09 00]"),
                              QStringLiteral("X 10190007 [a0 a1 a2 a3 a4 a5 a6 %1]").arg(QLatin1String(crc.left(2))),
                              QStringLiteral("X 10190007 [%1]").arg(QLatin1String(crc.mid(2)))}));

        QByteArray big(1000, Qt::Uninitialized);
        for (int i = 0; i < big.size(); ++i)
            big[i] = char(i * 7 + 3);
        const QStringList expected = frameTexts(longMessage(false, 2u << 5 | 30u, 0x4242, big));
        QCOMPARE(expected.size(), 127);
        QCOMPARE(expected.first(), QStringLiteral("S 05e [fe ff 42 42 ea 03]"));
        QCOMPARE(sendAndCollect(c, peer, corvid_message_over(0x4242, 2, 30, big)), expected);
        QTRY_COMPARE(c->queuedFrames(), 0);
        QVERIFY(!c->isWriting());
        QCOMPARE(errors, std::vector<uint16_t>{});

        // What the engine refuses is a failed send, not a sent one.
        QByteArray two("no");
        QCOMPARE(sendAndCollect(c, peer, corvid_message_over(0x10, 0x4000, 2, two)),
                 QStringList{QStringLiteral("(result -1)")});
        QCOMPARE(errors, std::vector<uint16_t>{CAN_CAN_IDENTIFIER_EXT_TOO_LONG});
    }

    void busFramesReachTheEngine() {
        QSocketCAN_connector *c = bindConnector();
        QTRY_COMPARE_WITH_TIMEOUT(c->state, AbstractConnector::HW_READY, 10000);
        Peer peer;
        syncBus(peer);
        if (QTest::currentTestFailed())
            return;
        QSignalSpy ready(c, &AbstractConnector::can_message_ready);
        const uint64_t rxCount = c->rxCANCount(), rxBytes = c->rxBytesCount();

        QVERIFY(peer.dev->writeFrame(canFrame(false, 9u << 5 | 4u, bytes({0x34, 0x12, 'h', 'i'}))));
        QByteArray twenty("twenty bytes of data");
        const QVector<QCanBusFrame> longFrames = longMessage(true, 300u << 14 | 5u, 0x77, twenty);
        for (const QCanBusFrame &f : longFrames)
            QVERIFY(peer.dev->writeFrame(f));
        QCanBusFrame remote(0x123, QByteArray());
        remote.setFrameType(QCanBusFrame::RemoteRequestFrame);
        QVERIFY(peer.dev->writeFrame(remote));
        QVERIFY(peer.dev->writeFrame(canFrame(true, 0x18FF10, bytes({0x05, 0x00, 0x2A}))));
        const int sent = 3 + longFrames.size();
        QTRY_COMPARE_WITH_TIMEOUT(ready.count(), sent, 10000);

        const can_message last = ready.last().at(0).value<can_message>();
        QCOMPARE(last.can_identifier, 0x18FF10u);
        QCOMPARE(int(last.can_extbit), 1);
        QCOMPARE(int(last.can_rtr), 0);
        QCOMPARE(int(last.can_dlc), 3);
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(last.data), 3), bytes({0x05, 0x00, 0x2A}));
        const can_message rtr = ready.at(sent - 2).at(0).value<can_message>();
        QCOMPARE(int(rtr.can_rtr), 1);
        QCOMPARE(int(rtr.can_extbit), 0);
        QCOMPARE(rtr.can_identifier, 0x123u);
        QCOMPARE(int(rtr.can_dlc), 0);
        QCOMPARE(int(ready.at(1).at(0).value<can_message>().can_extbit), 1);

        QCOMPARE(c->rxCANCount(), rxCount + sent);
        QCOMPARE(c->rxBytesCount(), rxBytes + 16 * sent);
        QCOMPARE(c->rxCurrentBytesCount(), 16u);
        // 0x18FF10: from 0x18FF10 >> 14, to its low 14 bits.
        const std::vector<Received> expected{{0x1234, 9, 4, "hi"}, {0x77, 300, 5, twenty}, {5, 99, 0x3F10, "*"}};
        QCOMPARE(messages, expected);
        QCOMPARE(errors, std::vector<uint16_t>{CAN_MESSAGE_TOO_SHORT});  // the remote frame carries nothing

        // A fault report from the device is said, and is no data for the
        // engine. (The virtual bus carries no error frames: handed in directly.)
        MessageCapture log;
        QCanBusFrame fault(QCanBusFrame::ErrorFrame);
        fault.setError(QCanBusFrame::BusOffError);
        c->handleFrame(fault);
        c->handleFrame(canFrame(false, 9u << 5 | 4u, bytes({0x35, 0x12})));
        QCOMPARE(log.texts(QtCriticalMsg, QString()), QStringList{QStringLiteral("CAN error frame, error class 0x40")});
        QCOMPARE(ready.count(), sent + 1);
        QCOMPARE(messages.back(), (Received{0x1235, 9, 4, ""}));
        QCOMPARE(errors.size(), size_t(1));
    }

    void losingTheBus() {
        QSocketCAN_connector *c = bindConnector();
        QTRY_COMPARE_WITH_TIMEOUT(c->state, AbstractConnector::HW_READY, 10000);
        std::unique_ptr<Peer> peer(new Peer);
        syncBus(*peer);
        if (QTest::currentTestFailed())
            return;
        QSignalSpy spy(c, &AbstractConnector::stateChanges);
        {
            MessageCapture log;
            host.kill();
            QTRY_COMPARE_WITH_TIMEOUT(c->state, AbstractConnector::HW_NOTINIT, 10000);
            QCOMPARE(c->device(), nullptr);
            QCOMPARE(log.count(QtInfoMsg, QStringLiteral("Socket CAN disconnected")), 1);
            QCOMPARE(spy.count(), 1);
        }
        QByteArray data("down");
        const uint64_t tx = c->txBytesCount();
        corvid_message lost = corvid_message_over(1, 2, 3, data);
        c->sendCorvidMessage(&lost);
        QCOMPARE(c->txBytesCount(), tx);  // no device, nothing written
        QTRY_COMPARE_WITH_TIMEOUT(peer->dev->state(), QCanBusDevice::UnconnectedState, 10000);
        peer.reset();

        QVERIFY2(host.start(), "a new bus host");
        peer.reset(new Peer);
        c->HW_init();
        QTRY_COMPARE_WITH_TIMEOUT(c->state, AbstractConnector::HW_READY, 10000);
        QCOMPARE(spy.count(), 2);
        syncBus(*peer);
        if (QTest::currentTestFailed())
            return;
        QByteArray seven("1234567");
        QCOMPARE(sendAndCollect(c, *peer, corvid_message_over(9, 1, 2, seven)),
                 frameTexts(longMessage(false, 1u << 5 | 2u, 9, seven)));
        QVERIFY(peer->dev->writeFrame(canFrame(false, 4u << 5 | 1u, bytes({0x10, 0x00, 'o', 'k'}))));
        QVERIFY(peer->dev->writeFrame(canFrame(false, 4u << 5 | 1u, bytes({0x11, 0x00}))));
        QTRY_COMPARE(messages.size(), size_t(2));
        QCOMPARE(messages.front(), (Received{0x10, 4, 1, "ok"}));

        {   // A device error closes the link the same way.
            MessageCapture log;
            emit c->device()->errorOccurred(QCanBusDevice::ReadError);
            QCOMPARE(c->state, AbstractConnector::HW_NOTINIT);
            QCOMPARE(c->device(), nullptr);
            QCOMPARE(log.count(QtInfoMsg, QStringLiteral("Socket CAN disconnected")), 1);
        }
        c->HW_init();
        QTRY_COMPARE_WITH_TIMEOUT(c->state, AbstractConnector::HW_READY, 10000);
        syncBus(*peer);
        if (QTest::currentTestFailed())
            return;
        QByteArray none;
        QCOMPARE(sendAndCollect(c, *peer, corvid_message_over(0x0A0B, 1, 2, none)),
                 QStringList{QStringLiteral("S 022 [0b 0a]")});
    }

    void withoutDevice() {
        const QString notFound = QStringLiteral("No socket CAN interfaces found. Connection failed.");
        {   // With a window the operator is told instead of the log.
            RecordingPrompt prompt;
            MessageCapture log;
            QSocketCAN_connector shown(QStringLiteral("SocketCAN"), QStringLiteral("can0"), nullptr, true);
            QCOMPARE(prompt.informed, QStringList{notFound});
            QCOMPARE(log.count(QtCriticalMsg, notFound), 0);
        }
        MessageCapture log;
        auto *c = new QSocketCAN_connector(QStringLiteral("SocketCAN"), QStringLiteral("can0"));
        QCOMPARE(log.count(QtCriticalMsg, QStringLiteral("No CAN devices available!")), 1);
        QCOMPARE(log.count(QtCriticalMsg, notFound), 1);
        corvid_set_hardware(c);  // its HW_init finds nothing
        QCOMPARE(log.count(QtCriticalMsg, QStringLiteral("No CAN devices available!")), 2);
        QCOMPARE(c->state, AbstractConnector::HW_NOTINIT);
        QCOMPARE(c->device(), nullptr);
        can_message f;
        f.can_dlc = 2;
        QCOMPARE(c->sendCANFrame(&f), -1);
        QByteArray data("lost");
        corvid_message m = corvid_message_over(1, 2, 3, data);
        c->sendCorvidMessage(&m);
        QCOMPARE(c->txBytesCount(), uint64_t(0));
        delete c;  // a bound connector deleted directly unbinds itself
        QCOMPARE(corvid_get_hardware(), nullptr);
        QVERIFY(!corvid_is_online());

        QSocketCAN_connector *live = bindConnector();
        QTRY_COMPARE_WITH_TIMEOUT(live->state, AbstractConnector::HW_READY, 10000);
        delete live;  // with its open device
        QCOMPARE(corvid_get_hardware(), nullptr);
        QVERIFY(!corvid_is_online());
    }
};

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    tst_connectors tc;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&tc, argc, argv);
}

#include "tst_connectors.moc"
