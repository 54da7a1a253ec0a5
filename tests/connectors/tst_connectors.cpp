// The CAN bus connector on Qt's virtual CAN bus hosted by corvid-vbus: device
// selection, the link state, and frames of every kind both ways.

#include "app/InterfaceSelection.h"
#include "config/CorvidConfigData.h"
#include "connectors/QSocketCAN_connector.h"
#include "engine/CorvidEngine.h"
#include "tests/common/bus_peer.h"
#include "tests/common/can_reference.h"
#include "tests/common/diagnostic_capture.h"
#include "tests/common/received_message.h"
#include "tests/common/recording_prompt.h"
#include "tests/common/server_run.h"
#include "tests/common/virtual_bus.h"

#include <QSignalSpy>
#include <vector>

namespace {

const QString kVirtual = QStringLiteral("virtualcan");
using Received = ReceivedMessage;
using HW = AbstractConnector;

// A frame handed to the engine in the text form of the bus: a remote frame's
// length shows as that many data bytes, so that it must be 0.
QString text(const can_message &f)
{
    const QByteArray data(reinterpret_cast<const char *>(f.data), f.can_dlc);
    QCanBusFrame q = canFrame(f.can_extbit, f.can_identifier, data);
    q.setFrameType(f.can_rtr ? QCanBusFrame::RemoteRequestFrame : QCanBusFrame::DataFrame);
    return frameText(q);
}

// The link states a spy saw, in order.
QList<HW::HWState> states(const QSignalSpy &spy)
{
    QList<HW::HWState> out;
    for (const auto &args : spy)
        out << args.at(0).value<HW::HWState>();
    return out;
}

} // namespace

class tst_connectors : public QObject {
    Q_OBJECT
private:
    VirtualBusHost host;
    std::unique_ptr<CorvidEngine> engine;  // a fresh one per test
    std::vector<Received> messages;
    std::vector<uint16_t> errors;

    // Null unless the binding, which initialises it, brings it to ready.
    std::unique_ptr<QSocketCAN_connector> bindReady() {
        auto c = std::make_unique<QSocketCAN_connector>(*engine, kVirtual, QStringLiteral("CAN0"));
        engine->setHardware(c.get());
        return QTest::qWaitFor([&c] { return c->state == HW::HW_READY; }, 10000) ? std::move(c) : nullptr;
    }

    // A frame from the peer through to the engine proves both ends are
    // registered on the channel (the server may take either first). Probes
    // are numbered so that the last one sent marks the end of the stream.
    bool syncBus(Peer &peer) {
        if (!QTest::qWaitFor([&] { return peer.dev->state() == QCanBusDevice::ConnectedState; }, 10000))
            return false;
        messages.clear();
        uint16_t sent = 0;
        for (int i = 0; i < 100 && messages.empty(); ++i) {
            peer.dev->writeFrame(canFrame(false, 31u << 5 | 31u, le16(++sent)));
            QTest::qWait(50);
        }
        const bool ok = QTest::qWaitFor([&] { return !messages.empty() && messages.back().msgId == sent; }, 10000);
        messages.clear();
        return ok;
    }

    // The frames a message puts on the bus, once `count` of them are there.
    static QStringList sendFrames(QSocketCAN_connector *c, Peer &peer, uint16_t from, uint16_t to,
                                  const QByteArray &data, int count) {
        peer.frames.clear();
        corvid_message m = corvid_message_over(0x0102, from, to, data);
        if (c->sendCorvidMessage(&m) != data.size())
            return {QStringLiteral("(send failed)")};
        // Missing frames show in the caller's comparison of the list.
        (void)QTest::qWaitFor([&] { return peer.frames.size() >= count; }, 10000);
        return frameTexts(peer.frames);
    }

private slots:
    void initTestCase() {
        qRegisterMetaType<HW::HWState>();
        corvid_register_metatypes();
        QVERIFY2(host.start(), qPrintable(host.error()));
    }
    void init() {
        messages.clear();
        errors.clear();
        engine = std::make_unique<CorvidEngine>();
        engine->setMessageHandler([this](const corvid_message *m) {
            messages.push_back({m->msg_id, m->address_from, m->address_to,
                                QByteArray(reinterpret_cast<const char *>(m->data), m->length)});
        });
        engine->setErrorHandler([this](uint16_t code) { errors.push_back(code); });
    }
    void cleanup() { engine.reset(); }
    void cleanupTestCase() { QCOMPARE(host.stop(), 0); }

    void pluginAndDiscovery() {
        const QList<QCanBusDeviceInfo> listed = QCanBus::instance()->availableDevices(kVirtual);
        QStringList choices, candidates;
        for (const QCanBusDeviceInfo &i : listed) {
            if (i.description().contains(QLatin1String("CAN"), Qt::CaseInsensitive)) {
                candidates << i.name();
                choices << i.name() + QStringLiteral(", ") + i.description();
            }
        }
        QVERIFY2(candidates.size() >= 2, "the plugin lists at least two CAN channels");
        RecordingPrompt prompt;
        {   // A name matching ignoring case is taken at once.
            QSocketCAN_connector c(*engine, kVirtual, listed.first().name().toUpper(), nullptr, true);
            QCOMPARE(c.deviceName(), listed.first().name());
            QCOMPARE(c.device(), nullptr);  // nothing is opened before HW_init
            QCOMPARE(c.interfaceName, kVirtual);
        }
        // No match, no window: the last CAN device.
        QCOMPARE(QSocketCAN_connector(*engine, kVirtual, QStringLiteral("nosuchdev")).deviceName(), candidates.last());
        QCOMPARE(prompt.adapterChoices, QList<QStringList>());
        // No match as the window's link: the operator picks among all
        // candidates, once, and the link opens the chosen one.
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("server_config.xml"));
        QVERIFY(writeConfig(file, {{"Interface", "virtualcan"}, {"SocketCANPortName", "nosuchdev"}}));
        CorvidConfigData config(file);
        std::unique_ptr<AbstractConnector> c(createConnector(&config, *engine, true));
        QCOMPARE(prompt.adapterChoices, QList<QStringList>{choices});
        QCOMPARE(qobject_cast<QSocketCAN_connector *>(c.get())->deviceName(), candidates.first());
    }

    // Extended identifiers onto the bus and frames of every kind from it.
    void messagesBothWays() {
        const std::unique_ptr<QSocketCAN_connector> c = bindReady();
        QVERIFY(c && engine->hardware() == c.get());
        Peer peer;
        QVERIFY2(syncBus(peer), "the connector hears the peer");
        // Address 100 needs the extended id 100 << 14 | 7.
        const QByteArray seven = bytes({0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6});
        const QString crc = QString::fromLatin1(le16(reference_crc(seven)).toHex());
        QCOMPARE(sendFrames(c.get(), peer, 100, 7, seven, 3),
                 (QStringList{"X 00190007 [fe ff 02 01 09 00]", "X 10190007 [a0 a1 a2 a3 a4 a5 a6 " + crc.left(2) + "]",
                              "X 10190007 [" + crc.mid(2) + "]"}));
        QSignalSpy ready(c.get(), &HW::can_message_ready);
        const QByteArray twenty("twenty bytes of data");
        QCanBusFrame remote(0x123, QByteArray());
        remote.setFrameType(QCanBusFrame::RemoteRequestFrame);
        using Frames = QVector<QCanBusFrame>;
        const Frames sent = Frames{canFrame(false, 9u << 5 | 4u, bytes({0x34, 0x12, 'h', 'i'}))} +
                            longMessage(true, 300u << 14 | 5u, 0x77, twenty) +
                            Frames{remote, canFrame(true, 0x18FF10, bytes({0x05, 0x00, 0x2A}))};
        for (const QCanBusFrame &f : sent)
            QVERIFY(peer.dev->writeFrame(f));
        QTRY_COMPARE_WITH_TIMEOUT(ready.count(), sent.size(), 10000);
        QStringList got;
        for (const auto &args : ready)
            got << text(args.at(0).value<can_message>());
        QCOMPARE(got, frameTexts(sent));
        // 0x18FF10: from 0x18FF10 >> 14, to its low 14 bits.
        const std::vector<Received> all{{0x1234, 9, 4, "hi"}, {0x77, 300, 5, twenty}, {5, 99, 0x3F10, "*"}};
        QCOMPARE(messages, all);
        QCOMPARE(errors, std::vector<uint16_t>{CAN_MESSAGE_TOO_SHORT});  // the remote frame carries nothing
        // A fault report from the device is said, and is no data for the
        // engine. (The virtual bus carries no error frames: handed in directly.)
        DiagnosticCapture log(true);
        QCanBusFrame fault(QCanBusFrame::ErrorFrame);
        fault.setError(QCanBusFrame::BusOffError);
        c->handleFrame(fault);
        c->handleFrame(canFrame(false, 9u << 5 | 4u, bytes({0x35, 0x12})));
        QCOMPARE(log.texts(QtCriticalMsg, QString()), QStringList{QStringLiteral("CAN error frame, error class 0x40")});
        QCOMPARE(ready.count(), sent.size() + 1);
        QCOMPARE(messages.back(), (Received{0x1235, 9, 4, ""}));
        QCOMPARE(errors.size(), size_t(1));
    }

    // Ready only once the bus's host answers and the device says so; closed
    // by a device error, said, and back to work after HW_init.
    void linkLifecycle() {
        auto c = std::make_unique<QSocketCAN_connector>(*engine, kVirtual, QStringLiteral("can0"));
        QSignalSpy spy(c.get(), &HW::stateChanges);
        DiagnosticCapture log(true);
        engine->setHardware(c.get());  // the binding initialises it
        QVERIFY(c->awaitingDevice() && !c->device());  // the host is asked first
        QCOMPARE(c->state, HW::HW_NOTINIT);
        QTRY_VERIFY_WITH_TIMEOUT(c->device(), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(c->state, HW::HW_READY, 10000);
        QCOMPARE(log.count(QtInfoMsg, QStringLiteral("virtualcan connected, port: can0")), 1);
        QCanBusDevice *device = c->device();
        c->HW_init();  // again while ready: nothing changes
        QCOMPARE(c->device(), device);
        emit c->device()->errorOccurred(QCanBusDevice::ReadError);
        QCOMPARE(c->state, HW::HW_NOTINIT);
        QCOMPARE(c->device(), nullptr);
        QCOMPARE(log.count(QtInfoMsg, QStringLiteral("Socket CAN disconnected")), 1);
        c->HW_init();
        QTRY_COMPARE_WITH_TIMEOUT(c->state, HW::HW_READY, 10000);
        QCOMPARE(states(spy), (QList<HW::HWState>{HW::HW_READY, HW::HW_NOTINIT, HW::HW_READY}));
        Peer peer;
        QVERIFY2(syncBus(peer), "the connector hears the peer");
        QCOMPARE(sendFrames(c.get(), peer, 1, 2, {}, 1), QStringList{"S 022 [02 01]"});
        // A device slower than the sender (the virtual one reports each frame
        // written at once, so its reports are held back here): what does not
        // fit the wait is refused whole and said; once written, there is room.
        disconnect(c->device(), &QCanBusDevice::framesWritten, c.get(), nullptr);
        c->maxQueuedFrames = 8;
        const QByteArray twenty(20, 't');  // a header and three data frames
        corvid_message m = corvid_message_over(0x0102, 1, 2, twenty);
        peer.frames.clear();
        QCOMPARE(c->sendCorvidMessage(&m), int64_t(20));
        QCOMPARE(c->sendCorvidMessage(&m), int64_t(20));
        QCOMPARE(c->sendCorvidMessage(&m), int64_t(-1));
        QCOMPARE(c->queuedFrames(), 8);
        QCOMPARE(log.count(QtCriticalMsg, QStringLiteral("Transmit queue of CAN device can0 is full (8 frames waiting): "
                                                         "message 0x102 from 0x1 to 0x2 not sent")), 1);
        for (int i = 0; i < 8; ++i)
            QVERIFY(QMetaObject::invokeMethod(c.get(), "onFramesWritten", Q_ARG(qint64, 1)));
        QCOMPARE(c->queuedFrames(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(peer.frames.size(), 8, 10000);
        QCOMPARE(c->sendCorvidMessage(&m), int64_t(20));
    }

    void withoutDevice() {
        DiagnosticCapture log(true);
        auto c = std::make_unique<QSocketCAN_connector>(*engine, QStringLiteral("SocketCAN"), QStringLiteral("can0"));
        QCOMPARE(log.count(QtCriticalMsg, QStringLiteral("No socket CAN interfaces found. Connection failed.")), 1);
        QCOMPARE(c->interfaceName, QStringLiteral("SocketCAN"));
        engine->setHardware(c.get());  // its HW_init finds nothing
        QCOMPARE(c->state, HW::HW_NOTINIT);
        QCOMPARE(c->device(), nullptr);
        const QByteArray data("lost");
        corvid_message m = corvid_message_over(1, 2, 3, data);
        c->sendCorvidMessage(&m);
        QCOMPARE(c->txBytesCount(), uint64_t(0));
        // A bound connector deleted directly unbinds itself, with or without an open device.
        c.reset();
        QVERIFY(!engine->hardware() && !engine->isOnline());
        QVERIFY(bindReady());  // deleted at once
        QVERIFY(!engine->hardware() && !engine->isOnline());
    }
};

QTEST_GUILESS_MAIN(tst_connectors)

#include "tst_connectors.moc"
