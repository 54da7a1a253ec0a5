// The server as a whole: the built program started in a scratch directory,
// talked to over real TCP sockets, with the device simulator on Qt's virtual
// CAN bus; plus the start-up settings in-process.

#include "app/CorvidDiagnostics.h"
#include "app/LogRotation.h"
#include "app/StartupSettings.h"
#include "config/CorvidConfigData.h"
#include "engine/corvid_engine.h"
#include "log/CorvidLog.h"
#include "log/corvid_log_format.h"
#include "tests/common/bus_reference.h"
#include "tests/common/pty_peer.h"
#include "tests/common/server_run.h"
#include "tests/common/virtual_bus.h"
#include "tests/common/wire_client.h"

#include <QCanBus>
#include <QCanBusDevice>
#include <QSignalSpy>
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
    void logRotationTimer();
    void healthForTheSupervisor();
    void configurationFaultsAtStartup();
    void commandLines_data();
    void commandLines();
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
    // Absent: the built-in defaults.
    const QString plain =
        QStringLiteral("gui1 max3 tel2,ff cc+1 log1 esc1 crlf0 dbg0 uhf195/500 rot0 keep0 met0@127.0.0.1");
    QTest::newRow("defaults") << ConfigParams{} << plain;
    // Values their use does not allow take the built-in default.
    QTest::newRow("odd values") << ConfigParams{{"DisableGUI", "abc"}, {"MaxTCPClients", "010"},
        {"TELNET_Devices", "0x2,,zz,0xFF,2"}, {"CC_Address", "zz"}, {"CorvidLogDisable", "01"}, {"TELNET_deEsc", "0"},
        {"TELNET_CRLF", "7"}, {"TELNET_DEBUG", "2"}, {"TELNET_UHF_BUFFER", "70000"}, {"TELNET_UHF_DELAY", "500"},
        {"LogRotateHours", "-1"}, {"LogKeepDays", "1y"}}
                                << "gui1 max8 tel2,ff,2 cc+1 log1 esc0 crlf1 dbg1 uhf195/500 rot0 keep0 met0@127.0.0.1";
    QTest::newRow("rotation") << ConfigParams{{"LogRotateHours", "24"}, {"LogKeepDays", "090"}}
                              << QString(plain).replace("rot0 keep0", "rot24 keep90");
    QTest::newRow("gui -1") << ConfigParams{{"DisableGUI", "-1"}} << QString(plain).replace("gui1", "gui0");
    QTest::newRow("gui 0") << ConfigParams{{"DisableGUI", "0"}} << plain;
    QTest::newRow("hex max") << ConfigParams{{"MaxTCPClients", "0x10"}} << QString(plain).replace("max3", "max16");
    QTest::newRow("no log") << ConfigParams{{"CorvidLogDisable", "1"}} << QString(plain).replace("log1", "log0");
    QTest::newRow("log ' 1'") << ConfigParams{{"CorvidLogDisable", " 1"}} << plain;
    QTest::newRow("cc") << ConfigParams{{"CC_Address", "0x5"}, {"TELNET_Devices", "ff"}}
                        << QString(plain).replace("tel2,ff cc+1", "telff cc+5");
    QTest::newRow("metrics") << ConfigParams{{"MetricsPort", "9464"}, {"MetricsListenAddress", " ::1 "}}
                             << QString(plain).replace("met0@127.0.0.1", "met9464@::1");
    QTest::newRow("metrics, no address") << ConfigParams{{"MetricsPort", "70000"}, {"MetricsListenAddress", "host:1"}}
                                         << plain;
    // The same forms as the other listen addresses.
    QTest::newRow("metrics, brackets") << ConfigParams{{"MetricsListenAddress", "[::1]"}}
                                       << QString(plain).replace("@127.0.0.1", "@::1");
    QTest::newRow("metrics, mapped") << ConfigParams{{"MetricsListenAddress", "::ffff:10.1.2.3"}}
                                     << QString(plain).replace("@127.0.0.1", "@10.1.2.3");
    QTest::newRow("metrics, short quad") << ConfigParams{{"MetricsListenAddress", "10.1"}} << plain;
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
    QTEST(QString(QStringLiteral("gui%1 max%2 tel%3 cc%4%5 log%6 esc%7 crlf%8 dbg%9 uhf%10/%11")
              .arg(s.graphical).arg(s.hasMaxClients ? QString::number(s.maxClients) : QStringLiteral("-"))
              .arg(s.hasTelnetDevices ? devices.join(',') : QStringLiteral("-"), s.hasCcAddress ? "+" : "-")
              .arg(s.ccAddress).arg(s.messageLogEnabled).arg(s.telnetDeEsc).arg(s.telnetCRLF).arg(s.telnetDebug)
              .arg(s.telnetUhfBuffer).arg(s.telnetUhfDelay) + QStringLiteral(" rot%1 keep%2").arg(s.logRotateHours).arg(s.logKeepDays)
              + QStringLiteral(" met%1@%2").arg(s.metricsPort).arg(s.metricsAddress.toString())),
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

    // The link drops: every client is told. Neither the server nor the
    // simulator takes the bus over; once a host serves it again, the rebuild
    // brings the link back.
    bus.kill();
    for (WireClient *c : {&s.observer, &s.manager})
        QVERIFY2(QTest::qWaitFor([&] { return c->states().contains(1u); }, 15000), qPrintable(s.srv.errorLog()));
    QVERIFY2(bus.start(), qPrintable(bus.error()));
    for (WireClient *c : {&s.observer, &s.manager})
        QVERIFY2(QTest::qWaitFor([&] { return c->states().last() == 2u; }, 15000), qPrintable(s.srv.errorLog()));
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
    // (Written anew then: what the log still counts is written first.)
    const QRegularExpression disconnected(QStringLiteral("\\d: Socket CAN disconnected$"), QRegularExpression::MultilineOption);
    const int closed = s.srv.errorLog().count(disconnected);
    QCOMPARE(s.srv.stop(), 0);
    QCOMPARE(s.srv.errorLog().count(disconnected), closed + 1);
    QVERIFY(s.srv.diagnosticCount(QStringLiteral("Virtual CAN hw-interface will be used.")) >= 2);  // rebuilt
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
    defaults.start(environment({{"QT_QPA_PLATFORM", ""}, {"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""},
                                {"QT_LOGGING_RULES", "corvid.hub.debug=true"}}));

    // DisableGUI 0 on a display that cannot be opened: offscreen as well.
    ServerRun windowed;
    const uint16_t windowedPort = freePort();
    QVERIFY(windowed.configure(headlessParams(windowedPort) + ConfigParams{{"DisableGUI", "0"}}));
    windowed.start(environment({{"QT_QPA_PLATFORM", ""}, {"DISPLAY", ":97"}}));
    // DisableGUI 1, the message log off, the plugin trace switched on; on a
    // file given with --config, not the working directory's, whose port is taken.
    ServerRun headless;
    QTemporaryDir elsewhere;
    const uint16_t headlessPort = freePort();
    QVERIFY(headless.configure(headlessParams(windowedPort)));
    QVERIFY(writeConfig(elsewhere.filePath("c.xml"), headlessParams(headlessPort) + ConfigParams{{"CorvidLogDisable", "1"}}));
    headless.start(environment({{"QT_LOGGING_RULES", "corvid.app.debug=true"}}), serverBinary(),
                   {"--config", elsewhere.filePath("c.xml")});

    QVERIFY(defaults.waitForErrorLog(QStringLiteral("No serial devices available!")));
    QVERIFY(defaults.errorLog().startsWith(QStringLiteral("Server started at ")));
    QVERIFY(defaults.errorLog().contains(QStringLiteral("No display available, running without the main window")));
    QVERIFY(defaults.waitForErrorLog(QStringLiteral("rebuilding the link (attempt 2)")));
    QVERIFY(!QFile::exists(defaults.path(QStringLiteral("server_config.xml"))));
    QVERIFY(QDir(defaults.path(QStringLiteral("server_logs/corvid_log"))).exists());
    QCOMPARE(defaults.stop(), 0);

    for (ServerRun *run : {&windowed, &headless}) {
        QVERIFY2(run->waitStarted(run == &headless ? headlessPort : windowedPort), qPrintable(run->errorLog()));
        QVERIFY(run->waitForErrorLog(QStringLiteral("Incorrect HW interface selected! (Interface \"none\")\n")));
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
    QCOMPARE(QDir(elsewhere.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList{"c.xml"});
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
    const QString launchError = QStringLiteral("Launch error: Cannot create error log file. blocker/err\\d{4}(-\\d\\d){2}_"
                                               "\\d\\d(-\\d\\d){2}\\.txt: Not a directory\n");
    QCOMPARE(QString(broken.proc.readAllStandardError()).count(QRegularExpression(launchError)), 1);
    QVERIFY(!QDir(broken.path(QStringLiteral("server_logs"))).exists());

    // A port in use is said at once on the terminal the server runs on.
    QTcpServer occupier;
    QVERIFY(occupier.listen(QHostAddress::Any, 0));
    PtyPeer terminal;
    ServerRun onTerminal;
    QVERIFY(onTerminal.configure(headlessParams(occupier.serverPort())));
    onTerminal.proc.setStandardErrorFile(terminal.path());
    onTerminal.start();
    const QByteArray said = "Unable to start the server: all local addresses, port " +
                            QByteArray::number(occupier.serverPort()) + ": The bound address is already in use";
    QVERIFY2(QTest::qWaitFor([&] { return terminal.received().contains(said); }, 15000), terminal.received());
    QCOMPARE(onTerminal.stop(), 0);

    // A flood with SIGHUP twice in it, a terminating signal right after: exit
    // 0, three error logs and three message logs that hold every line once,
    // in order, in both log modes. Old files named as the server's own go at
    // start; others stay.
    const QStringList own = {"error_log2020-01-01_00-00-00.txt", "corvid_log/HistoryLogServer20_01_01T00-00-00-000.csv",
                             "corvid_log/HistoryLogServer_N0-C_L_20_01_01T00-00-00-000.csv"};
    const QStringList others = {"draft_error_log2020-01-01_00-00-00.txt", "error_log2020-01-01_00-00-00.txt.bak",
                                "corvid_log/HistoryLogServer20_01_01T00-00-00-000.csv.gz", "error_log2020-01-02_00-00-00.txt"};
    for (const auto &variant : {qMakePair(SIGTERM, QStringLiteral("0")), qMakePair(SIGINT, QStringLiteral("2"))}) {
        ServerRun run;
        QVERIFY(QDir().mkpath(run.path(run.csvDir)));
        for (const QString &name : own + others) {
            QFile f(run.path("server_logs/" + name));
            const int daysAgo = name == others.last() ? 1 : 3;  // the last one is not old enough
            QVERIFY(f.open(QIODevice::WriteOnly) && f.write("old") == 3 && f.flush() &&
                    f.setFileTime(QDateTime::currentDateTimeUtc().addDays(-daysAgo), QFileDevice::FileModificationTime));
        }
        const uint16_t port = freePort();
        QVERIFY(run.configure(headlessParams(port) + ConfigParams{{"NumLogThreads", variant.second}, {"LogKeepDays", "2"}}));
        run.start();
        QVERIFY(run.waitStarted(port));
        for (const QString &name : own + others)
            QVERIFY2(QFile::exists(run.path("server_logs/" + name)) == others.contains(name), qPrintable(name));
        QVERIFY(run.errorLog().contains(QStringLiteral("Deleted 3 log files last written more than 2 days ago")));
        WireClient manager(port);
        QVERIFY(manager.identify("m", false));
        const int count = 300;
        for (int i = 0; i < count; ++i) {
            manager.send(uint32_t(i + 1), 0x42, 1, 9, reference_pattern(i % 20, i));
            if (i == 0)  // a message log file is open: there is one to end
                QVERIFY(QTest::qWaitFor([&] { return !manager.messages().isEmpty(); }));
            if (i % 100 == 0 && i > 0) {  // one at a time: signals pending together are one
                ::kill(pid_t(run.proc.processId()), SIGHUP);
                QVERIFY(QTest::qWaitFor([&] { return run.errorLog().startsWith(QStringLiteral("Server started at ")) &&
                                                     run.filesIn(run.errorLogDir, "error_log2*.txt").size() == 2 + i / 100; }));
            }
        }
        QVERIFY(QTest::qWaitFor([&] { return manager.messages().size() == count; }, 20000));
        QCOMPARE(run.stop(variant.first), 0);
        QStringList lines;
        const QStringList csv = run.filesIn(run.csvDir, QStringLiteral("*.csv"));
        QCOMPARE(csv.size(), 3);
        for (const QString &file : csv) {
            const QStringList inFile = readText(file).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
            QVERIFY2(inFile.value(0).startsWith(QStringLiteral("Date and Time[ms]; Stamp;")), qPrintable(file));
            lines += inFile.mid(1);
        }
        QCOMPARE(lines.size(), count);
        for (int i = 0; i < count; ++i)  // each message takes the stamp before its echo's
            QCOMPARE(lines[i].section(';', 1), QStringLiteral("%1;O;1;9;  42;%2;ERR;").arg(2 * i + 1).arg(i % 20) +
                                                   reference_pattern(i % 20, i).toHex());
        // Each error log starts as at start and tells where it goes on.
        QStringList logs = run.filesIn(run.errorLogDir, QStringLiteral("error_log2*.txt"));
        logs.removeAll(run.path("server_logs/" + others.last()));
        QCOMPARE(logs.size(), 3);
        for (int i = 0; i < logs.size(); ++i) {
            const QString text = readText(logs[i]);
            QVERIFY2(text.startsWith(QStringLiteral("Server started at ")), qPrintable(logs[i]));
            const QString next = QFileInfo(logs.value(i + 1)).fileName();
            QCOMPARE(text.contains("Log files end here (SIGHUP); the error log goes on in server_logs/" + next), i < 2);
        }
    }
}

void TestApp::logRotationTimer()
{
    // New files every `rotateEveryMs` (hours in service; short here), named
    // as at start, each error log starting as at start.
    QTemporaryDir dir;
    const QString prefix = dir.filePath(QStringLiteral("logs/err")), csvDir = dir.filePath(QStringLiteral("csv"));
    QVERIFY(QDir().mkpath(csvDir));
    const QDateTime start = QDateTime::currentDateTimeUtc();
    auto *file = new QFile;
    QVERIFY(corvid_open_error_log(*file, prefix, start));
    auto *stream = new QTextStream(file);
    corvid_write_error_log_start(*stream, start);
    CorvidLog log(csvDir, true, 1);
    int rotations = 0;
    {
        LogRotation rotation({prefix, csvDir, 20, 0}, file, stream, start, &log);
        QSignalSpy rotated(&rotation, &LogRotation::rotated);
        QVERIFY(QTest::qWaitFor([&] { return rotated.size() >= 2; }, 10000));
        rotations = rotated.size();
    }
    const QStringList logs = QDir(dir.filePath(QStringLiteral("logs"))).entryList(QDir::Files);
    QCOMPARE(logs.filter(corvid_error_log_file_pattern(prefix)).size(), rotations + 1);
    for (const QString &name : logs)
        QVERIFY(readText(dir.filePath("logs/" + name)).startsWith("Server started at " + start.toString("yyyy-MM-dd hh:mm:ss")));
    QCOMPARE(QDir(csvDir).entryList(QDir::Files).filter(corvid_log_file_pattern()).size(), rotations + 1);
}

void TestApp::healthForTheSupervisor()
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
    QList<QByteArray> said;
    // Until `what` comes; everything read is kept in `said`.
    auto until = [&](const QByteArray &what) {
        for (;;) {
            pollfd p{fd, POLLIN, 0};
            char buf[256];
            const ssize_t n = ::poll(&p, 1, 15000) == 1 ? ::recv(fd, buf, sizeof buf, 0) : -1;
            if (n <= 0)
                return false;
            said << QByteArray(buf, int(n));
            if (said.last() == what)
                return true;
        }
    };
    // The health check a monitor runs: its exit status.
    auto requireReady = [](uint16_t port) {
        ChildProcess client;
        client.start(builtProgram(QStringLiteral("tools/client/corvid-client")),
                     {QStringLiteral("--require-ready"), QStringLiteral("-p"), QString::number(port)});
        return client.waitForFinished(20000) ? client.exitCode() : -1;
    };

    // No host for the virtual bus yet: the server waits for one rather than
    // becoming the host itself.
    VirtualBusHost bus;
    const uint16_t port = freePort();
    QVERIFY(srv.configure(virtualCanParams(port)));
    srv.start(environment({{"NOTIFY_SOCKET", QString::fromLocal8Bit(sockPath)}, {"WATCHDOG_USEC", "200000"},
                           {"JOURNAL_STREAM", "8:1234"}}));
    // Ready comes first, and only once the control port takes connections.
    QVERIFY(until("READY=1"));
    QCOMPARE(said, QList<QByteArray>{"READY=1"});
    QTcpSocket probe;
    probe.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(probe.waitForConnected(5000));
    QVERIFY(until("STATUS=Link virtualcan: HW_NOTINIT; clients: 0"));
    QVERIFY(srv.waitForErrorLog(QStringLiteral("no virtual CAN bus host; start corvid-vbus")));
    QCOMPARE(requireReady(port), 3);
    QVERIFY(until("STATUS=Link virtualcan: HW_NOTINIT; clients: 1"));  // the check, while connected
    // The bus's host comes (it could not, had the server taken its port);
    // the link follows.
    QVERIFY2(bus.start(), qPrintable(bus.error()));
    QVERIFY(until("STATUS=Link virtualcan: HW_READY; clients: 0"));
    QCOMPARE(requireReady(port), 0);
    QVERIFY(until("STATUS=Link virtualcan: HW_READY; clients: 0"));
    // The event loop keeps the watchdog fed; stopping is said.
    for (int i = 0; i < 3; ++i)
        QVERIFY(until("WATCHDOG=1"));
    ::kill(pid_t(srv.proc.processId()), SIGTERM);
    QVERIFY(until("STOPPING=1"));
    QCOMPARE(srv.stop(), 0);
    const QString log = srv.errorLog();
    QCOMPARE(log.count(QStringLiteral("no virtual CAN bus host; start corvid-vbus")), 1);
    QVERIFY2(log.contains(QStringLiteral("virtual CAN bus host found")) && !log.contains(QStringLiteral("35468")),
             qPrintable(log));
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
    const QString partly = QStringLiteral("The server runs on a partly read configuration (server_config.xml: line ");
    const QString log = srv.errorLog();
    QVERIFY2(log.startsWith(QStringLiteral("Server started at ")), qPrintable(log));
    QVERIFY(log.indexOf(QStringLiteral(": Error: ")) < log.indexOf(partly));
    QVERIFY(log.contains(QStringLiteral("Message log folder blocked cannot be used: it is not a folder")));
    QCOMPARE(srv.stop(), 0);
    const QString err = QString::fromLocal8Bit(srv.proc.readAllStandardError());
    QVERIFY2(err.contains(partly) && err.contains(QStringLiteral(": Error: ")), qPrintable(err));
    QVERIFY(!err.contains(QStringLiteral("started at port")));  // once the log exists, only the log
}

void TestApp::commandLines_data()
{
    // The output of stdout and stderr together, as a pattern of the whole.
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("output");
    auto text = [](const QString &t) { return QRegularExpression::escape(t); };
    const QString server = QStringLiteral("app/corvid-server");
    const QString problems = QStringLiteral("%1: %2 problems\n");
    QTest::newRow("help") << server << QStringList{"--help"} << 0
                          << text("Usage: corvid-server [--config FILE] [--check-config [FILE]] [--help] [--version] "
                                  "[Qt options]\n") + ".*--check-config \\[FILE\\] .*";
    QTest::newRow("unknown option") << server << QStringList{"-platform", "offscreen", "--frob"} << 2
                                    << text("corvid-server: unknown option '--frob'\nUsage: corvid-server [--config") + ".*";
    QTest::newRow("good file") << server << QStringList{"--check-config", "good.xml"} << 0
                               << text("good.xml: configuration ok\n");
    QTest::newRow("unknown name") << server << QStringList{"--config", "typo.xml", "--check-config"} << 1
                                  << text("Warning: Unknown parameter TcpPrt in typo.xml is ignored; did you mean TcpPort?\n"
                                          "Warning: Interface \"virtualcann\" is not one of UsbTin, SocketCAN, virtualcan, "
                                          "AGWPE, KISSTCP, UDP; it is taken as virtualcan\n" + problems.arg("typo.xml").arg(2));
    QTest::newRow("bad number") << server << QStringList{"--check-config=number.xml"} << 1
                                << text("Critical: Parameter TcpPort has the value \"70000\", not a number from 1 to 65535; "
                                        "the default 2323 is used\nnumber.xml: 1 problem\n");
    QTest::newRow("broken tag") << server << QStringList{"--check-config", "broken.xml"} << 1
                                << text("Critical: Error: Opening and ending tag mismatch. in file broken.xml at line 4, "
                                        "column 65.\nCritical: The server runs on a partly read configuration (broken.xml: "
                                        "line 4, column 65: Opening and ending tag mismatch.); the parameters it lacks take "
                                        "their built-in defaults\n" + problems.arg("broken.xml").arg(2));
    QTest::newRow("missing --config") << server << QStringList{"--config", "none.xml"} << 1
                                      << text("corvid-server: cannot read the configuration file none.xml\n");
    QTest::newRow("devsim") << "tools/devsim/corvid-devsim" << QStringList{"--bogus"} << 2
                            << text("corvid-devsim: Unknown option 'bogus'. (see --help)\n");
    QTest::newRow("adapter-sim") << "tools/adapter-sim/corvid-adapter-sim" << QStringList{"--ack", "soon"} << 2
                                 << text("corvid-adapter-sim: --ack: expected now, late, never or bel (see --help)\n");
    QTest::newRow("vbus") << "tools/vbus/corvid-vbus" << QStringList{"stray"} << 2
                          << text("corvid-vbus: unexpected argument 'stray' (see --help)\n");
    // One version, the package's, everywhere.
    QFile changelog(qEnvironmentVariable("CORVID_SOURCE_DIR") + QStringLiteral("/debian/changelog"));
    QVERIFY(changelog.open(QIODevice::ReadOnly));
    const QString version = QString::fromUtf8(changelog.readLine()).section('(', 1).section(')', 0, 0);
    for (const QString program : {"app/corvid-server", "tools/client/corvid-client", "tools/devsim/corvid-devsim",
                                  "tools/adapter-sim/corvid-adapter-sim", "tools/vbus/corvid-vbus"})
        QTest::newRow(qPrintable(program.section('/', -1) + " --version"))
            << program << QStringList{"--version"} << 0 << text(program.section('/', -1) + ' ' + version) + "( \\(.*\\))?\n";
}

void TestApp::commandLines()
{
    QFETCH(QString, program);
    QFETCH(QStringList, args);
    ServerRun run;
    QVERIFY(writeConfig(run.path("good.xml"), {{"Interface", "UDP"}, {"TcpPort", "2400"}}));
    QVERIFY(writeConfig(run.path("typo.xml"), {{"Interface", "virtualcann"}, {"TcpPrt", "2400"}}));
    QVERIFY(writeConfig(run.path("number.xml"), {{"Interface", "UDP"}, {"TcpPort", "70000"}}));
    QFile broken(run.path("broken.xml"));
    QVERIFY(broken.open(QIODevice::WriteOnly));
    broken.write("<?xml version=\"1.0\"?>\n<Config>\n"
                 "<Parameter><ParmName>Interface</ParmName><ParmValue>UDP</ParmValue></Parameter>\n"
                 "<Parameter><ParmName>TcpPort</ParmName><ParmValue>2400</ParmValu></Parameter>\n</Config>\n");
    broken.close();
    QTemporaryDir runtime;  // else Qt says it lacks one
    run.proc.setProcessChannelMode(QProcess::MergedChannels);
    run.start(environment({{"XDG_RUNTIME_DIR", runtime.path()}}), builtProgram(program), args);
    QVERIFY(run.proc.waitForFinished(20000));
    QCOMPARE(run.proc.exitStatus(), QProcess::NormalExit);
    QTEST(run.proc.exitCode(), "status");
    const QString got = QString::fromUtf8(run.proc.readAll());
    QFETCH(QString, output);
    QVERIFY2(QRegularExpression(QStringLiteral("\\A(?:%1)\\z").arg(output), QRegularExpression::DotMatchesEverythingOption)
                 .match(got).hasMatch(), qPrintable(got));
    // Nothing was started: no log, nothing written.
    QCOMPARE(QDir(run.dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
             QStringList({"broken.xml", "good.xml", "number.xml", "typo.xml"}));
}

QTEST_GUILESS_MAIN(TestApp)
#include "tst_app.moc"
