// The SocketCAN plugin as Qt loads it, on a fake sysfs tree, a kernel without CAN and a stand-in socket.

#include "app/InterfaceSelection.h"
#include "config/CorvidConfigData.h"
#include "connectors/QSocketCAN_connector.h"
#include "engine/CorvidEngine.h"
#include "plugins/socketcan/SocketCanBackend.h"
#include "plugins/socketcan/SocketCanFrame.h"
#include "tests/common/diagnostic_capture.h"
#include "tests/common/server_run.h"

#include <QCanBus>
#include <QCoreApplication>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QtTest>

#include <linux/can.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

Q_DECLARE_METATYPE(QCanBusFrame)

namespace {

const QString kPlugin = QStringLiteral("kq-qt-socketcan");
// The two answers a kernel can give for an interface that is not CAN.
const QString kNotCan = QStringLiteral("^(This kernel has no SocketCAN support \\(.+\\); load the can and can_raw "
                                       "modules|\"lo\" is not a CAN interface)$");

// One fake sysfs interface: "name type [device] [driver=NAME] [mtu=N]"; type "-" writes no type file.
void addInterface(const QString &root, const QString &entry)
{
    const QStringList parts = entry.split(QLatin1Char(' '));
    const QString dir = root + QLatin1Char('/') + parts[0];
    QVERIFY(QDir().mkpath(dir));
    const auto write = [&dir](const char *name, const QString &value) {
        QFile f(dir + QLatin1Char('/') + QLatin1String(name));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(value.toLatin1() + '\n');
    };
    if (parts[1] != QLatin1String("-"))
        write("type", parts[1]);
    for (const QString &p : parts.mid(2)) {
        if (p.startsWith(QLatin1String("mtu=")))
            write("mtu", p.mid(4));
        else
            QVERIFY(QDir().mkpath(dir + QStringLiteral("/device")));
        if (p.startsWith(QLatin1String("driver="))) {
            const QString driver = root + QStringLiteral("/../drivers/") + p.mid(7);
            QVERIFY(QDir().mkpath(driver) && QFile::link(driver, dir + QStringLiteral("/device/driver")));
        }
    }
}

}  // namespace

class TestSocketCan : public QObject {
    Q_OBJECT
    QTemporaryDir m_scratch;

private slots:
    void initTestCase()
    {
        // Before the first QCanBus::instance(): it reads its plugins once.
        QCoreApplication::addLibraryPath(qEnvironmentVariable("CORVID_BUILD_DIR") + QStringLiteral("/plugins"));
        QVERIFY(m_scratch.isValid());
        qRegisterMetaType<QCanBusDevice::CanBusError>();
        qRegisterMetaType<QCanBusDevice::CanBusDeviceState>();
        QVERIFY2(QCanBus::instance()->plugins().contains(kPlugin), qPrintable(QCanBus::instance()->plugins().join(' ')));
    }
    void cleanup() { qunsetenv("CORVID_SYSFS_NET"); }

    void availableDevices()
    {
        const QString root = m_scratch.filePath(QStringLiteral("mixed/net"));
        for (const char *entry : {"eth0 1 driver=e1000", "vcan0 280", "can1 280 driver=gs_usb mtu=16", "slcan0 280 device",
                                 "canfd0 280 driver=mcp251xfd mtu=72", "junk -", "ifb0 280x"})
            addInterface(root, QString::fromLatin1(entry));
        qputenv("CORVID_SYSFS_NET", QFile::encodeName(root));
        QString error;
        QStringList listed;
        for (const QCanBusDeviceInfo &i : QCanBus::instance()->availableDevices(kPlugin, &error))
            listed << QStringLiteral("%1|%2|%3|%4").arg(i.name(), i.description()).arg(i.isVirtual()).arg(i.hasFlexibleDataRate());
        // name|description|virtual|fd
        QCOMPARE(listed, (QStringList{"can1|SocketCAN interface (gs_usb)|0|0", "canfd0|SocketCAN interface (mcp251xfd)|0|1",
                                      "slcan0|SocketCAN interface|0|0", "vcan0|SocketCAN interface (virtual)|1|0"}));
        QCOMPARE(error, QString());
        qputenv("CORVID_SYSFS_NET", QFile::encodeName(root + QStringLiteral("/absent")));
        QVERIFY(QCanBus::instance()->availableDevices(kPlugin, &error).isEmpty());
        QVERIFY(error.contains(QStringLiteral("absent")));
    }

    // Without CAN in the kernel every attempt fails with a reason, leaving the device ready to be tried again.
    void connectFails_data()
    {
        QTest::addColumn<QString>("interface");
        QTest::addColumn<QString>("expected");
        QTest::newRow("missing") << "nosuch0" << "^CAN interface \"nosuch0\" does not exist$";
        QTest::newRow("name too long") << "averyverylongname0" << "^CAN interface \"averyverylongname0\" does not exist$";
        QTest::newRow("not CAN") << "lo" << kNotCan;
    }
    void connectFails()
    {
        QFETCH(QString, interface);
        QFETCH(QString, expected);
        std::unique_ptr<QCanBusDevice> device(QCanBus::instance()->createDevice(kPlugin, interface));
        QVERIFY(device);
        QSignalSpy errors(device.get(), &QCanBusDevice::errorOccurred);
        for (int attempt = 1; attempt <= 2; ++attempt) {
            QVERIFY(!device->connectDevice());
            QCOMPARE(device->state(), QCanBusDevice::UnconnectedState);
            QCOMPARE(device->error(), QCanBusDevice::ConnectionError);
            QVERIFY2(QRegularExpression(expected).match(device->errorString()).hasMatch(), qPrintable(device->errorString()));
            QCOMPARE(errors.count(), attempt);
        }
        QVERIFY(!device->writeFrame(QCanBusFrame(0x123, "ab")));
        QCOMPARE(device->error(), QCanBusDevice::OperationError);
    }

    // The server's link on a listed interface that cannot open reports the device's reason.
    void serverRetries()
    {
        const QString root = m_scratch.filePath(QStringLiteral("server/net"));
        addInterface(root, QStringLiteral("lo 280"));
        qputenv("CORVID_SYSFS_NET", QFile::encodeName(root));
        const QString file = m_scratch.filePath(QStringLiteral("server_config.xml"));
        QVERIFY(writeConfig(file, {{"Interface", "SocketCAN"}, {"SocketCANPortName", "lo"}}));
        CorvidConfigData config(file);
        DiagnosticCapture diag;
        CorvidEngine engine;
        std::unique_ptr<AbstractConnector> link(createConnector(&config, engine));
        QVERIFY(qobject_cast<QSocketCAN_connector *>(link.get()));
        QCOMPARE(link->state, AbstractConnector::HW_NOTINIT);
        QCOMPARE(diag.texts().filter(QRegularExpression(kNotCan)).size(), 1);
        QVERIFY(diag.contains(QStringLiteral("\"SocketCAN\"  hw-interface will be used.\n")));
        QVERIFY(diag.contains(QStringLiteral("Error: QSocketCAN_connector::HW_init: Socket wasn't initialized!")));
    }

    // A socket pair stands in for the kernel's CAN socket: the peer end plays the bus.
    void traffic()
    {
        int fds[2];
        QCOMPARE(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds), 0);
        int bus = fds[1];
        SocketCanBackend::setSocketOpener([&](const QString &name) {
            errno = EACCES;
            return name == QLatin1String("can7") && fcntl(fds[0], F_SETFL, O_NONBLOCK) == 0 ? fds[0] : -1;
        });
        auto restore = qScopeGuard([&] {
            SocketCanBackend::setSocketOpener({});
            if (bus >= 0)
                ::close(bus);
        });
        SocketCanBackend device(QStringLiteral("can7"));
        QSignalSpy errors(&device, &QCanBusDevice::errorOccurred);
        QSignalSpy written(&device, &QCanBusDevice::framesWritten);
        QVERIFY(device.connectDevice());
        // From the bus, a bus-off error frame becomes the device's error, never a frame.
        for (const char *hex : {"4000002008000000" "0000000000000000", "2301000003000000deadbe0000000000"}) {
            const QByteArray raw = QByteArray::fromHex(hex);
            QCOMPARE(::write(bus, raw.constData(), size_t(raw.size())), ssize_t(raw.size()));
        }
        QTRY_COMPARE(device.framesAvailable(), qint64(1));
        QCOMPARE(errors.count(), 1);
        QCOMPARE(device.error(), QCanBusDevice::ReadError);
        QCOMPARE(device.errorString(), QStringLiteral("CAN bus error: bus off"));
        QCOMPARE(device.readFrame().toString(), QStringLiteral("     123   [3]  DE AD BE"));
        // To the bus, reported written; an error frame is refused.
        QVERIFY(device.writeFrame(QCanBusFrame(0x041, QByteArray::fromHex("1000ab"))));
        QVERIFY(!device.writeFrame(QCanBusFrame(QCanBusFrame::ErrorFrame)));
        QCOMPARE(device.error(), QCanBusDevice::WriteError);
        QTRY_COMPARE(written.count(), 1);
        QByteArray raw(int(sizeof(can_frame)) + 1, '\0');
        QCOMPARE(::read(bus, raw.data(), size_t(raw.size())), ssize_t(sizeof(can_frame)));
        QCOMPARE(raw.left(int(sizeof(can_frame))).toHex(), QByteArray("4100000003000000" "1000ab0000000000"));
        // The other end going away is a read error; the device closes cleanly.
        ::close(bus);
        bus = -1;
        QTRY_VERIFY(device.errorString().startsWith(QStringLiteral("Cannot read from CAN interface \"can7\"")));
        device.disconnectDevice();
        QCOMPARE(device.state(), QCanBusDevice::UnconnectedState);
        SocketCanBackend denied(QStringLiteral("can8"));
        QVERIFY(!denied.connectDevice());
        QVERIFY2(denied.errorString().startsWith(QStringLiteral("Permission denied using CAN interface \"can8\": ")),
                 qPrintable(denied.errorString()));
    }

    void toKernel_data()
    {
        QTest::addColumn<QCanBusFrame>("frame");
        QTest::addColumn<QByteArray>("expected");  // hex of struct can_frame; empty: refused
        const auto frame = [](quint32 id, const char *hex, bool extended, QCanBusFrame::FrameType type) {
            QCanBusFrame f(type);
            f.setFrameId(id);
            f.setExtendedFrameFormat(extended);
            f.setPayload(QByteArray::fromHex(hex));
            return f;
        };
        const auto data = QCanBusFrame::DataFrame;
        const auto remote = QCanBusFrame::RemoteRequestFrame;
        QTest::newRow("standard") << frame(0x123, "deadbe", false, data) << QByteArray("2301000003000000deadbe0000000000");
        QTest::newRow("extended") << frame(0x18FF10, "0102030405060708", true, data) << QByteArray("10ff1880080000000102030405060708");
        QTest::newRow("small extended") << frame(0x5, "", true, data) << QByteArray("0500008000000000" "0000000000000000");
        QTest::newRow("remote") << frame(0x7FF, "aabb", false, remote) << QByteArray("ff07004002000000" "0000000000000000");
        QTest::newRow("remote extended") << frame(0x1FFFFFFF, "", true, remote) << QByteArray("ffffffdf00000000" "0000000000000000");
        QTest::newRow("standard id too big") << frame(0x800, "01", false, data) << QByteArray();
        QTest::newRow("nine bytes") << frame(0x1, "010203040506070809", false, data) << QByteArray();
        QCanBusFrame fd = frame(0x1, "0102", false, data);
        fd.setFlexibleDataRateFormat(true);
        QTest::newRow("CAN FD") << fd << QByteArray();
        QTest::newRow("error frame") << QCanBusFrame(QCanBusFrame::ErrorFrame) << QByteArray();
    }
    void toKernel()
    {
        QFETCH(QCanBusFrame, frame);
        QFETCH(QByteArray, expected);
        can_frame out;
        memset(&out, 0x5a, sizeof(out));  // padding must not keep old bytes
        QString why;
        QCOMPARE(socketcan::toKernelFrame(frame, &out, &why), !expected.isEmpty());
        QCOMPARE(why.isEmpty(), !expected.isEmpty());
        if (!expected.isEmpty())
            QCOMPARE(QByteArray(reinterpret_cast<const char *>(&out), sizeof(out)).toHex(), expected);
    }

    void fromKernel_data()
    {
        QTest::addColumn<QByteArray>("bytes");  // hex of struct can_frame
        QTest::addColumn<QString>("expected");  // QCanBusFrame::toString, or the error's text
        QTest::newRow("standard") << QByteArray("2301000003000000deadbe1122334455") << "     123   [3]  DE AD BE";
        QTest::newRow("extended") << QByteArray("10ff1880080000000102030405060708") << "0018FF10   [8]  01 02 03 04 05 06 07 08";
        QTest::newRow("length over 8") << QByteArray("010000000f0000000102030405060708") << "     001   [8]  01 02 03 04 05 06 07 08";
        QTest::newRow("remote") << QByteArray("ff07004002000000aabbccddeeff0011") << "     7FF   [2]  Remote Request";
        QTest::newRow("remote extended") << QByteArray("ffffffdf00000000" "0000000000000000") << "1FFFFFFF   [0]  Remote Request";
        // Controller problem (RX error passive) and bus off, counters 0x80/0x10.
        QTest::newRow("error") << QByteArray("4402002008000000" "0010000000008010")
                               << "CAN bus error: controller problem (RX error passive); bus off; error counters TX 128, RX 16";
    }
    void fromKernel()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, expected);
        can_frame in;
        const QByteArray raw = QByteArray::fromHex(bytes);
        QCOMPARE(raw.size(), int(sizeof(in)));
        memcpy(&in, raw.constData(), sizeof(in));
        const QCanBusFrame frame = socketcan::fromKernelFrame(in);
        SocketCanBackend device(QStringLiteral("can0"));
        const QString error = device.interpretErrorFrame(frame);
        QCOMPARE(frame.frameType() == QCanBusFrame::ErrorFrame ? error : frame.toString(), expected);
        QCOMPARE(error.isEmpty(), frame.frameType() != QCanBusFrame::ErrorFrame);
        if (!error.isEmpty())
            QCOMPARE(frame.payload().toHex(), raw.mid(8).toHex());
    }
};

QTEST_GUILESS_MAIN(TestSocketCan)
#include "tst_socketcan.moc"
