// The server as a whole: the built program started in a scratch directory,
// talked to over real TCP sockets, with the device simulator on Qt's virtual
// CAN bus; plus the hub and the interface selection driven in-process.

#include "app/InterfaceSelection.h"
#include "app/StartupSettings.h"
#include "config/CorvidConfigData.h"
#include "connectors/NullReader.h"
#include "engine/corvid_engine.h"
#include "engine/corvid_hardware.h"
#include "server/CorvidServer.h"
#include "server/corvid_wire.h"
#include "tests/common/bus_reference.h"
#include "tests/common/fake_server_view.h"
#include "tests/common/recording_prompt.h"
#include "tests/common/server_process.h"
#include "tests/common/virtual_bus.h"

#include <QCanBus>
#include <QCanBusDevice>
#include <QDir>
#include <QFile>
#include <QPointer>
#include <QProcess>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <functional>
#include <memory>
#include <csignal>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {


// Listens on the virtual bus and keeps every frame seen.
class BusSniffer : public QObject {
public:
    std::unique_ptr<QCanBusDevice> device;
    QVector<QCanBusFrame> frames;

    bool open()
    {
        QString error;
        device.reset(QCanBus::instance()->createDevice(QStringLiteral("virtualcan"), QStringLiteral("can0"), &error));
        if (!device)
            return false;
        connect(device.get(), &QCanBusDevice::framesReceived, this, [this] {
            while (device->framesAvailable())
                frames << device->readFrame();
        });
        if (!device->connectDevice())
            return false;
        return QTest::qWaitFor([this] { return device->state() == QCanBusDevice::ConnectedState; }, 5000);
    }
};

struct Frame {
    uint32_t id;
    bool extended;
    QByteArray payload;
    bool operator==(const Frame &o) const { return id == o.id && extended == o.extended && payload == o.payload; }
};

// The frames a message must become on the bus, written out from the layout.
QVector<Frame> expectedFrames(uint16_t msgId, uint16_t from, uint16_t to, const QByteArray &data)
{
    const bool ext = from > 31 || to > 31;
    const uint32_t id = ext ? (uint32_t(from) << 14 | to) : (uint32_t(from) << 5 | to);
    const uint32_t dataFlag = ext ? (1u << 28) : (1u << 10);
    QVector<Frame> out;
    if (data.size() <= 6) {
        out.push_back({id, ext, le16(msgId) + data});
        return out;
    }
    out.push_back({id, ext, le16(0xFFFE) + le16(msgId) + le16(uint16_t(data.size() + 2))});
    const QByteArray stream = data + le16(reference_crc(data));
    for (int pos = 0; pos < stream.size(); pos += 8)
        out.push_back({id | dataFlag, ext, stream.mid(pos, 8)});
    return out;
}

QVector<Frame> toFrames(const QVector<QCanBusFrame> &frames)
{
    QVector<Frame> out;
    for (const auto &f : frames)
        out.push_back({f.frameId(), f.hasExtendedFrameFormat(), f.payload()});
    return out;
}

// Captures diagnostics of the test process itself.
QStringList g_diagnostics;
void captureHandler(QtMsgType, const QMessageLogContext &, const QString &msg)
{
    g_diagnostics << msg;
}

// A connector under the test's control, to drive link states and sends.
class ScriptedConnector : public AbstractConnector {
    Q_OBJECT
public:
    int inits = 0;
    int closes = 0;
    QVector<QByteArray> sent;
    bool acceptSends = true;
    void HW_init() override
    {
        ++inits;
        setHWState(HW_READY);
    }
    void HW_close() override
    {
        ++closes;
        setHWState(HW_NOTINIT);
    }
    int64_t sendCorvidMessage(corvid_message *m) override
    {
        sent << QByteArray(reinterpret_cast<const char *>(m->data), m->length);
        m_txBytesCount += m->length;
        return acceptSends ? m->length : m->length - 1;
    }
};

int g_factoryCalls = 0;
AbstractConnector *nullFactory(CorvidConfigData *, bool)
{
    ++g_factoryCalls;
    return new NullReader();
}
AbstractConnector *scriptedFactory(CorvidConfigData *, bool)
{
    ++g_factoryCalls;
    return new ScriptedConnector();
}

}  // namespace

class TestApp : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void startupSettings();
    void linkDropAndRebuild();
    void endToEnd();
    void startupModes();
    void startupFailuresAndShutdown();
    void systemdReadinessAndWatchdog();
    void interfaceSelection();
    void hubRouting();
    void hubLinkControl();
    void hubListenFailure();
    void configurationFaultsAtStartup();
    void refusedSendAndNestedLogs();
    void listeningRetried();

private:
    VirtualBusHost m_bus;
};

void TestApp::initTestCase()
{
    corvid_register_metatypes();
    QVERIFY2(QFile::exists(serverBinary()), qPrintable(serverBinary()));
    QVERIFY(QCanBus::instance()->plugins().contains(QStringLiteral("virtualcan")));
    QVERIFY2(m_bus.start(), qPrintable(m_bus.error()));
}

void TestApp::startupSettings()
{
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("server_config.xml"));
    auto load = [&](const Params &p) {
        writeConfig(file, p);
        CorvidConfigData config(file);
        return StartupSettings::read(config);
    };

    StartupSettings s = load({});
    QVERIFY(s.graphical);
    QVERIFY(!s.hasMaxClients);
    QVERIFY(!s.hasTelnetDevices);
    QVERIFY(s.telnetDeEsc);
    QVERIFY(s.messageLogEnabled);
    QCOMPARE(s.ccAddress, uint16_t(1));

    s = load({{"DisableGUI", "abc"}, {"MaxTCPClients", "010"}, {"TELNET_Devices", "0x2,,zz,0xFF,2"},
              {"CC_Address", "zz"}, {"CorvidLogDisable", "01"}, {"TELNET_deEsc", "0"},
              {"TELNET_CRLF", "7"}, {"TELNET_UHF_BUFFER", "70000"}, {"TELNET_UHF_DELAY", "500"}});
    QVERIFY(s.graphical);
    QVERIFY(s.hasMaxClients);
    QCOMPARE(s.maxClients, 8u);
    QCOMPARE(s.telnetDevices, (QVector<uint16_t>{2, 0xFF, 2}));
    // Values their use does not allow take the built-in default.
    QVERIFY(s.hasCcAddress);
    QCOMPARE(s.ccAddress, uint16_t(1));
    QVERIFY(s.messageLogEnabled);
    QVERIFY(!s.telnetDeEsc);
    QVERIFY(!s.telnetCRLF);
    QCOMPARE(s.telnetUhfBuffer, uint16_t(195));
    QCOMPARE(s.telnetUhfDelay, uint16_t(500));

    for (const char *v : {"1", "-1", "7"})  // any number but 0
        QVERIFY2(!load({{"DisableGUI", v}}).graphical, v);
    QVERIFY(load({{"DisableGUI", "0"}}).graphical);
    QCOMPARE(load({{"MaxTCPClients", "0x10"}}).maxClients, 16u);
    QVERIFY(!load({{"CorvidLogDisable", "1"}}).messageLogEnabled);
    QVERIFY(load({{"CorvidLogDisable", " 1"}}).messageLogEnabled);
    QVERIFY(load({{"CorvidLogDisable", "true"}}).messageLogEnabled);
    // CC_Address matters only together with TELNET_Devices.
    QVERIFY(!load({{"CC_Address", "0x5"}}).hasCcAddress);
    s = load({{"CC_Address", "0x5"}, {"TELNET_Devices", "ff"}});
    QVERIFY(s.hasCcAddress);
    QCOMPARE(s.ccAddress, uint16_t(5));
}

namespace {

constexpr uint16_t kDevice = 2;  // the simulator's bus address
constexpr uint16_t kServer = 1;

// Messages that a client received for one recId round: echo(es) and replies.
int countEchoes(const WireClient &c, uint16_t msgId, uint32_t dir)
{
    int n = 0;
    for (const auto &m : c.messages())
        n += m.header.msg_id == msgId && m.header.dir == dir;
    return n;
}

}  // namespace

// The bus tests need the device simulator.
#define REQUIRE_DEVSIM()                                                        \
    do {                                                                        \
        if (!QFile::exists(devsimBinary()))                                     \
            QSKIP("corvid-devsim is not built");                                \
    } while (0)

void TestApp::linkDropAndRebuild()
{
    REQUIRE_DEVSIM();
    Devsim sim;
    QVERIFY2(sim.start(), sim.output.constData());
    ServerRun srv;
    const uint16_t port = freePort();
    writeConfig(srv.path(QStringLiteral("server_config.xml")), virtualCanParams(port));
    srv.start();
    QVERIFY2(srv.waitStarted(port), qPrintable(srv.errorLog()));
    QVERIFY(srv.errorLog().contains(QStringLiteral("Virtual CAN hw-interface will be used.\n")));

    WireClient manager, observer;
    QVERIFY(manager.open(port));
    QVERIFY(manager.identify("m", false));
    QVERIFY(observer.open(port));
    QVERIFY(observer.identify("o", true));
    QCOMPARE(manager.states(), QVector<uint32_t>{2});

    manager.send(1, 0x301, kServer, kDevice, "first");
    QVERIFY(QTest::qWaitFor([&] { return countEchoes(observer, 0x301, 0) == 1; }, 10000));

    m_bus.kill();
    QVERIFY2(m_bus.start(), qPrintable(m_bus.error()));
    // Link down: every client is told, then the rebuild brings it back.
    QVERIFY2(QTest::qWaitFor([&] { return observer.states().contains(1u); }, 10000), qPrintable(srv.errorLog()));
    QVERIFY(QTest::qWaitFor([&] { return manager.states().contains(1u); }, 10000));
    QVERIFY2(QTest::qWaitFor([&] { return observer.states().last() == 2u; }, 15000), qPrintable(srv.errorLog()));
    QVERIFY(QTest::qWaitFor([&] { return manager.states().last() == 2u; }, 5000));
    QVERIFY(srv.errorLog().count(QStringLiteral("Virtual CAN hw-interface will be used.\n")) >= 2);

    // Traffic flows again once the device is back, nothing doubled.
    // The device may announce itself before its bus link is through: probe
    // until it answers.
    QVERIFY(QTest::qWaitFor(
        [&] {
            if (countEchoes(manager, 0x3FF, 0) > 0)
                return true;
            manager.send(3, 0x3FF, kServer, kDevice, "probe");
            QTest::qWait(300);
            return countEchoes(manager, 0x3FF, 0) > 0;
        },
        15000));
    QTest::qWait(500);
    const int before = manager.messages().size();
    manager.send(2, 0x302, kServer, kDevice, pattern(40, 2));
    QVERIFY(QTest::qWaitFor([&] { return countEchoes(manager, 0x302, 0) == 1; }, 10000));
    QTest::qWait(500);
    QCOMPARE(countEchoes(manager, 0x302, 1), 1);
    QCOMPARE(countEchoes(manager, 0x302, 0), 1);
    QCOMPARE(countEchoes(observer, 0x302, 0), 1);
    QCOMPARE(manager.messages().size(), before + 2);
    QCOMPARE(srv.stop(), 0);
    const QStringList lines = srv.csvLines();
    QCOMPARE(lines.filter(QStringLiteral(";O;1;2; 302;40;OK;")).size(), 1);
    QCOMPARE(lines.filter(QStringLiteral(";I;2;1; 302;40;;")).size(), 1);
}

void TestApp::endToEnd()
{
    REQUIRE_DEVSIM();
    // The test joins the bus first and so hosts it for everyone.
    BusSniffer sniffer;
    QVERIFY(sniffer.open());
    ServerRun srv;
    const uint16_t port = freePort();
    writeConfig(srv.path(QStringLiteral("server_config.xml")), virtualCanParams(port));
    srv.start();
    QVERIFY2(srv.waitStarted(port), qPrintable(srv.errorLog()));
    Devsim sim;
    QVERIFY2(sim.start(), sim.output.constData());

    WireClient manager, observer;
    QVERIFY(manager.open(port));
    QVERIFY(manager.identify("manager", false));
    QVERIFY(observer.open(port));
    QVERIFY(observer.identify("observer", true));
    QCOMPARE(manager.states(), QVector<uint32_t>{2});
    QCOMPARE(observer.states(), QVector<uint32_t>{2});

    const QList<int> sizes = {0, 8, 9, 1000, 65533};
    quint64 stamp = 0;
    for (int i = 0; i < sizes.size(); ++i) {
        const QByteArray data = pattern(sizes[i], i);
        const uint16_t msgId = uint16_t(0x100 + i);
        const uint32_t recId = uint32_t(50 + i);
        sniffer.frames.clear();
        const int mBefore = manager.messages().size();
        const int oBefore = observer.messages().size();
        const qint64 t0 = QDateTime::currentMSecsSinceEpoch();
        manager.send(recId, msgId, kServer, kDevice, data);
        QVERIFY2(QTest::qWaitFor([&] { return observer.messages().size() == oBefore + 2; }, 30000),
                 qPrintable(QStringLiteral("size %1").arg(sizes[i])));
        QVERIFY(QTest::qWaitFor([&] { return manager.messages().size() == mBefore + 2; }, 5000));

        // On the bus: the server's frames, then the device's answer.
        const QVector<Frame> out = expectedFrames(msgId, kServer, kDevice, data);
        const QVector<Frame> back = expectedFrames(msgId, kDevice, kServer, data);
        QVERIFY(QTest::qWaitFor([&] { return sniffer.frames.size() >= out.size() + back.size(); }, 10000));
        const QVector<Frame> seen = toFrames(sniffer.frames);
        QCOMPARE(seen.size(), out.size() + back.size());
        QVERIFY2(seen.mid(0, out.size()) == out, qPrintable(QStringLiteral("size %1").arg(sizes[i])));
        QVERIFY(seen.mid(out.size()) == back);

        // To the applications: the echo, then the device's answer.
        for (WireClient *c : {&manager, &observer}) {
            const auto got = c->messages();
            const crs_msg2app_t &echo = got[got.size() - 2];
            const crs_msg2app_t &reply = got.last();
            QCOMPARE(echo.header.dir, 1u);
            QCOMPARE(echo.header.status, 1u);
            QCOMPARE(echo.header.tag, c == &manager ? recId : 0u);
            QCOMPARE(echo.header.stampId, stamp + 2);
            QCOMPARE(echo.header.msg_id, msgId);
            QCOMPARE(echo.header.address_from, kServer);
            QCOMPARE(echo.header.address_to, kDevice);
            QCOMPARE(echo.data, data);
            QVERIFY(echo.header.time_ms >= t0 - 1000);
            QCOMPARE(reply.header.dir, 0u);
            QCOMPARE(reply.header.status, 1u);
            QCOMPARE(reply.header.tag, 0u);
            QCOMPARE(reply.header.stampId, stamp + 3);
            QCOMPARE(reply.header.msg_id, msgId);
            QCOMPARE(reply.header.address_from, kDevice);
            QCOMPARE(reply.header.address_to, kServer);
            QCOMPARE(reply.data, data);
            QVERIFY(!reply.hasAx25);
        }
        stamp += 3;
    }

    // An Observer's message never reaches the bus; it is only echoed.
    sniffer.frames.clear();
    observer.send(9, 0x1FF, kServer, kDevice, "obs");
    QVERIFY(QTest::qWaitFor([&] { return countEchoes(manager, 0x1FF, 0) == 1; }, 5000));
    QVERIFY(QTest::qWaitFor([&] { return countEchoes(observer, 0x1FF, 0) == 1; }, 5000));
    QCOMPARE(observer.messages().last().header.tag, 9u);
    QCOMPARE(observer.messages().last().header.status, 0u);
    QCOMPARE(observer.messages().last().header.stampId, stamp + 1);
    QTest::qWait(300);
    QCOMPARE(sniffer.frames.size(), 0);

    QVERIFY(!srv.errorLog().contains(QStringLiteral("Socket CAN disconnected")));
    QCOMPARE(srv.stop(), 0);
    // The terminating signal closed the link before the process ended.
    QVERIFY(srv.errorLog().contains(QStringLiteral("Socket CAN disconnected")));
    const QStringList lines = srv.csvLines();
    QCOMPARE(lines.size(), 1 + 2 * sizes.size());
    for (int i = 0; i < sizes.size(); ++i) {
        const QString hex = QString::fromLatin1(pattern(sizes[i], i).toHex());
        const QString id = QStringLiteral(" %1").arg(0x100 + i, 0, 16).toUpper();
        const QStringList o = lines[1 + 2 * i].split(QLatin1Char(';'));
        const QStringList in = lines[2 + 2 * i].split(QLatin1Char(';'));
        QCOMPARE(o.mid(1), (QStringList{QString::number(3 * i + 1), "O", "1", "2", id, QString::number(sizes[i]), "OK", hex}));
        QCOMPARE(in.mid(1), (QStringList{QString::number(3 * i + 3), "I", "2", "1", id, QString::number(sizes[i]), "", hex}));
        QVERIFY(QDateTime::fromString(o[0], QStringLiteral("yy_MM_dd hh:mm:ss.zzz")).isValid());
    }
}

void TestApp::startupModes()
{
    // Without a configuration file: the built-in default (a USB adapter that is
    // not there, so a null reader retried every second), and no file written.
    // Started without any platform choice or display: it must not abort.
    QProcessEnvironment bare = QProcessEnvironment::systemEnvironment();
    bare.remove(QStringLiteral("QT_QPA_PLATFORM"));
    bare.remove(QStringLiteral("DISPLAY"));
    bare.remove(QStringLiteral("WAYLAND_DISPLAY"));
    ServerRun defaults;
    defaults.start(bare);

    // Run modes: each value of DisableGUI, one process each, all at once.
    struct Mode {
        const char *value;  // nullptr: parameter absent
        bool windowAsked;
    };
    const QList<Mode> modes = {{nullptr, true}, {"0", true}, {"abc", true}, {"1", false}, {"-1", false}, {"7", false}};
    std::vector<std::unique_ptr<ServerRun>> runs;
    QList<uint16_t> ports;
    for (const auto &m : modes) {
        runs.emplace_back(new ServerRun);
        const uint16_t port = freePort();
        ports << port;
        Params p = {{"Interface", "none"}, {"TcpPort", QString::number(port)},
                    {"ErrorLogFile", "server_logs/error_log"}, {"CorvidLogFile", "server_logs/corvid_log"}};
        if (m.value)
            p << qMakePair(QStringLiteral("DisableGUI"), QString::fromLatin1(m.value));
        writeConfig(runs.back()->path(QStringLiteral("server_config.xml")), p);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        if (m.value && QByteArray(m.value) == "0") {
            // A display that cannot be opened falls back to offscreen as well.
            env.remove(QStringLiteral("QT_QPA_PLATFORM"));
            env.insert(QStringLiteral("DISPLAY"), QStringLiteral(":97"));
        }
        runs.back()->start(env);
    }

    // TELNET_Devices and MaxTCPClients as the start-up converts them.
    ServerRun conv;
    const uint16_t convPort = freePort();
    writeConfig(conv.path(QStringLiteral("server_config.xml")),
                {{"Interface", "none"}, {"DisableGUI", "1"}, {"TcpPort", QString::number(convPort)},
                 {"ErrorLogFile", "server_logs/error_log"}, {"CorvidLogFile", "server_logs/corvid_log"},
                 {"TELNET_Devices", "0x2,,zz,0xFF"}, {"CC_Address", "zz"}, {"MaxTCPClients", "010"},
                 {"CorvidLogDisable", "1"}});
    QProcessEnvironment traced = QProcessEnvironment::systemEnvironment();
    traced.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("corvid.app.debug=true"));
    conv.start(traced);

    QVERIFY(defaults.waitForErrorLog(QStringLiteral("No serial devices available!")));
    QVERIFY(defaults.errorLog().startsWith(QStringLiteral("Server started at ")));
    QVERIFY(defaults.errorLog().contains(QStringLiteral("No display available, running without the main window")));
    QVERIFY(QTest::qWaitFor([&] { return defaults.errorLog().count(QStringLiteral("No serial devices available!")) >= 2; },
                            10000));
    QVERIFY(defaults.errorLog().contains(QStringLiteral("started at port 2323")) ||
            defaults.errorLog().contains(QStringLiteral("Unable to start the server")));
    QVERIFY(!QFile::exists(defaults.path(QStringLiteral("server_config.xml"))));
    QVERIFY(QDir(defaults.path(QStringLiteral("server_logs/corvid_log"))).exists());
    QCOMPARE(defaults.stop(), 0);

    for (int i = 0; i < modes.size(); ++i) {
        ServerRun &run = *runs[i];
        QVERIFY2(run.waitStarted(ports[i]), qPrintable(run.errorLog() + run.proc.readAllStandardError()));
        QVERIFY(run.waitForErrorLog(QStringLiteral("Incorrect HW interface selected!\n")));
        const bool warned = run.errorLog().contains(QStringLiteral("running without the main window"));
        QVERIFY2(warned == modes[i].windowAsked, modes[i].value ? modes[i].value : "(absent)");
        QCOMPARE(run.stop(), 0);
    }

    QVERIFY(conv.waitStarted(convPort));
    const QString log = conv.errorLog();
    // Plugins are looked for beside the program, never in the working
    // directory; the trace saying so is silent unless switched on.
    const QString pluginTrace = QStringLiteral("Qt plugins searched in: ");
    QVERIFY(!defaults.errorLog().contains(pluginTrace));
    const int at = log.indexOf(pluginTrace);
    QVERIFY2(at >= 0, qPrintable(log));
    const QStringList pluginPaths =
        log.mid(at + pluginTrace.size()).section(QLatin1Char('\n'), 0, 0).split(QStringLiteral(", "));
    QVERIFY2(pluginPaths.contains(QDir::cleanPath(QFileInfo(serverBinary()).canonicalPath() + QStringLiteral("/../plugins"))),
             qPrintable(pluginPaths.join(QLatin1Char(' '))));
    const QString workDir = QFileInfo(conv.dir.path()).canonicalFilePath();
    for (const QString &path : pluginPaths)
        QVERIFY2(!QDir::isRelativePath(path) && QFileInfo(path).canonicalFilePath() != workDir, qPrintable(path));
    // The run with the built-in configuration may hold these ports.
    QCOMPARE(log.count(QStringLiteral("Telnet TCP server is ")), 2);
    QVERIFY(log.contains(QStringLiteral("started, port: 60002")));
    QVERIFY(log.contains(QStringLiteral("started, port: 60255")));
    QVERIFY(log.contains(QStringLiteral("Corvid log disabled by user")));
    std::vector<std::unique_ptr<WireClient>> clients;
    for (int i = 0; i < 8; ++i) {
        clients.emplace_back(new WireClient);
        QVERIFY(clients.back()->open(convPort));
        QVERIFY(clients.back()->identify("c" + QByteArray::number(i), false));
    }
    clients.front()->send(1, 0x10, 1, 2, "ab");
    QVERIFY(QTest::qWaitFor([&] { return clients.back()->messages().size() == 1; }, 5000));
    WireClient ninth;
    QVERIFY(ninth.open(convPort));
    QVERIFY(conv.waitForErrorLog(QStringLiteral("Connection limit (8) reached, client rejected")));
    QVERIFY(QTest::qWaitFor([&] { return ninth.socket.state() == QAbstractSocket::UnconnectedState; }, 5000));
    QCOMPARE(conv.stop(SIGINT), 0);
    QVERIFY(conv.filesIn(QStringLiteral("server_logs/corvid_log"), QStringLiteral("*.csv")).isEmpty());
}

void TestApp::startupFailuresAndShutdown()
{
    // An error log directory that cannot be made: message on stderr, exit -1.
    ServerRun broken;
    writeConfig(broken.path(QStringLiteral("server_config.xml")),
                {{"Interface", "none"}, {"DisableGUI", "1"}, {"ErrorLogFile", "blocker/err"}});
    {
        QFile blocker(broken.path(QStringLiteral("blocker")));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
    }
    broken.start();
    QVERIFY(broken.proc.waitForFinished(20000));
    QCOMPARE(broken.proc.exitCode(), 255);
    QCOMPARE(QString::fromUtf8(broken.proc.readAllStandardError()).count(
                 QStringLiteral("Launch error: Cannot create error log file.\n")),
             1);
    QVERIFY(!QDir(broken.path(QStringLiteral("server_logs"))).exists());

    // A terminating signal right after a burst of traffic: exit 0, and the log
    // holds every line once, in order, in both log modes.
    for (const auto &variant : {qMakePair(SIGTERM, QStringLiteral("0")), qMakePair(SIGINT, QStringLiteral("2"))}) {
        ServerRun run;
        const uint16_t port = freePort();
        writeConfig(run.path(QStringLiteral("server_config.xml")),
                    {{"Interface", "none"}, {"DisableGUI", "1"}, {"TcpPort", QString::number(port)},
                     {"ErrorLogFile", "server_logs/error_log"}, {"CorvidLogFile", "server_logs/corvid_log"},
                     {"NumLogThreads", variant.second}});
        run.start();
        QVERIFY(run.waitStarted(port));
        WireClient manager;
        QVERIFY(manager.open(port));
        QVERIFY(manager.identify("m", false));
        const int count = 300;
        for (int i = 0; i < count; ++i)
            manager.send(uint32_t(i + 1), 0x42, 1, 9, pattern(i % 20, i));
        QVERIFY(QTest::qWaitFor([&] { return manager.messages().size() == count; }, 20000));
        QCOMPARE(run.stop(variant.first), 0);
        const QStringList lines = run.csvLines();
        QCOMPARE(lines.size(), count + 1);
        QCOMPARE(lines[0], QStringLiteral("Date and Time[ms]; Stamp; Direction[In, Out, Undefined]; Source; "
                                          "Destination; Message Id; Length; Status for Tx; Data;"));
        for (int i = 0; i < count; ++i) {
            const QStringList f = lines[i + 1].split(QLatin1Char(';'));
            QCOMPARE(f.size(), 9);
            // Each message takes the stamp before its echo's.
            QCOMPARE(f[1], QString::number(2 * i + 1));
            QCOMPARE(f[2], QStringLiteral("O"));
            QCOMPARE(f[5], QStringLiteral("  42"));
            QCOMPARE(f[6], QString::number(i % 20));
            QCOMPARE(f[7], QStringLiteral("ERR"));
            QCOMPARE(f[8], QString::fromLatin1(pattern(i % 20, i).toHex()));
        }
    }
}

void TestApp::systemdReadinessAndWatchdog()
{
    // systemd's end of Type=notify: a datagram socket named by NOTIFY_SOCKET.
    ServerRun srv;
    const QByteArray sockPath = srv.path(QStringLiteral("notify")).toLocal8Bit();
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    QVERIFY(fd >= 0);
    auto closeFd = qScopeGuard([fd] { ::close(fd); });
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    QVERIFY(size_t(sockPath.size()) < sizeof addr.sun_path);
    memcpy(addr.sun_path, sockPath.constData(), size_t(sockPath.size()));
    QCOMPARE(::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);

    const uint16_t port = freePort();
    writeConfig(srv.path(QStringLiteral("server_config.xml")),
                {{"Interface", "none"}, {"DisableGUI", "1"}, {"TcpPort", QString::number(port)},
                 {"ErrorLogFile", "server_logs/error_log"}, {"CorvidLogFile", "server_logs/corvid_log"}});
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("NOTIFY_SOCKET"), QString::fromLocal8Bit(sockPath));
    env.insert(QStringLiteral("WATCHDOG_USEC"), QStringLiteral("200000"));
    env.insert(QStringLiteral("JOURNAL_STREAM"), QStringLiteral("8:1234"));
    srv.start(env);

    auto next = [fd]() -> QByteArray {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 15000) != 1)
            return "(nothing)";
        char buf[256];
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        return n > 0 ? QByteArray(buf, int(n)) : QByteArray("(error)");
    };
    // Ready comes first, and only once the control port takes connections.
    QCOMPARE(next(), QByteArray("READY=1"));
    QTcpSocket probe;
    probe.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(probe.waitForConnected(5000));
    // Then the event loop keeps the watchdog fed.
    for (int i = 0; i < 3; ++i)
        QCOMPARE(next(), QByteArray("WATCHDOG=1"));
    QCOMPARE(srv.stop(), 0);
    // Diagnostics also reach the journal, with their level.
    const QByteArray journal = srv.proc.readAllStandardError();
    QVERIFY2(journal.contains("<6>Corvid server ver.143 started at port " + QByteArray::number(port) + "\n"),
             journal.constData());
}

void TestApp::interfaceSelection()
{
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("server_config.xml"));
    auto select = [&](const Params &p) {
        writeConfig(file, p);
        CorvidConfigData config(file);
        g_diagnostics.clear();
        return createConnector(&config, false);
    };
    qInstallMessageHandler(captureHandler);
    auto restore = qScopeGuard([] { qInstallMessageHandler(nullptr); });

    struct Case {
        Params params;
        const char *complaint;
    };
    const QList<Case> unusable = {
        {{{"Interface", "UDP2"}}, "Incorrect HW interface selected!\n"},
        {{}, "Incorrect HW interface selected!\n"},
        {{{"Interface", "usbtin"}}, "No serial devices available!"},
        {{{"Interface", "my-UsbTin-SocketCAN"}}, "No serial devices available!"},
    };
    for (const auto &c : unusable) {
        std::unique_ptr<AbstractConnector> conn(select(c.params));
        QVERIFY(conn);
        QVERIFY(qobject_cast<NullReader *>(conn.get()));
        QVERIFY2(g_diagnostics.contains(QString::fromLatin1(c.complaint)), qPrintable(g_diagnostics.join('|')));
        QVERIFY(corvid_get_hardware() != conn.get());
        QVERIFY(!conn->parent());
    }
    if (QCanBus::instance()->availableDevices(QStringLiteral("kq-qt-socketcan")).isEmpty()) {
        std::unique_ptr<AbstractConnector> conn(select({{"Interface", "SocketCAN"}}));
        QVERIFY(qobject_cast<NullReader *>(conn.get()));
        QVERIFY(g_diagnostics.contains(QStringLiteral("No CAN devices available!")));
    }

    // The virtual bus: a real connector, bound to the engine and ready; every
    // call builds a new one, and binding it releases the one before.
    REQUIRE_DEVSIM();
    AbstractConnector *first = select({{"Interface", "My-VirtualCAN"}, {"SocketCANPortName", "can0"}});
    QVERIFY(!qobject_cast<NullReader *>(first));
    QVERIFY(g_diagnostics.contains(QStringLiteral("Virtual CAN hw-interface will be used.\n")));
    QCOMPARE(corvid_get_hardware(), first);
    QVERIFY(corvid_is_online());
    // Ready once the device has connected to the bus.
    QTRY_COMPARE(int(first->state), int(AbstractConnector::HW_READY));
    QPointer<AbstractConnector> firstGuard(first);
    AbstractConnector *second = select({{"Interface", "virtualcan"}});
    QVERIFY(second != first);
    QVERIFY(firstGuard.isNull());
    QCOMPARE(corvid_get_hardware(), second);
    corvid_clear_hardware();
    QVERIFY(!corvid_get_hardware());
}

void TestApp::hubRouting()
{
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("server_config.xml"));
    writeConfig(file, {{"Interface", "none"}, {"SSID_BRD", "1"}});
    CorvidConfigData config(file);
    FakeServerView window;
    auto *conn = new ScriptedConnector();
    conn->HW_init();
    CorvidServer::setConnectorFactory(&scriptedFactory);
    CorvidServer hub(conn, &config, 0, &window);
    hub.attachToEngine();
    QSignalSpy logSpy(&hub, &CorvidServer::signalLogData);
    hub.startServer();
    QCOMPARE(window.states, QList<int>{2});
    const uint16_t port = hub.tcpServer()->serverPort();
    QVERIFY(port != 0);

    WireClient manager, observer;
    QVERIFY(manager.open(port));
    QVERIFY(manager.identify("mgr", false));
    QVERIFY(observer.open(port));
    QVERIFY(observer.identify("obs", true));
    QCOMPARE(window.added, (QList<quint32>{0, 1}));
    QCOMPARE(manager.states(), QVector<uint32_t>{2});
    // Saying who it is again refreshes its row; it stays one client.
    observer.socket.write(buildAppInfoFrame(CRS_APP_VERSION, "obs2", true));
    QVERIFY(QTest::qWaitFor([&] { return window.added.size() == 3; }, 5000));
    QCOMPARE(window.removed, QList<quint32>{1});
    QCOMPARE(hub.tcpServer()->clientCount(), 2);

    // A Manager's message goes to the link, is logged before its echo, and the
    // echo carries the next stamp.
    manager.send(7, 0x10, 1, 2, "abc");
    QVERIFY(QTest::qWaitFor([&] { return observer.messages().size() == 1; }, 5000));
    QCOMPARE(conn->sent, QVector<QByteArray>{"abc"});
    QCOMPARE(logSpy.size(), 1);
    QCOMPARE(logSpy[0][1].toULongLong(), 1ull);
    QCOMPARE(logSpy[0][2].toBool(), true);
    QCOMPARE(logSpy[0][3].toUInt(), 1u);
    QCOMPARE(hub.txCorvidCount(), 1u);
    QCOMPARE(window.counters.value("txCorvid"), 1);
    QCOMPARE(window.counters.value("txBytes"), 3);
    QVERIFY(QTest::qWaitFor([&] { return manager.messages().size() == 1; }, 5000));
    QCOMPARE(manager.messages()[0].header.tag, 7u);
    QCOMPARE(manager.messages()[0].header.stampId, 2ull);
    QCOMPARE(observer.messages()[0].header.tag, 0u);

    // A send the link does not take whole is logged as failed; the window's
    // transmit counters are not refreshed for it.
    conn->acceptSends = false;
    manager.send(8, 0x10, 1, 2, "de");
    QVERIFY(QTest::qWaitFor([&] { return logSpy.size() == 2; }, 5000));
    QCOMPARE(logSpy[1][3].toUInt(), 0u);
    QCOMPARE(hub.txCorvidCount(), 2u);
    QCOMPARE(window.counters.value("txCorvid"), 1);
    conn->acceptSends = true;
    QVERIFY(QTest::qWaitFor([&] { return manager.messages().size() == 2 && observer.messages().size() == 2; }, 5000));

    // Messages from the bus reach every identified client and the log.
    QTcpSocket silent;  // connected but never identified: receives nothing
    silent.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(silent.waitForConnected(5000));
    QVERIFY(QTest::qWaitFor([&] { return hub.tcpServer()->connectionCount() == 3; }, 5000));
    const int before = manager.messages().size();
    const quint64 stampBefore = hub.tcpServer()->stampId;
    QByteArray busData = pattern(300, 1);
    for (uint16_t id : {uint16_t(0x20), uint16_t(0xFFF1), uint16_t(0xFFF2), uint16_t(0xFFF0)}) {
        corvid_message m = corvid_message_over(id, 5, 1, busData);
        corvid_on_message(&m);
    }
    QVERIFY(QTest::qWaitFor([&] { return observer.messages().size() == before + 4; }, 5000));
    QVERIFY(QTest::qWaitFor([&] { return manager.messages().size() == before + 4; }, 5000));
    const auto got = manager.messages().mid(before);
    for (int i = 0; i < 4; ++i) {
        QCOMPARE(got[i].header.dir, 0u);
        QCOMPARE(got[i].header.status, 1u);
        QCOMPARE(got[i].header.tag, 0u);
        QCOMPARE(got[i].header.stampId, stampBefore + 1 + i);
        QCOMPARE(got[i].header.address_from, uint16_t(5));
        QCOMPARE(got[i].data, busData);
    }
    QCOMPARE(got[1].header.msg_id, uint16_t(0xFFF1));
    QCOMPARE(logSpy.size(), 6);
    QCOMPARE(logSpy[2][2].toBool(), false);
    QCOMPARE(logSpy[2][3].toUInt(), 0u);
    QCOMPARE(logSpy[5][1].toULongLong(), stampBefore + 4);
    QCOMPARE(hub.rxCorvidCount(), 4u);
    QCOMPARE(window.counters.value("rxCorvid"), 4);
    QTest::qWait(50);
    QCOMPARE(silent.bytesAvailable(), 0);

    // Engine errors are printed with their names.
    qInstallMessageHandler(captureHandler);
    g_diagnostics.clear();
    corvid_on_error(3);
    corvid_on_error(8);
    qInstallMessageHandler(nullptr);
    QCOMPARE(g_diagnostics, (QStringList{"Corvid error occured 3: WRONG_CRC", "Corvid error occured 8: "}));

    // Link state changes go to the window and to every client. The connect
    // button closes the link and keeps it closed.
    window.pressConnect();
    QCOMPARE(conn->closes, 1);
    QCOMPARE(window.states.last(), 1);
    QVERIFY(QTest::qWaitFor([&] { return observer.states().size() == 3; }, 5000));  // one more from saying who it is again
    QCOMPARE(observer.states().last(), 1u);
    QVERIFY(QTest::qWaitFor([&] { return manager.states().size() == 2; }, 5000));
    // Not ready: nothing reaches the link, the message is logged as failed.
    manager.send(9, 0x10, 1, 2, "x");
    QVERIFY(QTest::qWaitFor([&] { return logSpy.size() == 7; }, 5000));
    QCOMPARE(conn->sent.size(), 2);
    QCOMPARE(logSpy[6][3].toUInt(), 0u);

    // Parameter changes apply at once and keep the stored description.
    const int inits = conn->inits;
    hub.slotParamChanged(QStringLiteral("ssid_brd"), QStringLiteral("3"));
    QCOMPARE(conn->inits, inits + 1);
    QCOMPARE(config.getParam(QStringLiteral("ssid_brd")), QStringLiteral("3"));
    hub.slotParamChanged(QStringLiteral("SSID_BRD"), QStringLiteral("4"));
    QCOMPARE(config.getParam(QStringLiteral("SSID_BRD")), QStringLiteral("4"));
    QCOMPARE(config.getDescription(QStringLiteral("SSID_BRD")), QStringLiteral("d"));
    hub.slotParamChanged(QStringLiteral("RestrictFakeSatTelemetry"), QStringLiteral("1"));
    QCOMPARE(int(hub.tcpServer()->restrictFakeSatTelemetry), 1);
    hub.slotParamChanged(QStringLiteral("RestrictFakeSatTelemetry"), QStringLiteral("zz"));
    QCOMPARE(int(hub.tcpServer()->restrictFakeSatTelemetry), 0);

    // A port that is not a usable number changes nothing; a new port drops
    // every client and listens there, without touching the link.
    const int initsBeforePort = conn->inits;
    for (const char *bad : {"12ab", "70000", "0"}) {
        hub.slotParamChanged(QStringLiteral("TcpPort"), QLatin1String(bad));
        QCOMPARE(hub.tcpServer()->serverPort(), port);
    }
    const uint16_t newPort = freePort();
    hub.slotParamChanged(QStringLiteral("tcpport"), QString::number(newPort));
    QCOMPARE(hub.tcpServer()->serverPort(), newPort);
    QCOMPARE(conn->inits, initsBeforePort);
    QVERIFY(QTest::qWaitFor([&] { return window.removed.size() == 3; }, 5000));
    WireClient late;
    QVERIFY(late.open(newPort));
    QVERIFY(late.identify("late", false));
    QCOMPARE(hub.connector(), conn);
    CorvidServer::setConnectorFactory(nullptr);
    delete conn;
}

void TestApp::hubLinkControl()
{
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("server_config.xml"));
    writeConfig(file, {{"Interface", "nothing-here"}});
    CorvidConfigData config(file);
    const QString description = config.getDescription(QStringLiteral("Interface"));
    FakeServerView window;
    g_factoryCalls = 0;
    CorvidServer::setConnectorFactory(&nullFactory);
    auto *first = new NullReader();
    QPointer<AbstractConnector> firstGuard(first);
    CorvidServer hub(first, &config, 0, &window);
    hub.startServer();
    WireClient client;
    QVERIFY(client.open(hub.tcpServer()->serverPort()));
    QVERIFY(client.identify("c", false));
    QCOMPARE(client.states(), QVector<uint32_t>{1});

    // While the link is a null reader it is rebuilt every second, the old one
    // deleted each time.
    QVERIFY(QTest::qWaitFor([&] { return g_factoryCalls >= 2; }, 5000));
    QVERIFY(firstGuard.isNull());
    QVERIFY(qobject_cast<NullReader *>(hub.connector()));
    QCOMPARE(config.getParam(QStringLiteral("Interface")), QStringLiteral("nothing-here"));
    QCOMPARE(config.getDescription(QStringLiteral("Interface")), description);

    // Once the link can be built it comes up; ready, it is left alone.
    CorvidServer::setConnectorFactory(&scriptedFactory);
    QVERIFY(QTest::qWaitFor([&] { return qobject_cast<ScriptedConnector *>(hub.connector()); }, 5000));
    QCOMPARE(int(hub.connector()->state), int(AbstractConnector::HW_READY));
    QCOMPARE(window.states.last(), 2);
    QVERIFY(QTest::qWaitFor([&] { return client.states().contains(2u); }, 5000));
    const int calls = g_factoryCalls;
    AbstractConnector *ready = hub.connector();
    QTest::qWait(1500);
    QCOMPARE(g_factoryCalls, calls);
    QCOMPARE(hub.connector(), ready);

    // The connect button closes a ready link and keeps it closed...
    window.pressConnect();
    QCOMPARE(int(ready->state), int(AbstractConnector::HW_NOTINIT));
    QVERIFY(!hub.rebuildTimerActive());
    QVERIFY(QTest::qWaitFor([&] { return client.states().last() == 1u; }, 5000));
    QTest::qWait(1500);
    QCOMPARE(g_factoryCalls, calls);
    QCOMPARE(hub.connector(), ready);
    // ...and opens it again.
    window.pressConnect();
    QCOMPARE(int(ready->state), int(AbstractConnector::HW_READY));
    QVERIFY(hub.rebuildTimerActive());
    QVERIFY(QTest::qWaitFor([&] { return client.states().last() == 2u; }, 5000));

    // Changing the interface rebuilds the link at once.
    QPointer<AbstractConnector> readyGuard(ready);
    hub.slotParamChanged(QStringLiteral("Interface"), QStringLiteral("other"));
    QVERIFY(readyGuard.isNull());
    QCOMPARE(g_factoryCalls, calls + 1);
    QCOMPARE(config.getParam(QStringLiteral("Interface")), QStringLiteral("other"));
    QCOMPARE(config.getDescription(QStringLiteral("Interface")), description);
    QCOMPARE(int(hub.connector()->state), int(AbstractConnector::HW_READY));
    CorvidServer::setConnectorFactory(nullptr);
    delete hub.connector();
}

void TestApp::hubListenFailure()
{
    // The port is taken: without a window only the diagnostic; with one the
    // operator is asked, and Ok goes on without clients.
    QTcpServer occupier;
    QVERIFY(occupier.listen(QHostAddress::Any, 0));
    for (const bool withWindow : {false, true}) {
        RecordingPrompt prompt;
        FakeServerView view;
        CorvidServer hub(nullptr, nullptr, occupier.serverPort(), withWindow ? &view : nullptr);
        qInstallMessageHandler(captureHandler);
        g_diagnostics.clear();
        hub.startServer();
        qInstallMessageHandler(nullptr);
        const QString text = QStringLiteral("Unable to start the server: ") + hub.tcpServer()->errorString();
        QVERIFY(!hub.tcpServer()->errorString().isEmpty());
        QCOMPARE(prompt.listenFailures, withWindow ? QStringList{text} : QStringList());
        QCOMPARE(g_diagnostics.contains(QStringLiteral("Server Error: ") + text), !withWindow);
        QCOMPARE(hub.tcpServer()->serverPort(), uint16_t(0));
        delete hub.connector();
    }
}

QTEST_GUILESS_MAIN(TestApp)
void TestApp::configurationFaultsAtStartup()
{
    // A configuration cut short: what was read holds, the rest takes the
    // built-in defaults, and it is said at once on standard error and again in
    // the error log once that exists. The message log path names a plain file.
    ServerRun srv;
    const uint16_t port = freePort();
    writeConfig(srv.path(QStringLiteral("server_config.xml")),
                {{"TcpPort", QString::number(port)}, {"DisableGUI", "1"}, {"Interface", "none"},
                 {"ErrorLogFile", "logs/a/b/err"}, {"CorvidLogFile", "blocked"}, {"Cut", "here"}});
    QFile cut(srv.path(QStringLiteral("server_config.xml")));
    QVERIFY(cut.open(QIODevice::ReadWrite));
    cut.resize(cut.size() - 30);
    cut.close();
    QFile blocked(srv.path(QStringLiteral("blocked")));
    QVERIFY(blocked.open(QIODevice::WriteOnly));
    blocked.close();
    srv.errorLogDir = QStringLiteral("logs/a/b");
    srv.start();
    QVERIFY2(srv.waitStarted(port), qPrintable(srv.errorLog()));
    const QString partly = QStringLiteral("The server runs on a partly read configuration (server_config.xml)");
    const QString log = srv.errorLog();
    QVERIFY2(log.startsWith(QStringLiteral("Server started at ")), qPrintable(log));
    QVERIFY(log.indexOf(QStringLiteral(": Error: ")) < log.indexOf(partly));
    QVERIFY(log.contains(QStringLiteral("Message log folder blocked cannot be used: it is not a folder")));
    QCOMPARE(srv.stop(), 0);
    const QString err = QString::fromLocal8Bit(srv.proc.readAllStandardError());
    QVERIFY2(err.contains(partly) && err.indexOf(QStringLiteral(": Error: ")) >= 0, qPrintable(err));
    QVERIFY(!err.contains(QStringLiteral("started at port")));  // once the log exists, only the log
}

void TestApp::refusedSendAndNestedLogs()
{
    ServerRun srv;
    const uint16_t port = freePort();
    Params params = virtualCanParams(port);
    params << qMakePair(QStringLiteral("ErrorLogFile"), QStringLiteral("logs/a/b/err"))
           << qMakePair(QStringLiteral("CorvidLogFile"), QStringLiteral("logs/c/d"))
           << qMakePair(QStringLiteral("MaxTCPClients"), QStringLiteral("70000"));
    writeConfig(srv.path(QStringLiteral("server_config.xml")), params);
    srv.errorLogDir = QStringLiteral("logs/a/b");
    srv.csvDir = QStringLiteral("logs/c/d");
    srv.start();
    QVERIFY2(srv.waitStarted(port), qPrintable(srv.errorLog()));
    QVERIFY(srv.errorLog().contains(
        QStringLiteral("Parameter MaxTCPClients has the value \"70000\", not a number from 0 to 65535; the default 3 is used")));

    WireClient manager;
    QVERIFY(manager.open(port));
    QVERIFY(manager.identify("m", false));
    QVERIFY(QTest::qWaitFor([&] { return manager.states().contains(2u); }, 10000));
    // An address CAN cannot carry: refused by the engine, logged as failed.
    manager.send(1, 0x10, kServer, 0x4000, "no");
    manager.send(2, 0x11, kServer, kDevice, "ok");
    QVERIFY(QTest::qWaitFor([&] { return countEchoes(manager, 0x11, 1) == 1; }, 10000));
    QCOMPARE(srv.stop(), 0);
    const QStringList lines = srv.csvLines();
    QCOMPARE(lines.filter(QStringLiteral(";O;1;4000;  10;2;ERR;")).size(), 1);
    QCOMPARE(lines.filter(QStringLiteral(";O;1;2;  11;2;OK;")).size(), 1);
    QVERIFY(srv.errorLog().contains(QStringLiteral(
        "Corvid error occured 14: CAN_CAN_IDENTIFIER_EXT_TOO_LONG (message id 0x10, from 0x1, to 0x4000, length 2)")));
}

void TestApp::listeningRetried()
{
    // The port is taken when the server starts: it says so once, keeps
    // trying, and serves clients once the port is free.
    QTcpServer blocker;
    QVERIFY(blocker.listen(QHostAddress::Any, 0));
    const uint16_t port = blocker.serverPort();
    ServerRun srv;
    Params params = virtualCanParams(port);
    params[0].second = QStringLiteral("none");
    writeConfig(srv.path(QStringLiteral("server_config.xml")), params);
    srv.start();
    QVERIFY(srv.waitForErrorLog(QStringLiteral("Unable to start the server: ")));
    blocker.close();
    QVERIFY2(srv.waitStarted(port), qPrintable(srv.errorLog()));
    QCOMPARE(srv.errorLog().count(QStringLiteral("Unable to start the server: ")), 2);  // the acceptor's and the hub's
    WireClient client;
    QVERIFY(client.open(port));
    QVERIFY(client.identify("late", true));
    QCOMPARE(srv.stop(), 0);
}

#include "tst_app.moc"
