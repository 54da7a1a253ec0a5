// The server as a whole: the built program started in a scratch directory,
// talked to over real TCP sockets, with the device simulator on Qt's virtual
// CAN bus; plus the start-up settings in-process.

#include "app/StartupSettings.h"
#include "config/CorvidConfigData.h"
#include "engine/corvid_engine.h"
#include "tests/common/bus_reference.h"
#include "tests/common/server_run.h"
#include "tests/common/virtual_bus.h"
#include "tests/common/wire_client.h"

#include <QCanBus>
#include <QCanBusDevice>
#include <QtTest>

#include <memory>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr uint16_t kDevice = 2;  // the simulator's bus address
constexpr uint16_t kServer = 1;

QString serverBinary() { return builtProgram(QStringLiteral("app/corvid-server")); }
QString devsimBinary() { return builtProgram(QStringLiteral("tools/devsim/corvid-devsim")); }

// The test's environment with `changes` made; an empty value removes the variable.
QProcessEnvironment environment(const ConfigParams &changes)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const auto &c : changes) {
        if (c.second.isEmpty())
            env.remove(c.first);
        else
            env.insert(c.first, c.second);
    }
    return env;
}

// Listens on the virtual bus and keeps every frame seen.
struct BusSniffer : QObject {
    std::unique_ptr<QCanBusDevice> device{QCanBus::instance()->createDevice("virtualcan", "can0")};
    QVector<ReferenceCanFrame> frames;

    bool open()
    {
        connect(device.get(), &QCanBusDevice::framesReceived, this, [this] {
            while (device->framesAvailable()) {
                const QCanBusFrame f = device->readFrame();
                frames.push_back({f.frameId(), f.hasExtendedFrameFormat(), f.payload()});
            }
        });
        return device->connectDevice() &&
               QTest::qWaitFor([this] { return device->state() == QCanBusDevice::ConnectedState; });
    }
};

// The server on the virtual bus, a Manager and an Observer.
struct BusSession {
    ServerRun srv;
    uint16_t port = freePort();
    WireClient manager, observer;
};

}  // namespace

class TestApp : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void startupSettings_data();
    void startupSettings();
    void endToEnd();
    void startupModes();
    void startupFailuresAndShutdown();
    void systemdReadinessAndWatchdog();
    void configurationFaultsAtStartup();
};

void TestApp::initTestCase()
{
    corvid_register_metatypes();
    for (const QString &program : {serverBinary(), devsimBinary(), builtProgram(QStringLiteral("tools/vbus/corvid-vbus"))})
        QVERIFY2(QFile::exists(program), qPrintable(program + QStringLiteral(" is not built")));
    QVERIFY(QCanBus::instance()->plugins().contains(QStringLiteral("virtualcan")));
}

void TestApp::startupSettings_data()
{
    QTest::addColumn<ConfigParams>("params");
    QTest::addColumn<QString>("expected");
    const QString plain = QStringLiteral("gui1 max- tel- cc-1 log1 esc1 crlf0 uhf0/0");
    QTest::newRow("defaults") << ConfigParams{} << plain;
    // Values their use does not allow take the built-in default.
    QTest::newRow("odd values") << ConfigParams{{"DisableGUI", "abc"}, {"MaxTCPClients", "010"},
        {"TELNET_Devices", "0x2,,zz,0xFF,2"}, {"CC_Address", "zz"}, {"CorvidLogDisable", "01"}, {"TELNET_deEsc", "0"},
        {"TELNET_CRLF", "7"}, {"TELNET_UHF_BUFFER", "70000"}, {"TELNET_UHF_DELAY", "500"}}
                                << "gui1 max8 tel2,ff,2 cc+1 log1 esc0 crlf0 uhf195/500";
    QTest::newRow("gui -1") << ConfigParams{{"DisableGUI", "-1"}} << QString(plain).replace("gui1", "gui0");
    QTest::newRow("gui 0") << ConfigParams{{"DisableGUI", "0"}} << plain;
    QTest::newRow("hex max") << ConfigParams{{"MaxTCPClients", "0x10"}} << QString(plain).replace("max-", "max16");
    QTest::newRow("no log") << ConfigParams{{"CorvidLogDisable", "1"}} << QString(plain).replace("log1", "log0");
    QTest::newRow("log ' 1'") << ConfigParams{{"CorvidLogDisable", " 1"}} << plain;
    // CC_Address matters only together with TELNET_Devices.
    QTest::newRow("cc alone") << ConfigParams{{"CC_Address", "0x5"}} << plain;
    QTest::newRow("cc") << ConfigParams{{"CC_Address", "0x5"}, {"TELNET_Devices", "ff"}}
                        << QString(plain).replace("tel- cc-1", "telff cc+5");
}

void TestApp::startupSettings()
{
    QFETCH(ConfigParams, params);
    QTemporaryDir dir;
    QVERIFY(writeConfig(dir.filePath(QStringLiteral("server_config.xml")), params));
    CorvidConfigData config(dir.filePath(QStringLiteral("server_config.xml")));
    const StartupSettings s = StartupSettings::read(config);
    QStringList devices;
    for (uint16_t d : s.telnetDevices)
        devices << QString::number(d, 16);
    QTEST(QStringLiteral("gui%1 max%2 tel%3 cc%4%5 log%6 esc%7 crlf%8 uhf%9/%10")
              .arg(s.graphical).arg(s.hasMaxClients ? QString::number(s.maxClients) : QStringLiteral("-"))
              .arg(s.hasTelnetDevices ? devices.join(',') : QStringLiteral("-"), s.hasCcAddress ? "+" : "-")
              .arg(s.ccAddress).arg(s.messageLogEnabled).arg(s.telnetDeEsc).arg(s.telnetCRLF)
              .arg(s.telnetUhfBuffer).arg(s.telnetUhfDelay),
          "expected");
}

void TestApp::endToEnd()
{
    VirtualBusHost bus;
    QVERIFY2(bus.start(), qPrintable(bus.error()));
    BusSniffer sniffer;
    QVERIFY(sniffer.open());
    BusSession s;
    QVERIFY(s.srv.configure(virtualCanParams(s.port)));
    s.srv.start();
    QVERIFY2(s.srv.waitStarted(s.port), qPrintable(s.srv.errorLog()));
    Devsim sim;
    QVERIFY2(sim.start(), sim.output.constData());
    QVERIFY(s.manager.open(s.port) && s.manager.identify("manager", false));
    QVERIFY(s.observer.open(s.port) && s.observer.identify("observer", true));
    QCOMPARE(s.observer.states(), QVector<uint32_t>{2});

    // On the bus the server's frames, then the device's; to the applications the echo, then the answer.
    quint64 stamp = 0;
    auto round = [&](uint32_t recId, uint16_t msgId, const QByteArray &data) {
        sniffer.frames.clear();
        const int before = s.manager.messages().size();
        s.manager.send(recId, msgId, kServer, kDevice, data);
        QVERIFY2(QTest::qWaitFor([&] { return s.observer.messages().size() == before + 2; }, 30000),
                 qPrintable(QStringLiteral("size %1").arg(data.size())));
        QVERIFY(QTest::qWaitFor([&] { return s.manager.messages().size() == before + 2; }));
        const auto expected = reference_frames(msgId, kServer, kDevice, data) +
                              reference_frames(msgId, kDevice, kServer, data);
        QVERIFY(QTest::qWaitFor([&] { return sniffer.frames.size() >= expected.size(); }, 10000));
        QVERIFY2(sniffer.frames == expected, qPrintable(QStringLiteral("size %1").arg(data.size())));
        for (WireClient *c : {&s.manager, &s.observer}) {
            const auto got = c->messages().mid(before);
            QCOMPARE(got.size(), 2);
            const QString line = QStringLiteral("dir %1 status 1 stamp %2 tag %3 id 0x%4 %5 [%6]");
            const QString hex = QString::fromLatin1(data.toHex());
            QCOMPARE(got[0].text(), line.arg(1).arg(stamp + 2).arg(c == &s.manager ? recId : 0).arg(msgId, 0, 16)
                                        .arg(QStringLiteral("1->2"), hex));
            QCOMPARE(got[1].text(), line.arg(0).arg(stamp + 3).arg(0).arg(msgId, 0, 16).arg(QStringLiteral("2->1"), hex));
        }
        stamp += 3;
    };
    const QList<int> sizes = {0, 8, 9, 65533};
    for (int i = 0; i < sizes.size(); ++i) {
        round(uint32_t(50 + i), uint16_t(0x100 + i), reference_pattern(sizes[i], i));
        if (QTest::currentTestFailed())
            return;
    }

    // An Observer's message never reaches the bus; it is only echoed. The next
    // round's frames on the bus show that nothing came before them.
    s.observer.send(9, 0x1FF, kServer, kDevice, "obs");
    QVERIFY(QTest::qWaitFor([&] { return s.manager.count(0x1FF, 0) == 1 && s.observer.count(0x1FF, 0) == 1; }));
    QCOMPARE(s.observer.messages().last().text().left(30),
             QStringLiteral("dir 0 status 0 stamp %1 tag 9 ").arg(stamp + 1));
    stamp += 1;
    round(60, 0x1FE, "after");

    // The link drops: every client is told, then the rebuild brings it back. Whoever opens the virtual bus
    // first hosts it, so the server's rebuild (or the simulator's) brings the bus back too; a new host
    // started here would race both for the port.
    bus.kill();
    for (WireClient *c : {&s.observer, &s.manager})
        QVERIFY2(QTest::qWaitFor([&] { return c->states().contains(1u) && c->states().last() == 2u; }, 15000),
                 qPrintable(s.srv.errorLog()));
    QVERIFY(s.srv.errorLog().count(QStringLiteral("Virtual CAN hw-interface will be used.\n")) >= 2);
    // Nothing doubled once the device is back; it may announce itself before
    // its bus link is through: probe until it answers.
    QVERIFY(QTest::qWaitFor(
        [&] {
            if (s.manager.count(0x3FF, 0) == 0)
                s.manager.send(3, 0x3FF, kServer, kDevice, "probe");
            return QTest::qWaitFor([&] { return s.manager.count(0x3FF, 0) > 0; }, 300);
        },
        15000));
    s.manager.send(2, 0x302, kServer, kDevice, reference_pattern(40, 2));
    s.manager.send(4, 0x303, kServer, kDevice, "end");
    QVERIFY(QTest::qWaitFor([&] { return s.manager.count(0x303, 0) == 1 && s.observer.count(0x303, 0) == 1; }, 10000));
    QCOMPARE(QString("%1 %2 %3").arg(s.manager.count(0x302, 1)).arg(s.manager.count(0x302, 0))
                 .arg(s.observer.count(0x302, 0)), QStringLiteral("1 1 1"));

    // The terminating signal closes the link before the process ends.
    const int closed = s.srv.errorLog().count(QStringLiteral("Socket CAN disconnected"));
    QCOMPARE(s.srv.stop(), 0);
    QCOMPARE(s.srv.errorLog().count(QStringLiteral("Socket CAN disconnected")), closed + 1);
    // Every message and answer logged once; rows with their data are the shutdown run's matter.
    const QStringList lines = s.srv.csvLines();
    const QRegularExpression first(";(O;1;2|I;2;1); (10[0-3]|1fe);", QRegularExpression::CaseInsensitiveOption);
    QCOMPARE(lines.filter(first).size(), 2 * sizes.size() + 2);
    for (const char *row : {";O;1;2; 302;40;OK;", ";I;2;1; 302;40;;"})
        QVERIFY2(lines.filter(row).size() == 1, row);
}

void TestApp::startupModes()
{
    // Without a configuration file: the built-in default (a USB adapter that is
    // not there, so a null reader retried every second), and no file written.
    // Started without any platform choice or display: it must not abort.
    ServerRun defaults;
    defaults.start(environment({{"QT_QPA_PLATFORM", ""}, {"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}}));

    // DisableGUI 0 on a display that cannot be opened: offscreen as well.
    ServerRun windowed;
    const uint16_t windowedPort = freePort();
    QVERIFY(windowed.configure(headlessParams(windowedPort) + ConfigParams{{"DisableGUI", "0"}}));
    windowed.start(environment({{"QT_QPA_PLATFORM", ""}, {"DISPLAY", ":97"}}));
    // DisableGUI 1, the message log off, the plugin trace switched on.
    ServerRun headless;
    const uint16_t headlessPort = freePort();
    QVERIFY(headless.configure(headlessParams(headlessPort) + ConfigParams{{"CorvidLogDisable", "1"}}));
    headless.start(environment({{"QT_LOGGING_RULES", "corvid.app.debug=true"}}));

    QVERIFY(defaults.waitForErrorLog(QStringLiteral("No serial devices available!")));
    QVERIFY(defaults.errorLog().startsWith(QStringLiteral("Server started at ")));
    QVERIFY(defaults.errorLog().contains(QStringLiteral("No display available, running without the main window")));
    QVERIFY(QTest::qWaitFor([&] { return defaults.errorLog().count("No serial devices available!") >= 2; }, 10000));
    QVERIFY(!QFile::exists(defaults.path(QStringLiteral("server_config.xml"))));
    QVERIFY(QDir(defaults.path(QStringLiteral("server_logs/corvid_log"))).exists());
    QCOMPARE(defaults.stop(), 0);

    for (ServerRun *run : {&windowed, &headless}) {
        QVERIFY2(run->waitStarted(run == &headless ? headlessPort : windowedPort), qPrintable(run->errorLog()));
        QVERIFY(run->waitForErrorLog(QStringLiteral("Incorrect HW interface selected!\n")));
        QCOMPARE(run->errorLog().contains("running without the main window"), run == &windowed);
    }
    QCOMPARE(windowed.stop(), 0);
    const QString log = headless.errorLog();
    // Plugins are looked for beside the program, never in the working
    // directory; the trace saying so is silent unless switched on.
    const QString pluginTrace = QStringLiteral("Qt plugins searched in: ");
    QVERIFY(!defaults.errorLog().contains(pluginTrace));
    QVERIFY2(log.contains(pluginTrace), qPrintable(log));
    const QStringList pluginPaths = log.section(pluginTrace, 1).section('\n', 0, 0).split(QStringLiteral(", "));
    QVERIFY2(pluginPaths.contains(QDir::cleanPath(QFileInfo(serverBinary()).canonicalPath() + "/../plugins")),
             qPrintable(pluginPaths.join(' ')));
    for (const QString &path : pluginPaths)
        QVERIFY2(!QDir::isRelativePath(path) &&
                     QFileInfo(path).canonicalFilePath() != QFileInfo(headless.dir.path()).canonicalFilePath(),
                 qPrintable(path));
    QVERIFY(log.contains(QStringLiteral("Corvid log disabled by user")));
    WireClient client(headlessPort);
    QVERIFY(client.identify("c", false));
    client.send(1, 0x10, 1, 2, "ab");
    QVERIFY(QTest::qWaitFor([&] { return client.messages().size() == 1; }, 5000));
    QCOMPARE(headless.stop(SIGINT), 0);
    QVERIFY(headless.filesIn(QStringLiteral("server_logs/corvid_log"), QStringLiteral("*.csv")).isEmpty());
}

void TestApp::startupFailuresAndShutdown()
{
    // An error log directory that cannot be made: message on stderr, exit -1.
    ServerRun broken;
    QVERIFY(broken.configure({{"Interface", "none"}, {"DisableGUI", "1"}, {"ErrorLogFile", "blocker/err"}}));
    QFile blocker(broken.path(QStringLiteral("blocker")));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    broken.start();
    QVERIFY(broken.proc.waitForFinished(20000));
    QCOMPARE(broken.proc.exitCode(), 255);
    QCOMPARE(QString(broken.proc.readAllStandardError()).count("Launch error: Cannot create error log file.\n"), 1);
    QVERIFY(!QDir(broken.path(QStringLiteral("server_logs"))).exists());

    // A terminating signal right after a burst of traffic: exit 0, and the log
    // holds every line once, in order, in both log modes.
    for (const auto &variant : {qMakePair(SIGTERM, QStringLiteral("0")), qMakePair(SIGINT, QStringLiteral("2"))}) {
        ServerRun run;
        const uint16_t port = freePort();
        QVERIFY(run.configure(headlessParams(port) << qMakePair(QStringLiteral("NumLogThreads"), variant.second)));
        run.start();
        QVERIFY(run.waitStarted(port));
        WireClient manager(port);
        QVERIFY(manager.identify("m", false));
        const int count = 300;
        for (int i = 0; i < count; ++i)
            manager.send(uint32_t(i + 1), 0x42, 1, 9, reference_pattern(i % 20, i));
        QVERIFY(QTest::qWaitFor([&] { return manager.messages().size() == count; }, 20000));
        QCOMPARE(run.stop(variant.first), 0);
        const QStringList lines = run.csvLines();
        QCOMPARE(lines.size(), count + 1);
        for (int i = 0; i < count; ++i)  // each message takes the stamp before its echo's
            QCOMPARE(lines[i + 1].section(';', 1), QStringLiteral("%1;O;1;9;  42;%2;ERR;").arg(2 * i + 1).arg(i % 20) +
                                                       reference_pattern(i % 20, i).toHex());
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
    QVERIFY(srv.configure(headlessParams(port)));
    srv.start(environment({{"NOTIFY_SOCKET", QString::fromLocal8Bit(sockPath)}, {"WATCHDOG_USEC", "200000"},
                           {"JOURNAL_STREAM", "8:1234"}}));
    auto next = [fd]() -> QByteArray {
        pollfd p{fd, POLLIN, 0};
        char buf[256];
        const ssize_t n = ::poll(&p, 1, 15000) == 1 ? ::recv(fd, buf, sizeof buf, 0) : -1;
        return n > 0 ? QByteArray(buf, int(n)) : QByteArray("(nothing)");
    };
    // Ready comes first, and only once the control port takes connections;
    // then the event loop keeps the watchdog fed.
    QCOMPARE(next(), QByteArray("READY=1"));
    QTcpSocket probe;
    probe.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(probe.waitForConnected(5000));
    for (int i = 0; i < 3; ++i)
        QCOMPARE(next(), QByteArray("WATCHDOG=1"));
    QCOMPARE(srv.stop(), 0);
    // Diagnostics also reach the journal, with their level.
    const QByteArray journal = srv.proc.readAllStandardError();
    QVERIFY2(journal.contains("<6>Corvid server ver.143 started at port " + QByteArray::number(port) + "\n"),
             journal.constData());
}

void TestApp::configurationFaultsAtStartup()
{
    // A configuration cut short: what was read holds, the rest takes the
    // built-in defaults, and it is said at once on standard error and again in
    // the error log once that exists. The message log path names a plain file.
    const uint16_t port = freePort();
    ServerRun srv;
    QVERIFY(srv.configure({{"TcpPort", QString::number(port)}, {"DisableGUI", "1"}, {"Interface", "none"},
                           {"ErrorLogFile", "logs/a/b/err"}, {"CorvidLogFile", "blocked"}, {"Cut", "here"}}));
    QFile cut(srv.path(QStringLiteral("server_config.xml")));
    QVERIFY(cut.open(QIODevice::ReadWrite) && cut.resize(cut.size() - 30));
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
    QVERIFY2(err.contains(partly) && err.contains(QStringLiteral(": Error: ")), qPrintable(err));
    QVERIFY(!err.contains(QStringLiteral("started at port")));  // once the log exists, only the log
}

QTEST_GUILESS_MAIN(TestApp)
#include "tst_app.moc"
