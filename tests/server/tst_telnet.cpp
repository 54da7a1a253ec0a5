// Device terminals: bridges in a hub in-process, then the server program with device simulators on the virtual
// CAN bus, raw TCP terminals and the Debian telnet client on a pseudo-terminal.

#include "connectors/NullReader.h"
#include "server/CorvidServer.h"
#include "server/CorvidTelnet.h"
#include "tests/common/fake_server_view.h"
#include "tests/common/diagnostic_capture.h"
#include "tests/common/server_run.h"
#include "tests/common/virtual_bus.h"

#include <QRegularExpression>
#include <QTcpSocket>
#include <QtTest>
#include <fcntl.h>
#include <memory>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Chunks = QList<QByteArray>;

QByteArray hex(const char *h) { return QByteArray::fromHex(h); }

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
    bool waitClosed() { return QTest::qWaitFor([this] { return socket.state() == QTcpSocket::UnconnectedState; }); }
};

// What a device simulator says it received; it shows the data of short messages only.
struct DeviceRx {
    QList<int> sizes;
    QByteArray data;
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
        ::close(master);
    }
    bool start(uint16_t port)
    {
        const QByteArray portText = QByteArray::number(port);
        const pid_t parent = ::getpid();
        if ((pid = ::forkpty(&master, nullptr, nullptr, nullptr)) == 0) {
            dieWithParent(parent);
            ::setenv("TERM", "dumb", 1);
            ::execlp("telnet", "telnet", "127.0.0.1", portText.constData(), static_cast<char *>(nullptr));
            ::_exit(127);
        }
        return pid > 0 && ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK) == 0;
    }
    // Types `keys`, then waits until the screen shows `text` `count` times.
    bool typeAndWait(const QByteArray &keys, const QByteArray &text, int count = 1)
    {
        if (::write(master, keys.constData(), size_t(keys.size())) != keys.size())
            return false;
        return QTest::qWaitFor([&] {
            char buf[4096];
            for (ssize_t n; (n = ::read(master, buf, sizeof buf)) > 0;)
                screen.append(buf, int(n));
            return screen.count(text) >= count;
        });
    }
};

constexpr uint16_t kEchoDevice = 2;   // answers every message with an echo
constexpr uint16_t kQuietDevice = 3;  // answers nothing

// In-process bridges listen above the ports the system hands out for outgoing connections.
constexpr uint16_t kLocalDevice = 0x1000;

}  // namespace

class TestTelnet : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void hubBridges();
    void terminal_data();
    void terminal();
    void sessions();
    void telnetClient();

private:
    bool startServer(ServerRun &srv, const ConfigParams &extra);

    VirtualBusHost m_bus;
    std::unique_ptr<Devsim> m_echo;
    std::unique_ptr<Devsim> m_quiet;
};

void TestTelnet::initTestCase()
{
    corvid_register_metatypes();
    for (const char *tool : {"app/corvid-server", "tools/devsim/corvid-devsim"})
        QVERIFY2(QFile::exists(builtProgram(QLatin1String(tool))), tool);
    QVERIFY2(m_bus.start(), qPrintable(m_bus.error()));
    m_echo = std::make_unique<Devsim>(kEchoDevice);
    m_quiet = std::make_unique<Devsim>(kQuietDevice, QStringList{QStringLiteral("--no-echo")});
    QVERIFY(m_echo->start() && m_quiet->start());
}

void TestTelnet::hubBridges()
{
    FakeServerView view;
    NullReader link;
    CorvidServer hub(&link, nullptr, freePort(), &view);
    const uint16_t port = uint16_t(60000 + kLocalDevice);
    hub.addTelnetDevice(kLocalDevice, 1, 0xFFF1, true, false, 0, 0, false);
    CorvidTelnet *bridge = hub.telnetBridge(kLocalDevice);
    // A terminal that connects and never reads: its buffer takes one byte.
    RawTerminal stuck;
    stuck.socket.setReadBufferSize(1);
    QVERIFY(stuck.open(port));
    QVERIFY(QTest::qWaitFor([&] { return bridge->hasTerminal(); }));
    DiagnosticCapture diag;
    for (int blocks = 0; view.removed.isEmpty() && blocks < 4096; ++blocks) {
        bridge->telnetWrite(QByteArray(64 * 1024, 'x'), true);
        QCoreApplication::processEvents();
    }
    QCOMPARE(view.removed, QList<quint32>{port});
    QCOMPARE(diag.texts(-1, QStringLiteral("Telnet TCP client does not read, port: %1").arg(port)).size(), 1);

    // The next terminal starts clean: nothing of the old queue reaches it.
    RawTerminal next;
    QVERIFY(next.open(port));
    QVERIFY(QTest::qWaitFor([&] { return bridge->hasTerminal(); }));
    bridge->telnetWrite("probe", true);
    QVERIFY(next.waitFor("probe"));

    // The same address again: the old bridge lets go of its terminal and its port before the new one listens.
    hub.addTelnetDevice(kLocalDevice, 1, 0xFFF1, true, false, 0, 0, false);
    QCOMPARE(view.removed, (QList<quint32>{port, port}));
    QVERIFY(next.waitClosed());
    QVERIFY(hub.telnetBridge(kLocalDevice)->isListening());
}

bool TestTelnet::startServer(ServerRun &srv, const ConfigParams &extra)
{
    const uint16_t port = freePort();
    if (!srv.configure(virtualCanParams(port) + ConfigParams{{"TELNET_Devices", "0x2,0x3"}} + extra))
        return false;
    srv.start();
    for (Devsim *sim : {m_echo.get(), m_quiet.get()})
        sim->output.clear(), sim->proc.readAll();
    return srv.waitStarted(port);
}

void TestTelnet::terminal_data()
{
    QTest::addColumn<ConfigParams>("params");
    QTest::addColumn<uint16_t>("device");
    QTest::addColumn<Chunks>("typed");
    QTest::addColumn<QByteArray>("toDevice");  // null: too long to compare here
    QTest::addColumn<QList<int>>("pieces");    // empty: not compared
    QTest::addColumn<QByteArray>("toTerminal");
    auto row = [](const char *name, const ConfigParams &params, uint16_t device, const Chunks &typed,
                  const QByteArray &toDevice, const QList<int> &pieces, const QByteArray &toTerminal) {
        QTest::newRow(name) << params << device << typed << toDevice << pieces << toTerminal;
    };
    const ConfigParams crlf{{"TELNET_CRLF", "1"}};
    const QByteArray line("hello\r\n"), iac2 = hex("41ffff42"), paste1k = paste(1000), paste400 = paste(400);
    const Chunks bytewise{"h", "e", "l", "l", "o", "\r", "\n"};
    row("byte by byte", {}, kEchoDevice, bytewise, line, {1, 1, 1, 1, 1, 1, 1}, line);
    row("iac iac both ways", {}, kEchoDevice, {iac2}, hex("41ff42"), {3}, iac2);
    row("negotiation split across reads", {}, kQuietDevice,
        {hex("41ff"), hex("fb1842"), hex("fffe"), hex("0043"), hex("ff"), hex("ff44"), hex("fffd1f")},
        hex("414243ff44"), {}, hex("fffe18fffc18fffd00fffb00fffe1ffffc1f"));
    row("subnegotiation, commands without option", {}, kQuietDevice,
        {hex("fffa1f00500018fff0"), hex("41fff142fff943"), hex("fffd0144")}, hex("0050001841424344"), {},
        hex("fffe1ffffc1f"));
    row("cr nul cut by a read", crlf, kQuietDevice, {hex("610d"), hex("0062")}, hex("610d62"), {2, 1}, {});
    row("cr nul rewritten", crlf, kEchoDevice, {hex("610d0000")}, hex("610d00"), {3}, hex("610dff0000"));
    row("cr lf rewriting on", crlf, kEchoDevice, {hex("610d0a")}, hex("610d0a"), {3}, hex("610d0a"));
    row("cr nul rewriting off", {}, kEchoDevice, {hex("610d00620d0a")}, hex("610d00620d0a"), {6}, hex("610d00620d0a"));
    row("paced paste", {{"TELNET_UHF_BUFFER", "195"}, {"TELNET_UHF_DELAY", "500"}}, kEchoDevice, {paste1k}, {},
        {179, 179, 179, 179, 179, 105}, paste1k);
    row("piece size 16 is no pacing", {{"TELNET_UHF_BUFFER", "16"}}, kEchoDevice, {paste400}, {}, {400}, paste400);
}

void TestTelnet::terminal()
{
    QFETCH(ConfigParams, params);
    QFETCH(uint16_t, device);
    QFETCH(Chunks, typed);
    QFETCH(QByteArray, toDevice);
    QFETCH(QList<int>, pieces);
    QFETCH(QByteArray, toTerminal);

    ServerRun srv;
    QVERIFY(startServer(srv, params));
    Devsim &sim = device == kEchoDevice ? *m_echo : *m_quiet;
    RawTerminal term;
    QVERIFY(term.open(uint16_t(60000 + device)));
    QVERIFY(srv.waitForErrorLog(QStringLiteral("Telnet TCP client is approved, port: %1").arg(60000 + device)));
    for (int i = 0; i < typed.size(); ++i) {
        term.type(typed[i]);
        // Separate reads: wait for the device where each read reaches it, else give the server a moment.
        if (pieces.size() == typed.size())
            QVERIFY(QTest::qWaitFor([&] { return deviceRx(sim).sizes.size() == i + 1; }, 10000));
        else
            QTest::qWait(100);
    }
    QVERIFY2(term.waitFor(toTerminal, 20000), term.got.toHex().constData());
    QVERIFY(QTest::qWaitFor([&] { return deviceRx(sim).data.size() >= toDevice.size(); }, 10000));
    const DeviceRx rx = deviceRx(sim);
    if (!pieces.isEmpty())
        QCOMPARE(rx.sizes, pieces);
    if (!toDevice.isNull())
        QCOMPARE(rx.data.toHex(), toDevice.toHex());
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
    first.type("two");
    QVERIFY(first.waitFor("onetwo"));

    first.socket.disconnectFromHost();
    QVERIFY(srv.waitForErrorLog(QStringLiteral("Telnet TCP client disconnected, port: %1").arg(port)));
    RawTerminal third;
    QVERIFY(third.open(port));
    third.type("three");
    QVERIFY(third.waitFor("three"));
    QVERIFY(second.got.isEmpty());

    // A device without a bridge sends a Telnet message: a bridge is made, what it sent before is not kept.
    Devsim onDemand(5, QStringLiteral("--rate 20 --count 1 --msg-id 0xFFF1").split(' '));
    QVERIFY(onDemand.start());
    const uint16_t demandPort = 60000 + 5;
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
    QVERIFY2(telnet.typeAndWait({}, "Escape character"), telnet.screen.constData());
    // The client shows its option processing; typed lines show twice: its own echo, then the device's.
    const QList<QPair<QByteArray, QByteArray>> steps{{"\x1dtoggle options\r", "option processing"},
                                                     {"\x1dsend do 24\r", "RCVD WONT TERMINAL TYPE"},
                                                     {"\x1dsend will 31\r", "RCVD DONT NAWS"},
                                                     {"hello\r", "hello"}};
    for (const auto &step : steps)
        QVERIFY2(telnet.typeAndWait(step.first, step.second), telnet.screen.constData());
    QVERIFY2(telnet.typeAndWait({}, "hello", 2), telnet.screen.constData());
    QVERIFY(QTest::qWaitFor([this] { return deviceRx(*m_echo).data.size() >= 7; }, 10000));
    QCOMPARE(deviceRx(*m_echo).data, QByteArray("hello\r\n"));
    QCOMPARE(srv.stop(), 0);
}

QTEST_MAIN(TestTelnet)
#include "tst_telnet.moc"
