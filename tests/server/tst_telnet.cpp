// Device terminals: bridges in a hub in-process, then the server program with device simulators on the virtual
// CAN bus, raw TCP terminals and the Debian telnet client on a pseudo-terminal.

#include "server/CorvidServer.h"
#include "server/CorvidTelnet.h"
#include "tests/common/fake_server_view.h"
#include "tests/common/diagnostic_capture.h"
#include "tests/common/resident_memory.h"
#include "tests/common/server_run.h"
#include "tests/common/virtual_bus.h"

#include <QRegularExpression>
#include <QTcpSocket>
#include <QtTest>
#include <atomic>
#include <fcntl.h>
#include <memory>
#include <pty.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#ifdef CORVID_TEST_ASAN
// A flood frees as much as it allocates; the sanitizer's quarantine of freed
// memory is kept small, so that resident memory shows what is really held.
extern "C" const char *__asan_default_options()
{
    return "quarantine_size_mb=8";
}
#endif

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

// One pass of the event loop at a time until `done`. QTest::qWaitFor looks only once the loop has nothing
// left to do, which a flooding terminal never allows; this wait ends as soon as its event has come.
template <typename Done>
bool waitEachPass(Done done, int ms = 20000)
{
    QTimer wake;  // the loop returns now and then even when nothing happens
    wake.start(20);
    QDeadlineTimer deadline(ms);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return true;
}

// An in-process bridge and the device behind it. The device keeps what it receives, or only checks it
// against a repeating pattern (so that a flood costs it nothing), or echoes it back to the terminal.
struct DeviceBridge {
    std::unique_ptr<CorvidTelnet> bridge;
    bool keep = false;
    bool echo = false;
    // When set, called as the link sends; the link then runs the event loop as one that waits for an
    // acknowledgement would.
    std::function<void()> whileSending;
    QByteArray kept;
    QByteArray pattern;  // when set: byte n received must be pattern[n % size]
    bool matches = true;
    qint64 received = 0;

    explicit DeviceBridge(uint16_t address, uint16_t pieceSize = 0, uint16_t pieceDelay = 0)
    {
        CorvidTelnet::Links links;
        links.send = [this](corvid_message *m) -> int64_t {
            take(QByteArray(reinterpret_cast<const char *>(m->data), m->length));
            if (whileSending) {
                std::exchange(whileSending, nullptr)();
                QEventLoop acknowledgement;
                QTimer::singleShot(0, &acknowledgement, &QEventLoop::quit);
                acknowledgement.exec();
            }
            return m->length;
        };
        bridge = std::make_unique<CorvidTelnet>(address, links, 1, 0xFFF1, true, false, pieceSize, pieceDelay, false);
    }
    uint16_t port() const { return bridge->port(); }
    void take(const QByteArray &data)
    {
        for (int i = 0; i < data.size() && !pattern.isEmpty(); ++i)
            matches = matches && data.at(i) == pattern.at(int((received + i) % pattern.size()));
        received += data.size();
        if (keep)
            kept += data;
        if (echo)
            QTimer::singleShot(0, bridge.get(), [this, data] { bridge->telnetWrite(data, true); });
    }
};

// A terminal that types from a thread of its own as fast as the server takes it and never reads: its
// socket takes one byte from the kernel. It holds nothing but its block, so what this process gains
// during a flood is the server's.
struct Flooder {
    QTcpSocket socket;
    uint16_t localPort = 0;
    std::thread thread;
    std::atomic<bool> finished{false};

    ~Flooder()
    {
        ::shutdown(int(socket.socketDescriptor()), SHUT_RDWR);
        if (thread.joinable())
            thread.join();
    }
    bool open(uint16_t port)
    {
        socket.setReadBufferSize(1);
        socket.connectToHost(QHostAddress::LocalHost, port);
        return socket.waitForConnected(5000) && (localPort = socket.localPort()) != 0;
    }
    // `head` once, then `block` over and over: `volume` bytes in all, or until the server cuts the terminal off.
    void start(const QByteArray &head, const QByteArray &block, qint64 volume)
    {
        thread = std::thread([this, head, block, volume, fd = int(socket.socketDescriptor())] {
            const QByteArray stream = head + block;
            pollfd writable{fd, POLLOUT, 0};
            for (qint64 sent = 0, n = 0; sent < volume && n >= 0; sent += n) {
                const qint64 at = sent < head.size() ? sent : head.size() + (sent - head.size()) % block.size();
                n = ::send(fd, stream.constData() + at, size_t(std::min(stream.size() - at, volume - sent)),
                           MSG_NOSIGNAL);
                if (n < 0 && errno == EAGAIN)  // the socket does not block: wait until it takes more
                    n = ::poll(&writable, 1, -1) > 0 ? 0 : -1;
            }
            finished = true;
        });
    }
};

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
    void flood_data();
    void flood();
    void reconnect_data();
    void reconnect();

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
    CorvidServer hub(nullptr, nullptr, freePort(), &view);
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
    QCOMPARE(diag.criticals().size(), 1);
    QVERIFY(QRegularExpression(QStringLiteral("^Telnet TCP client 127.0.0.1:%1 does not read, \\d+ bytes waiting "
                                              "\\(at most 4194304\\), port: %2")
                                   .arg(stuck.socket.localPort())
                                   .arg(port))
                .match(diag.criticals()[0])
                .hasMatch());

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
    row("subnegotiation cut by reads, commands without option", {}, kQuietDevice,
        {hex("fffa1f0050"), hex("00ffff18fff041fff142fff943"), hex("fffd1f44")}, hex("41424344"), {},
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

void TestTelnet::flood_data()
{
    QTest::addColumn<uint16_t>("pieceSize");
    QTest::addColumn<QByteArray>("head");
    QTest::addColumn<QByteArray>("pattern");   // repeated after the head
    QTest::addColumn<QByteArray>("toDevice");  // what the device sees, repeated; empty: nothing
    QTest::addColumn<bool>("cutOff");          // the terminal holds too much and is disconnected
    const QByteArray text = paste(95);         // a line that never ends
    QTest::newRow("iac iac pairs") << uint16_t(0) << QByteArray() << hex("ffff") << hex("ff") << false;
    QTest::newRow("long line") << uint16_t(0) << QByteArray() << text << text << false;
    QTest::newRow("long line, paced") << uint16_t(195) << QByteArray() << text << text << true;
    QTest::newRow("endless subnegotiation") << uint16_t(0) << hex("fffa18") << text << QByteArray() << true;
    QTest::newRow("do, never read") << uint16_t(0) << QByteArray() << hex("fffd18") << QByteArray() << true;
    QTest::newRow("will, never read") << uint16_t(0) << QByteArray() << hex("fffb18") << QByteArray() << true;
}

void TestTelnet::flood()
{
    QFETCH(uint16_t, pieceSize);
    QFETCH(QByteArray, head);
    QFETCH(QByteArray, pattern);
    QFETCH(QByteArray, toDevice);
    QFETCH(bool, cutOff);
    constexpr qint64 kVolume = 16 * 1024 * 1024;

    DeviceBridge flooded(kLocalDevice, pieceSize, 500);
    flooded.pattern = toDevice;
    // Half the output cap a terminal has by default: the sanitizer's own costs take the rest of the budget.
    CorvidTelnet::Limits limits;
    limits.output /= 2;
    flooded.bridge->setLimits(limits);
    DeviceBridge other(kLocalDevice + 1);
    other.echo = true;
    Flooder flooder;
    RawTerminal ping;
    QVERIFY(flooder.open(flooded.port()) && ping.open(other.port()));
    QVERIFY(waitEachPass([&] { return flooded.bridge->hasTerminal() && other.bridge->hasTerminal(); }));

    const qint64 before = residentBytes();
    DiagnosticCapture diag;
    flooder.start(head, pattern.repeated(1024 * 1024 / pattern.size()), kVolume);
    // The other terminal is answered while the flood goes on; memory is looked at after each answer.
    qint64 most = before;
    int answeredDuringFlood = 0;
    for (int n = 0; !flooder.finished; ++n) {
        const QByteArray line = "ping " + QByteArray::number(n) + "\r\n";
        ping.got.clear();
        ping.type(line);
        QVERIFY(waitEachPass([&] { return ping.got.size() >= line.size(); }));
        QCOMPARE(ping.got, line);
        answeredDuringFlood += !flooder.finished;
        most = std::max(most, residentBytes());
    }
    QVERIFY(answeredDuringFlood > 0);
    const qint64 total = (kVolume - head.size()) * toDevice.size() / pattern.size();
    QVERIFY(waitEachPass([&] { return cutOff ? !flooded.bridge->hasTerminal() : flooded.received == total; }));

    if (toDevice.isEmpty())
        QCOMPARE(flooded.received, 0);
    QVERIFY(flooded.matches);
    const QStringList criticals = diag.criticals();
    QCOMPARE(criticals.size(), cutOff ? 1 : 0);
    if (cutOff)
        QVERIFY2(criticals[0].contains(QStringLiteral("127.0.0.1:%1").arg(flooder.localPort)) &&
                     criticals[0].contains(QStringLiteral("port: %1").arg(flooded.port())),
                 qPrintable(criticals[0]));
    qint64 logged = 0;
    for (const auto &e : diag.entries())
        logged += e.text.size() + 12;  // with the time stamp and the level
    QVERIFY2(logged < 100 * 1000, qPrintable(QStringLiteral("%1 bytes of diagnostics").arg(logged)));
    most = std::max(most, residentBytes());
    QVERIFY2(most - before < 10 * 1000 * 1000,
             qPrintable(QStringLiteral("resident memory grew from %1 to %2 bytes").arg(before).arg(most)));
}

void TestTelnet::reconnect_data()
{
    QTest::addColumn<uint16_t>("pieceSize");
    QTest::addColumn<bool>("reset");  // the terminal leaves with a reset instead of an end of stream
    QTest::addColumn<bool>("waits");  // the next terminal comes while the link waits with the line before
    QTest::newRow("unpaced") << uint16_t(0) << false << false;
    QTest::newRow("paced") << uint16_t(195) << false << false;
    QTest::newRow("reset") << uint16_t(0) << true << false;
    QTest::newRow("link waits for acknowledgement") << uint16_t(0) << false << true;
}

void TestTelnet::reconnect()
{
    QFETCH(uint16_t, pieceSize);
    QFETCH(bool, reset);
    QFETCH(bool, waits);
    // The pacing delay never passes during the test; the test ticks the pacing itself.
    DeviceBridge device(kLocalDevice, pieceSize, 60000);
    device.keep = true;
    auto tick = [&] {
        if (pieceSize)
            device.bridge->on_UHF_send_timer();
    };
    int approved = 0;
    connect(device.bridge.get(), &CorvidTelnet::newClientAdded, this, [&] { ++approved; });
    QByteArray typed;
    std::unique_ptr<QTcpSocket> term;
    auto open = [&] {
        term = std::make_unique<QTcpSocket>();
        term->connectToHost(QHostAddress::LocalHost, device.port());
        return term->waitForConnected(5000);
    };
    // The terminal types and closes; the next one connects before the loop runs again.
    auto next = [&](bool again) {
        term->flush();
        const linger now{1, 0};
        if (reset)
            ::setsockopt(int(term->socketDescriptor()), SOL_SOCKET, SO_LINGER, &now, sizeof now);
        term->close();
        return !again || open();
    };
    QVERIFY(open());
    for (int i = 0; i < 100; ++i) {
        QVERIFY(waitEachPass([&] { return approved > i || term->state() != QAbstractSocket::ConnectedState; }));
        QCOMPARE(approved, i + 1);
        const QByteArray line = "line " + QByteArray::number(i) + "\r\n";
        typed += line;
        term->write(line);
        if (!waits) {
            QVERIFY(next(i < 99));
            tick();
            continue;
        }
        bool connected = false;
        device.whileSending = [&] { connected = next(i < 99); };
        term->flush();
        QVERIFY(waitEachPass([&] { return !device.whileSending; }));
        QVERIFY(connected);
    }
    QVERIFY(waitEachPass([&] { return tick(), device.kept.size() >= typed.size(); }));
    QCOMPARE(device.kept, typed);

    // A terminal that is still there keeps its place.
    DiagnosticCapture diag;
    RawTerminal first, second;
    QVERIFY(first.open(device.port()));
    QVERIFY(waitEachPass([&] { return approved == 101; }));
    QVERIFY(second.open(device.port()));
    QVERIFY(second.waitClosed());
    QCOMPARE(diag.count(QStringLiteral("Telnet TCP client is already approved, new client rejected")), 1);
    first.type("still here\r\n");
    QVERIFY(waitEachPass([&] { return tick(), device.kept.endsWith("still here\r\n"); }));
    QCOMPARE(approved, 101);
}

QTEST_MAIN(TestTelnet)
#include "tst_telnet.moc"
