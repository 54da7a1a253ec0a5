// Device terminals: the Telnet byte work on its own, the bridge and the hub
// in-process, then the server program with device simulators on the virtual
// CAN bus, raw TCP terminals and the Debian telnet client on a pseudo-terminal.

#include "connectors/NullReader.h"
#include "server/CorvidServer.h"
#include "server/CorvidTelnet.h"
#include "server/telnet_stream.h"
#include "tests/common/fake_server_view.h"
#include "tests/common/diagnostic_capture.h"
#include "tests/common/server_run.h"
#include "tests/common/virtual_bus.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QtTest>

#include <fcntl.h>
#include <memory>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Chunks = QList<QByteArray>;

QByteArray hex(const char *h)
{
    return QByteArray::fromHex(h);
}

QString serverBinary() { return builtProgram(QStringLiteral("app/corvid-server")); }
QString devsimBinary() { return builtProgram(QStringLiteral("tools/devsim/corvid-devsim")); }

// A terminal that speaks no Telnet at all, like netcat.
struct RawTerminal : QObject {
    QTcpSocket socket;
    QByteArray got;
    bool open(uint16_t port)
    {
        connect(&socket, &QTcpSocket::readyRead, this, [this] { got += socket.readAll(); });
        socket.connectToHost(QHostAddress::LocalHost, port);
        return socket.waitForConnected(5000);
    }
    void type(const QByteArray &bytes) { socket.write(bytes), socket.flush(); }
    bool waitFor(const QByteArray &expected, int ms = 10000)
    {
        return QTest::qWaitFor([&] { return got.size() >= expected.size(); }, ms) && got == expected;
    }
    bool waitClosed() { return QTest::qWaitFor([this] { return socket.state() == QAbstractSocket::UnconnectedState; }); }
};

// What a device simulator says it received: one entry per message.
struct DeviceRx {
    QList<int> sizes;
    QByteArray data;   // concatenated; only whole while every message is short
    bool whole = true;
};

DeviceRx deviceRx(Devsim &sim)
{
    sim.output += sim.proc.readAll();
    static const QRegularExpression line(QStringLiteral("rx 0xfff1 from 0x[0-9a-f]+ to 0x[0-9a-f]+, (\\d+) bytes(?:: "
                                                        "([0-9a-f]+)(\\.\\.\\.)?)?"));
    DeviceRx rx;
    auto it = line.globalMatch(QString::fromLatin1(sim.output));
    while (it.hasNext()) {
        const auto m = it.next();
        rx.sizes << m.captured(1).toInt();
        rx.data += QByteArray::fromHex(m.captured(2).toLatin1());
        rx.whole = rx.whole && m.captured(3).isEmpty();
    }
    return rx;
}

// Data the test types that needs no escaping: no IAC, no CR.
QByteArray paste(int size)
{
    QByteArray b(size, '\0');
    for (int i = 0; i < size; ++i)
        b[i] = char(0x20 + (i * 7) % 0x5F);
    return b;
}

// The Debian telnet client on a pseudo-terminal; `screen` is what it shows.
struct TelnetProgram {
    pid_t pid = -1;
    int master = -1;
    QByteArray screen;
    ~TelnetProgram()
    {
        if (pid > 0)
            ::kill(pid, SIGKILL), ::waitpid(pid, nullptr, 0);
        if (master >= 0)
            ::close(master);
    }
    bool start(uint16_t port)
    {
        const QByteArray portText = QByteArray::number(port);
        if ((pid = ::forkpty(&master, nullptr, nullptr, nullptr)) == 0) {
            ::setenv("TERM", "dumb", 1);
            ::execlp("telnet", "telnet", "127.0.0.1", portText.constData(), static_cast<char *>(nullptr));
            ::_exit(127);
        }
        return pid > 0 && ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK) == 0;
    }
    bool waitScreen(const QByteArray &text, int count = 1)
    {
        return QTest::qWaitFor([&] {
            char buf[4096];
            for (ssize_t n; (n = ::read(master, buf, sizeof buf)) > 0;)
                screen.append(buf, int(n));
            return screen.count(text) >= count;
        });
    }
    void type(const QByteArray &keys) { QVERIFY(::write(master, keys.constData(), size_t(keys.size())) == keys.size()); }
};

constexpr uint16_t kEchoDevice = 2;   // answers every message with an echo
constexpr uint16_t kQuietDevice = 3;  // answers nothing
constexpr uint16_t kOnDemand = 5;     // not configured; sends a Telnet message of its own

// In-process bridges listen above the ports the system hands out for
// outgoing connections.
constexpr uint16_t kLocalDevice = 0x1000;

}  // namespace

class TestTelnet : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void pacing();
    void slowTerminal();
    void hubBridges();
    void terminal_data();
    void terminal();
    void sessions();
    void telnetClient();
    void cleanupTestCase();

private:
    bool startServer(ServerRun &srv, const ConfigParams &extra);

    VirtualBusHost m_bus;
    std::unique_ptr<Devsim> m_echo;
    std::unique_ptr<Devsim> m_quiet;
};

void TestTelnet::initTestCase()
{
    corvid_register_metatypes();
    QVERIFY2(QFile::exists(serverBinary()), qPrintable(serverBinary()));
    QVERIFY2(QFile::exists(devsimBinary()), qPrintable(devsimBinary()));
    // The bus is hosted apart, so devices may come and go.
    QVERIFY2(m_bus.start(), qPrintable(m_bus.error()));
    m_echo = std::make_unique<Devsim>(kEchoDevice);
    m_quiet = std::make_unique<Devsim>(kQuietDevice, QStringList{QStringLiteral("--no-echo")});
    QVERIFY(m_echo->start() && m_quiet->start());
}

void TestTelnet::cleanupTestCase()
{
    m_echo.reset();
    m_quiet.reset();
}

namespace {

// A bridge in the test process, with its link and log recorded.
struct LocalBridge {
    QList<QByteArray> sent;
    QList<quint32> logged;
    std::unique_ptr<CorvidTelnet> bridge;
    LocalBridge(uint16_t pieceSize, uint16_t delay)
    {
        const CorvidTelnet::Links links{[this](corvid_message *m) -> int64_t {
                                            sent << QByteArray(reinterpret_cast<const char *>(m->data), m->length);
                                            return m->length;
                                        },
                                        [this](const corvid_message &, quint32 status) { logged << status; }};
        bridge = std::make_unique<CorvidTelnet>(kLocalDevice, links, 1, 0xFFF1, true, false, pieceSize, delay, false);
    }
};

}  // namespace

void TestTelnet::pacing()
{
    // A delay far beyond the test's patience: the test ticks the timer itself.
    LocalBridge paced(195, 60000);
    QVERIFY(paced.bridge->isListening());
    RawTerminal term;
    QVERIFY(term.open(paced.bridge->port()));
    term.type(paste(400));
    QVERIFY(QTest::qWaitFor([&] { return paced.bridge->pacingTimer().isActive(); }));
    QCOMPARE(paced.bridge->pacingTimer().interval(), 60000);
    QVERIFY(paced.sent.isEmpty());
    for (int i = 0; i < 3; ++i)
        paced.bridge->on_UHF_send_timer();
    QCOMPARE(paced.sent, (QList<QByteArray>{paste(400).left(179), paste(400).mid(179, 179), paste(400).mid(358)}));
    QCOMPARE(paced.logged, (QList<quint32>{1, 1, 1}));
    QVERIFY(!paced.bridge->pacingTimer().isActive());
}

void TestTelnet::slowTerminal()
{
    LocalBridge local(0, 0);
    // Device data before any terminal is dropped, not kept for a later one.
    QCOMPARE(local.bridge->telnetWrite("early", true), qint64(-1));

    // A terminal that connects and never reads: its buffer takes one byte.
    RawTerminal stuck;
    stuck.socket.setReadBufferSize(1);
    QVERIFY(stuck.open(local.bridge->port()));
    QVERIFY(QTest::qWaitFor([&] { return local.bridge->hasTerminal(); }));

    QSignalSpy gone(local.bridge.get(), &CorvidTelnet::clientDisconnected);
    DiagnosticCapture diag;
    const QByteArray block(64 * 1024, 'x');
    qint64 offered = 0;
    while (gone.isEmpty() && offered < 256LL * 1024 * 1024) {
        local.bridge->telnetWrite(block, true);
        offered += block.size();
        QCoreApplication::processEvents();
    }
    const QStringList diagnostics = diag.texts();
    QCOMPARE(gone.size(), 1);
    QCOMPARE(gone.first().first().toUInt(), quint32(local.bridge->port()));
    QVERIFY(!local.bridge->hasTerminal());
    QVERIFY2(!diagnostics.filter(QStringLiteral("Telnet TCP client does not read, port: %1").arg(local.bridge->port())).isEmpty(),
             qPrintable(diagnostics.mid(0, 5).join('\n')));

    // The next terminal starts clean: nothing of the old queue reaches it.
    RawTerminal next;
    QVERIFY(next.open(local.bridge->port()));
    QVERIFY(QTest::qWaitFor([&] { return local.bridge->hasTerminal(); }));
    local.bridge->telnetWrite("probe", true);
    QVERIFY(next.waitFor("probe"));
}

void TestTelnet::hubBridges()
{
    FakeServerView view;
    NullReader link;
    CorvidServer hub(&link, nullptr, freePort(), &view);
    const uint16_t port = uint16_t(60000 + kLocalDevice);
    hub.addTelnetDevice(kLocalDevice, 1, 0xFFF1, true, false, 0, 0, false);
    QVERIFY(hub.telnetBridge(kLocalDevice)->isListening());
    RawTerminal term;
    QVERIFY(term.open(port));
    QVERIFY(QTest::qWaitFor([&] { return view.added == QList<quint32>{port}; }));

    // The same address again: the old bridge lets go of its terminal and its
    // port before the new one listens.
    hub.addTelnetDevice(kLocalDevice, 1, 0xFFF1, true, false, 0, 0, false);
    QCOMPARE(view.removed, QList<quint32>{port});
    QVERIFY(hub.telnetBridge(kLocalDevice)->isListening());
    QVERIFY(term.waitClosed());
    RawTerminal again;
    QVERIFY(again.open(port));
    QVERIFY(QTest::qWaitFor([&] { return view.added.size() == 2; }));
}

bool TestTelnet::startServer(ServerRun &srv, const ConfigParams &extra)
{
    const uint16_t port = freePort();
    ConfigParams params = virtualCanParams(port);
    params << QPair<QString, QString>{"TELNET_Devices", "0x2,0x3"} << extra;
    if (!srv.configure(params))
        return false;
    srv.start();
    m_echo->output.clear();
    m_quiet->output.clear();
    m_echo->proc.readAll();
    m_quiet->proc.readAll();
    return srv.waitStarted(port);
}

void TestTelnet::terminal_data()
{
    QTest::addColumn<ConfigParams>("params");
    QTest::addColumn<uint16_t>("device");
    QTest::addColumn<Chunks>("typed");
    QTest::addColumn<QByteArray>("toDevice");   // null: too long to compare here
    QTest::addColumn<QList<int>>("pieces");     // empty: not compared
    QTest::addColumn<QByteArray>("toTerminal");
    QTest::addColumn<QString>("logged");  // a diagnostic ...
    QTest::addColumn<int>("times");       // ... written this often

    const ConfigParams plain;
    const QString listening = QStringLiteral("Telnet TCP server is started, port: 60002");
    const ConfigParams crlf{{"TELNET_CRLF", "1"}};
    const QByteArray line("hello\r\n");
    Chunks bytewise;
    for (const char c : line)
        bytewise << QByteArray(1, c);
    QTest::newRow("one piece") << plain << kEchoDevice << Chunks{line} << line << QList<int>{7} << line << listening << 1;
    QTest::newRow("byte by byte") << plain << kEchoDevice << bytewise << line << QList<int>{1, 1, 1, 1, 1, 1, 1}
                                  << line << listening << 1;
    QTest::newRow("iac iac both ways") << plain << kEchoDevice << Chunks{hex("41ffff42")} << hex("41ff42")
                                       << QList<int>{3} << hex("41ffff42") << listening << 1;
    QTest::newRow("debug dumps") << ConfigParams{{"TELNET_DEBUG", "1"}} << kEchoDevice << Chunks{hex("41ffff42")}
                                 << hex("41ff42") << QList<int>{3} << hex("41ffff42")
                                 << QStringLiteral("CorvidTelnet::slotServerRead(), size: 4, 3") << 1;
    QTest::newRow("negotiation split across reads")
        << plain << kQuietDevice
        << Chunks{hex("41ff"), hex("fb1842"), hex("fffe"), hex("0043"), hex("ff"), hex("ff44"), hex("fffd1f")}
        << hex("414243ff44") << QList<int>() << hex("fffe18fffc18fffd00fffb00fffe1ffffc1f") << listening << 1;
    QTest::newRow("subnegotiation, commands without option")
        << plain << kQuietDevice << Chunks{hex("fffa1f00500018fff0"), hex("41fff142fff943"), hex("fffd0144")}
        << hex("0050001841424344") << QList<int>() << hex("fffe1ffffc1f") << listening << 1;
    QTest::newRow("cr nul cut by a read") << crlf << kQuietDevice << Chunks{hex("610d"), hex("0062")} << hex("610d62")
                                          << QList<int>{2, 1} << QByteArray() << listening << 1;
    QTest::newRow("no de-escaping") << ConfigParams{{"TELNET_deEsc", "0"}} << kQuietDevice << Chunks{hex("fffb1841ffff")}
                                    << hex("fffb1841ffff") << QList<int>{6} << QByteArray() << listening << 1;
    QTest::newRow("cr nul rewritten") << crlf << kEchoDevice << Chunks{hex("610d0000")} << hex("610d00")
                                      << QList<int>{3} << hex("610dff0000") << listening << 1;
    QTest::newRow("cr lf rewriting on") << crlf << kEchoDevice << Chunks{hex("610d0a")} << hex("610d0a")
                                        << QList<int>{3} << hex("610d0a") << listening << 1;
    QTest::newRow("cr nul rewriting off") << plain << kEchoDevice << Chunks{hex("610d00620d0a")}
                                          << hex("610d00620d0a") << QList<int>{6} << hex("610d00620d0a") << listening << 1;
    QTest::newRow("paced paste") << ConfigParams{{"TELNET_UHF_BUFFER", "195"}, {"TELNET_UHF_DELAY", "500"}} << kEchoDevice
                                 << Chunks{paste(1000)} << QByteArray() << QList<int>{179, 179, 179, 179, 179, 105}
                                 << paste(1000) << listening << 1;
    QTest::newRow("piece size 16 is no pacing")
        << ConfigParams{{"TELNET_UHF_BUFFER", "16"}} << kEchoDevice << Chunks{paste(400)} << QByteArray() << QList<int>{400}
        << paste(400) << QStringLiteral("Telnet pacing piece size 16 ") << 2;
    QTest::newRow("repeated address") << ConfigParams{{"TELNET_Devices", "0x2,0x3,0x2"}} << kEchoDevice << Chunks{line}
                                      << line << QList<int>{7} << line << listening << 2;
}

void TestTelnet::terminal()
{
    QFETCH(ConfigParams, params);
    QFETCH(uint16_t, device);
    QFETCH(Chunks, typed);
    QFETCH(QByteArray, toDevice);
    QFETCH(QList<int>, pieces);
    QFETCH(QByteArray, toTerminal);
    QFETCH(QString, logged);
    QFETCH(int, times);

    ServerRun srv;
    QVERIFY(startServer(srv, params));
    Devsim &sim = device == kEchoDevice ? *m_echo : *m_quiet;
    RawTerminal term;
    QVERIFY(term.open(uint16_t(60000 + device)));
    QVERIFY(srv.waitForErrorLog(QStringLiteral("Telnet TCP client is approved, port: %1").arg(60000 + device)));
    const bool stepwise = pieces.size() == typed.size();
    for (int i = 0; i < typed.size(); ++i) {
        term.type(typed[i]);
        // Separate reads: wait for the device where each read reaches it,
        // else give the server a moment of its own.
        if (stepwise)
            QVERIFY(QTest::qWaitFor([&] { return deviceRx(sim).sizes.size() == i + 1; }, 10000));
        else
            QTest::qWait(100);
    }
    QVERIFY2(term.waitFor(toTerminal, 20000), term.got.toHex().constData());
    QVERIFY(QTest::qWaitFor([&] { return deviceRx(sim).data.size() >= toDevice.size(); }, 10000));
    const DeviceRx rx = deviceRx(sim);
    if (!pieces.isEmpty())
        QCOMPARE(rx.sizes, pieces);
    if (!toDevice.isNull()) {
        QVERIFY(rx.whole);
        QCOMPARE(rx.data.toHex(), toDevice.toHex());
    }
    const QString log = srv.errorLog();
    QVERIFY2(!log.contains(QStringLiteral("not started")), qPrintable(log));
    QVERIFY2(log.count(logged) == times, qPrintable(log));
    QCOMPARE(srv.stop(), 0);
}

void TestTelnet::sessions()
{
    ServerRun srv;
    QVERIFY(startServer(srv, {}));
    const uint16_t port = 60000 + kEchoDevice;
    RawTerminal first;
    QVERIFY(first.open(port));
    first.type("one");
    QVERIFY(first.waitFor("one"));

    // A second terminal is turned away; the first goes on.
    RawTerminal second;
    QVERIFY(second.open(port));
    QVERIFY(second.waitClosed());
    QVERIFY(srv.waitForErrorLog(QStringLiteral("Telnet TCP client is already approved, new client rejected")));
    first.type("two");
    QVERIFY(first.waitFor("onetwo"));

    // The terminal leaves and another comes.
    first.socket.disconnectFromHost();
    QVERIFY(srv.waitForErrorLog(QStringLiteral("Telnet TCP client disconnected, port: %1").arg(port)));
    RawTerminal third;
    QVERIFY(third.open(port));
    third.type("three");
    QVERIFY(third.waitFor("three"));
    QVERIFY(second.got.isEmpty());

    // A device without a bridge sends a Telnet message: a bridge is made for
    // it, and what it sent while nobody listened is not kept.
    Devsim onDemand(kOnDemand, {QStringLiteral("--rate"), QStringLiteral("20"), QStringLiteral("--count"),
                                QStringLiteral("1"), QStringLiteral("--msg-id"), QStringLiteral("0xFFF1")});
    QVERIFY(onDemand.start());
    const uint16_t demandPort = 60000 + kOnDemand;
    QVERIFY(srv.waitForErrorLog(QStringLiteral("Telnet TCP server is started, port: %1").arg(demandPort)));
    QVERIFY(srv.waitForErrorLog(QStringLiteral("CorvidTelnet client is not initialized!")));
    RawTerminal late;
    QVERIFY(late.open(demandPort));
    late.type("x");
    QVERIFY2(late.waitFor("x"), late.got.toHex().constData());
    QCOMPARE(srv.stop(), 0);
}

void TestTelnet::telnetClient()
{
    QVERIFY2(QFile::exists(QStringLiteral("/usr/bin/telnet")), "the telnet client is not installed");
    ServerRun srv;
    QVERIFY(startServer(srv, {}));
    TelnetProgram telnet;
    QVERIFY(telnet.start(60000 + kEchoDevice));
    QVERIFY2(telnet.waitScreen("Escape character"), telnet.screen.constData());

    // Show the client's option processing, then have it negotiate.
    telnet.type("\x1dtoggle options\r");
    QVERIFY2(telnet.waitScreen("option processing"), telnet.screen.constData());
    telnet.type("\x1dsend do 24\r");
    QVERIFY2(telnet.waitScreen("RCVD WONT TERMINAL TYPE"), telnet.screen.constData());
    telnet.type("\x1dsend will 31\r");
    QVERIFY2(telnet.waitScreen("RCVD DONT NAWS"), telnet.screen.constData());

    telnet.type("hello\r");
    telnet.type("world\r");
    // Typed once (the client's own echo), shown again from the device.
    QVERIFY2(telnet.waitScreen("world", 2), telnet.screen.constData());
    QVERIFY2(telnet.screen.count("hello") >= 2, telnet.screen.constData());
    QVERIFY(QTest::qWaitFor([this] { return deviceRx(*m_echo).data.size() >= 14; }, 10000));
    const DeviceRx rx = deviceRx(*m_echo);
    QVERIFY2(rx.data == QByteArray("hello\r\nworld\r\n"), QByteArray(telnet.screen + "\n---\n" + m_echo->output).constData());
    QCOMPARE(srv.stop(), 0);
}

QTEST_MAIN(TestTelnet)
#include "tst_telnet.moc"
