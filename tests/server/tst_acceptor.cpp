// The acceptor driven over real loopback sockets. The test clients cut the
// server's frames by their length field and read fields at fixed offsets, so they do not lean on the code under test.

#include "server/CorvidTCPserver.h"
#include "server/TlsSettings.h"
#include "tests/common/diagnostic_capture.h"
#include "tests/common/server_run.h"
#include "tests/common/test_certs.h"
#include "tests/common/wire_client.h"

#include <QDeadlineTimer>
#include <QProcessEnvironment>
#include <QSignalSpy>
#include <QtTest>
#include <algorithm>
#include <memory>
#include <vector>

namespace {

constexpr int64_t kT0 = 1700000000123;
int64_t fixedClock() { return kT0; }

// An injected message as an application writes it; the server ignores its direction and stamp.
QByteArray msg2App(quint32 tag, quint16 id, const QByteArray &data)
{
    return wire_ref::msg2App(1, 0, 0, 0x77, tag, id, 0, 0, data);
}

using wire_ref::appInfo;
using wire_ref::msg2Sat;
using Client = WireClient;

WireMessage readEcho(const QByteArray &f) { return WireMessage::read(f); }

// The client records a spy holds, one line each.
QStringList records(const QSignalSpy &spy)
{
    QStringList out;
    for (const QList<QVariant> &args : spy) {
        const auto r = args.at(0).value<crd_client_info_t>();
        out << QStringLiteral("%1 %2 / %3 observer %4 version %5").arg(r.id).arg(r.app_name, r.description)
                   .arg(r.observer).arg(r.version);
    }
    return out;
}

QList<uint> ids(const QSignalSpy &spy)
{
    QList<uint> out;
    for (const QList<QVariant> &args : spy)
        out << args.at(0).toUInt();
    return out;
}

// Frame counts of several clients at once, for one wait.
QList<int> sizes(std::initializer_list<const Client *> clients)
{
    QList<int> out;
    for (const Client *c : clients)
        out << c->frames.size();
    return out;
}

} // namespace

class TestAcceptor : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        m_diag.reset(new DiagnosticCapture(true));  // only now: the test runner installs its own handler first
        crs_set_clock(&fixedClock);
    }
    void cleanupTestCase()
    {
        m_diag.reset();
        crs_set_clock(nullptr);
    }
    void init()
    {
        m_srv.reset(new CorvidTCPserver(0));
        QVERIFY(m_srv->startServer());
        port = m_srv->serverPort();
        m_hw.clear();
        connect(m_srv.get(), &CorvidTCPserver::signalCorvidToHW, this, [this](corvid_message m) {
            m_hw << QByteArray(reinterpret_cast<const char *>(m.data), m.length);
        });
    }
    void cleanup() { m_srv.reset(); }
    void identificationAndIds();
    void streamsArriveInPieces();
    void echoRolesTagsAndStamps();
    void connectionLimit();
    void restartDropsEveryClient();
    void unidentifiedConnectionsAreBounded();
    void idleConnectionsAgainstDescriptorLimit();
    void slowReaderIsCutOff_data();
    void slowReaderIsCutOff();
    void managerHostsRule_data();
    void managerHostsRule();
    void whoMayCommand();
    void tlsHandshakes_data();
    void tlsHandshakes();

private:
    int loggedStartingWith(const QString &prefix) const { return m_diag->texts(-1, prefix).size(); }
    // The acceptor's TLS port, clients checked against the test CA; 0 when it fails.
    uint16_t startTls()
    {
        if (!QFile::exists(m_certs.path("late.pem")) && !m_certs.make())
            qWarning("%s", qPrintable(m_certs.error));
        const auto conf = corvid_tls_server_configuration(
            {m_certs.path("server.pem"), m_certs.path("server.key"), m_certs.path("ca.pem")});
        return conf && m_srv->startTls(0, QHostAddress(QHostAddress::LocalHost), *conf) ? m_srv->tlsServerPort() : 0;
    }

    std::unique_ptr<DiagnosticCapture> m_diag;
    TestCerts m_certs;  // made once, for the TLS cases
    std::unique_ptr<CorvidTCPserver> m_srv;  // a fresh one listening for every test
    quint16 port = 0;
    QByteArrayList m_hw;  // the data of every message it handed on towards the bus
};

void TestAcceptor::identificationAndIds()
{
    CorvidTCPserver &srv = *m_srv;
    srv.hw_state = 2;
    srv.hw_error = 0x0000ABCD;
    QSignalSpy added(&srv, &CorvidTCPserver::newClientAdded);
    QSignalSpy gone(&srv, &CorvidTCPserver::signalDisconnected);
    const QString app = QStringLiteral(" / Corvid control app (ver: 100) observer 0 version 100");

    Client a(port), b(port), c(port);
    QVERIFY(a.identify("Corvid control center", 0, 100));
    QCOMPARE(a.frames, (QByteArrayList{wire_ref::srvInfo(kT0), wire_ref::srvState(2, 0xABCD)}));
    QVERIFY(b.identify(QByteArray(32, 'n'), 1, 0x00010064));
    QVERIFY(c.identify("two", 2));  // an observer byte other than 1 means Manager

    // The client with the highest id leaves; the next one gets that id again.
    // One leaving from the middle: the next id follows the last record.
    c.socket.disconnectFromHost();
    QTRY_COMPARE(gone.size(), 1);
    Client e(port);
    QVERIFY(e.identify());
    b.socket.disconnectFromHost();
    QTRY_COMPARE(gone.size(), 2);
    Client f(port);
    QVERIFY(f.identify());
    const QString unknown = QStringLiteral(" / Unknown client! (ver: 65636) observer 1 version 65636");
    QCOMPARE(records(added), (QStringList{"0 Corvid control center" + app, "1 " + QString(32, 'n') + unknown,
                                          "2 two" + app, "2 app" + app, "3 app" + app}));
    QCOMPARE(ids(gone), (QList<uint>{2, 1}));

    // A second identification on one connection updates its one record (now
    // an Observer) and is answered again; the connection stays one client.
    QSignalSpy updated(&srv, &CorvidTCPserver::clientUpdated);
    QVERIFY(a.identify("again", 1, 0x00010065));
    QCOMPARE(a.frames.mid(2), a.frames.mid(0, 2));
    QCOMPARE(std::make_pair(srv.clientCount(), added.size()), std::make_pair(3, 5));
    QCOMPARE(records(updated), QStringList{"0 again / Unknown client! (ver: 65637) observer 1 version 65637"});
    // The role changed at once: its message no longer goes to the bus.
    a.write(msg2Sat(42, 0x10, 1, 2, "x"));
    QTRY_COMPARE(sizes({&a, &f}), (QList<int>{5, 3}));
    QVERIFY(m_hw.isEmpty());
    QCOMPARE(readEcho(f.frames.last()).dir, 0u);
    QCOMPARE(readEcho(a.frames.last()).tag, 42u);

    // Diagnostics name the client: its address and port, and its id.
    QVERIFY(m_diag->contains(QStringLiteral("TCP client disconnected (127.0.0.1:%1, client 1)").arg(b.localPort)));
}

void TestAcceptor::streamsArriveInPieces()
{
    // Two clients writing interleaved pieces of their frames, one with garbage before, between and
    // after them: each is cut from its own stream.
    Client a(port), b(port);
    QVERIFY(a.identify("one") && b.identify("other"));
    const QByteArray fa = wire_ref::hex("00115EBA5E") + msg2Sat(10, 0x30, 5, 6, QByteArray(200, 'a')) + "junk\x5e" +
                          msg2Sat(11, 0x22, 1, 2, QByteArray()) + wire_ref::hex("5EBA0010");
    const QByteArray fb = msg2Sat(20, 0x31, 7, 8, QByteArray(200, 'b'));
    const QList<int> cuts{0, 7, 30, 120, fa.size()};
    for (int i = 0; i + 1 < cuts.size(); ++i) {
        a.write(fa.mid(cuts.at(i), cuts.at(i + 1) - cuts.at(i)));
        QTest::qWait(5);
        b.write(fb.mid(cuts.at(i), cuts.at(i + 1) - cuts.at(i)));
        QTest::qWait(5);
    }
    QTRY_COMPARE(sizes({&a, &b}), (QList<int>{5, 5}));
    QCOMPARE(m_hw, (QByteArrayList{QByteArray(200, 'a'), QByteArray(), QByteArray(200, 'b')}));
    QCOMPARE(readEcho(a.frames.at(2)).text(), "dir 1 status 1 stamp 1 tag 10 id 0x30 5->6 [" +
                                                  QString::fromLatin1(QByteArray(200, 'a').toHex()) + "]");
    QCOMPARE(readEcho(a.frames.at(3)).text(), QStringLiteral("dir 1 status 1 stamp 2 tag 11 id 0x22 1->2 []"));
    QCOMPARE(readEcho(b.frames.at(4)).tag, 20u);
    QVERIFY(!a.malformed && !b.malformed);
}

void TestAcceptor::echoRolesTagsAndStamps()
{
    CorvidTCPserver &srv = *m_srv;
    Client m(port), o(port), x(port), silent(port);
    QVERIFY(m.identify("manager") && o.identify("observer", 1) && x.identify("third"));
    auto last = [](const Client *c) { return readEcho(c->frames.last()).text(); };

    // A connection that has not identified: its message frames go nowhere, and
    // the manager's next message is the first thing anyone sees after them.
    Client ghost(port);
    ghost.write(msg2Sat(5, 0x0010, 9, 9, "ghost") + msg2App(5, 0x0010, "ghost") + appInfo("ghost", 0));
    QTRY_COMPARE(ghost.frames.size(), 2);
    m.write(msg2Sat(8, 0x0010, 1, 2, "real"));
    QTRY_COMPARE(x.frames.size(), 3);
    QCOMPARE(last(&x), QStringLiteral("dir 1 status 1 stamp 1 tag 0 id 0x10 1->2 [7265616c]"));
    QCOMPARE(m_hw, QByteArrayList{"real"});
    QCOMPARE(silent.frames.size(), 0);

    // A Manager's injected message goes to the bus and to everyone but itself:
    // the sender's next frame is the echo of what it sends after.
    m.write(msg2App(55, 0x0100, "inj") + msg2Sat(3, 1, 1, 1, "mark"));
    QTRY_COMPARE(sizes({&m, &o, &x}), (QList<int>{4, 5, 5}));
    QCOMPARE(m_hw.mid(1), (QByteArrayList{"inj", "mark"}));
    for (Client *c : {&o, &x})
        QCOMPARE(readEcho(c->frames.at(3)).text(), "dir 0 status 1 stamp 2 tag 55 id 0x100 0->0 [696e6a]");
    QCOMPARE(readEcho(m.frames.last()).data, QByteArray("mark"));

    // An Observer's injected message reaches the others but not the bus.
    o.write(msg2App(66, 0x0101, "oi"));
    QTRY_COMPARE(sizes({&m, &x}), (QList<int>{5, 6}));
    QCOMPARE(m_hw.size(), 3);
    QCOMPARE(last(&m), QStringLiteral("dir 0 status 1 stamp 4 tag 66 id 0x101 0->0 [6f69]"));

    // Restricted: nobody gets it, nothing goes to the bus, the stamp still moves,
    // so the sender's next message is stamped one higher than otherwise.
    srv.restrictFakeSatTelemetry = 1;
    m.write(msg2App(77, 0x0102, "blocked") + msg2Sat(4, 1, 1, 1, "next"));
    QTRY_COMPARE(x.frames.size(), 7);
    o.write(msg2App(78, 0x0102, "blocked") + msg2Sat(5, 1, 1, 1, "onext"));
    QTRY_COMPARE(sizes({&m, &o, &x}), (QList<int>{7, 7, 8}));
    const QString next = QStringLiteral("dir 1 status 1 stamp 6 tag %1 id 0x1 1->1 [6e657874]");
    const QString onext = QStringLiteral("dir 0 status 0 stamp 8 tag %1 id 0x1 1->1 [6f6e657874]");
    for (Client *c : {&m, &o, &x})
        QCOMPARE((QStringList{readEcho(c->frames.at(c->frames.size() - 2)).text(), last(c)}),
                 (QStringList{next.arg(c == &m ? 4 : 0), onext.arg(c == &o ? 5 : 0)}));
    QCOMPARE(m_hw.size(), 4);
    for (Client *c : {&m, &o, &x, &ghost})
        QVERIFY(!c->malformed);
}

void TestAcceptor::connectionLimit()
{
    CorvidTCPserver &srv = *m_srv;
    srv.maxClients = 2;

    // Connections that have not identified do not count.
    Client idle(port), other(port);
    QTRY_COMPARE(srv.connectionCount(), 2);
    Client a(port), b(port);
    QVERIFY(a.identify() && b.identify());
    QVERIFY(!other.closed);

    // A connection opened before the limit was reached cannot identify past it.
    const QString limitText = QStringLiteral("Connection limit (2) reached, client rejected");
    idle.write(appInfo("late", 0));
    QTRY_VERIFY(idle.closed);
    QCOMPARE(idle.frames.size(), 0);
    QCOMPARE(srv.clientCount(), 2);
    QVERIFY(m_diag->contains(limitText + QStringLiteral(" (127.0.0.1:%1)").arg(idle.localPort)));

    // A free place after someone leaves.
    b.socket.disconnectFromHost();
    QTRY_COMPARE(srv.clientCount(), 1);
    Client c(port);
    QVERIFY(c.identify());
}

void TestAcceptor::restartDropsEveryClient()
{
    CorvidTCPserver &srv = *m_srv;
    QSignalSpy gone(&srv, &CorvidTCPserver::signalDisconnected);
    Client a(port), b(port), unidentified(port);
    QVERIFY(a.identify() && b.identify());

    srv.port = freePort();
    QVERIFY(srv.restartServer());
    QCOMPARE(ids(gone), (QList<uint>{0, 1}));
    QTRY_VERIFY(a.closed && b.closed && unidentified.closed);

    // The disconnections that follow find no record: the next one reported is that of a new client leaving.
    Client fresh(srv.port);
    QVERIFY(fresh.identify());
    QCOMPARE(srv.clientList().at(0).id, 0u);
    fresh.socket.disconnectFromHost();
    QTRY_COMPARE(srv.clientCount(), 0);
    QCOMPARE(gone.size(), 3);
}

void TestAcceptor::unidentifiedConnectionsAreBounded()
{
    CorvidTCPserver &srv = *m_srv;
    srv.maxUnidentified = 3;
    srv.unidentifiedTimeoutMs = 300;
    auto logged = [this](const char *text, Client &c) {
        return m_diag->contains(QLatin1String(text) + QStringLiteral(" (127.0.0.1:%1)").arg(c.localPort));
    };

    Client known(port);
    QVERIFY(known.identify());
    // Past the bound the oldest waiting connection goes, at once.
    std::vector<std::unique_ptr<Client>> idle;
    for (int i = 0; i < 4; ++i)
        idle.emplace_back(new Client(port));
    QTRY_VERIFY(idle.at(0)->closed);
    QVERIFY(logged("Too many unidentified TCP connections, the oldest is closed", *idle.at(0)));
    // The others time out; the identified one, whose time started first, stays.
    for (int i = 1; i < 4; ++i) {
        QTRY_VERIFY(idle.at(i)->closed);
        QVERIFY(logged("TCP client did not identify itself in time, disconnected", *idle.at(i)));
    }
    QCOMPARE(srv.connectionCount(), 1);
    known.write(msg2Sat(1, 1, 1, 2, "alive"));
    QTRY_COMPARE(known.frames.size(), 3);
    QVERIFY(!known.closed);
}

// The server program with 128 descriptors and 200 connections that never say
// who they are: a control application still gets in and is answered.
void TestAcceptor::idleConnectionsAgainstDescriptorLimit()
{
    ServerRun srv;
    const uint16_t tcp = freePort();
    QVERIFY(srv.configure(headlessParams(tcp)));
    srv.start(QProcessEnvironment::systemEnvironment(), QStringLiteral("prlimit"),
              {QStringLiteral("--nofile=128"), builtProgram(QStringLiteral("app/corvid-server"))});
    QVERIFY2(srv.waitStarted(tcp), qPrintable(srv.errorLog()));
    std::vector<std::unique_ptr<QTcpSocket>> idle;
    for (int i = 0; i < 200; ++i) {
        idle.emplace_back(new QTcpSocket);
        idle.back()->connectToHost(QHostAddress::LocalHost, tcp);
    }
    // Every one is taken in, the oldest waiting ones closed to make room.
    QTRY_VERIFY_WITH_TIMEOUT(std::none_of(idle.begin(), idle.end(), [](const auto &s) {
        return s->state() == QAbstractSocket::ConnectingState;
    }), 20000);
    Client app(tcp);
    QVERIFY(app.identify("late"));
    QCOMPARE(int(app.frames.size()), 2);
}

void TestAcceptor::slowReaderIsCutOff_data()
{
    QTest::addColumn<qint64>("perClient");
    QTest::addColumn<qint64>("total");
    QTest::addColumn<bool>("tls");
    QTest::newRow("per client") << qint64(256 * 1024) << qint64(0) << false;
    QTest::newRow("all clients") << qint64(0) << qint64(256 * 1024) << false;
    // What the TLS layer has encrypted and not yet sent counts as well.
    QTest::newRow("per client, TLS") << qint64(256 * 1024) << qint64(0) << true;
}

void TestAcceptor::slowReaderIsCutOff()
{
    QFETCH(qint64, perClient);
    QFETCH(qint64, total);
    CorvidTCPserver &srv = *m_srv;
    srv.maxPendingOutput = perClient;
    srv.maxTotalPendingOutput = total;
    QFETCH(bool, tls);
    QSignalSpy gone(&srv, &CorvidTCPserver::signalDisconnected);
    Client reader(port), stuck;
    const uint16_t to = tls ? startTls() : port;
    QVERIFY(to && stuck.open(to, {}, tls ? std::optional(m_certs.client("alice")) : std::nullopt));
    QVERIFY(reader.identify("reader", 1) && stuck.identify("stuck", 1));
    // Stop taking bytes off the socket: the kernel buffers fill up, then the server's.
    stuck.socket.setReadBufferSize(1);
    disconnect(&stuck.socket, &QTcpSocket::readyRead, nullptr, nullptr);

    const QByteArray payload(16 * 1024, 'p');
    corvid_message m = corvid_message_over(0x55, 0, 0, payload);
    // Like bus traffic: one message to every client, then the event loop runs until the reading client has it.
    int sent = 0;
    while (gone.isEmpty() && sent < 4000) {
        for (const crd_client_info_t &c : srv.clientList())
            srv.sendMsgToApp(c.socket, &m, quint64(sent), 1, 0, 0);
        ++sent;
        QDeadlineTimer guard(10000);
        while (reader.frames.size() < 2 + sent && !guard.hasExpired())
            QCoreApplication::processEvents();
    }
    QTRY_COMPARE(ids(gone), QList<uint>{1});
    QVERIFY(loggedStartingWith(QStringLiteral("TCP client does not read")) >= 1);
    QVERIFY(m_diag->texts().last().endsWith(
        QStringLiteral("disconnected (127.0.0.1:%1%2, client 1)").arg(stuck.localPort).arg(tls ? ", CN alice" : "")));
    QCOMPARE(srv.clientCount(), 1);

    // The reader got every message, in order, unharmed.
    QTRY_COMPARE(reader.frames.size(), 2 + sent);
    for (int i = 0; i < sent; ++i)
        QCOMPARE(reader.frames.at(2 + i), wire_ref::msg2App(0, 1, kT0, quint64(i), 0, 0x55, 0, 0, payload));
    QVERIFY(!reader.malformed);
}

void TestAcceptor::managerHostsRule_data()
{
    QTest::addColumn<QString>("hosts");
    QTest::addColumn<QString>("peer");
    QTest::addColumn<QString>("expected");  // "yes", "no", or how the error starts
    QTest::newRow("empty: any host") << " , " << "192.0.2.1" << "yes";
    QTest::newRow("the host") << "127.0.0.1/32" << "127.0.0.1" << "yes";
    QTest::newRow("another host") << "127.0.0.1" << "127.0.0.2" << "no";
    QTest::newRow("mapped peer") << "10.0.0.0/8, ::1" << "::ffff:10.200.3.4" << "yes";
    QTest::newRow("IPv6 host") << "10.0.0.0/8, ::1" << "::1" << "yes";
    QTest::newRow("outside the block") << "10.0.0.0/8" << "11.0.0.1" << "no";
    QTest::newRow("last in /25") << "192.0.2.0/25" << "192.0.2.127" << "yes";
    QTest::newRow("first past /25") << "192.0.2.0/25" << "192.0.2.128" << "no";
    QTest::newRow("IPv6 block") << "2001:db8::/32" << "2001:db8:ffff::1" << "yes";
    QTest::newRow("past the IPv6 block") << "2001:db8::/32" << "2001:db9::1" << "no";
    QTest::newRow("mapped block") << "::ffff:192.0.2.0/120" << "192.0.2.77" << "yes";
    QTest::newRow("all IPv4, IPv6 peer") << "0.0.0.0/0" << "::1" << "no";
    QTest::newRow("host bits set") << "10.0.0.1/8" << "" << "entry \"10.0.0.1/8\" has bits set past";
    QTest::newRow("prefix too long") << "::1, 10.0.0.0/33" << "" << "entry \"10.0.0.0/33\" has no prefix";
    QTest::newRow("empty prefix") << "10.0.0.0/" << "" << "entry \"10.0.0.0/\" has no prefix";
    QTest::newRow("short form") << "1.2.3" << "" << "entry \"1.2.3\" is not";
    QTest::newRow("octal") << "010.0.0.1" << "" << "entry \"010.0.0.1\" is not";
    QTest::newRow("host name") << "localhost" << "" << "entry \"localhost\" is not";
}

void TestAcceptor::managerHostsRule()
{
    QFETCH(QString, hosts);
    QFETCH(QString, peer);
    QFETCH(QString, expected);
    QString error;
    const auto rule = ManagerHosts::parse(hosts, &error);
    if (expected != QLatin1String("yes") && expected != QLatin1String("no")) {
        QVERIFY(!rule);
        QVERIFY2(error.startsWith(expected), qPrintable(error));
        return;
    }
    QVERIFY2(rule, qPrintable(error));
    QCOMPARE(rule->allows(QHostAddress(peer)), expected == QLatin1String("yes"));
}

// Listening on 127.0.0.1 only, Managers from 127.0.0.1 only; the clients come
// from 127.0.0.1 or 127.0.0.2.
void TestAcceptor::whoMayCommand()
{
    QCOMPARE(*corvid_parse_listen_address(" "), QHostAddress(QHostAddress::Any));
    QCOMPARE(*corvid_parse_listen_address("[::1]"), QHostAddress(QHostAddress::LocalHostIPv6));
    QCOMPARE(*corvid_parse_listen_address("::ffff:127.0.0.1"), QHostAddress(QHostAddress::LocalHost));
    QVERIFY(!corvid_parse_listen_address("localhost"));

    CorvidTCPserver srv(0);
    srv.listenAddress = QHostAddress(QHostAddress::LocalHost);
    srv.setManagerHosts(*ManagerHosts::parse("127.0.0.1/32"));
    QVERIFY(srv.startServer());
    const uint16_t at = srv.serverPort();
    QTcpSocket elsewhere;
    elsewhere.connectToHost(QHostAddress("127.0.0.2"), at);
    QVERIFY(!elsewhere.waitForConnected(5000));
    QCOMPARE(elsewhere.error(), QAbstractSocket::ConnectionRefusedError);

    QSignalSpy gone(&srv, &CorvidTCPserver::signalDisconnected);
    const QHostAddress far("127.0.0.2");
    Client intruder, watcher, op;
    QVERIFY(intruder.open(at, far) && watcher.open(at, far) && op.open(at));
    intruder.write(appInfo("intruder", 0));
    QTRY_VERIFY(intruder.closed);
    QCOMPARE(intruder.frames.size(), 0);
    QVERIFY(watcher.identify("watcher", 1) && op.identify("op", 0));
    const QString refused = QStringLiteral("Manager refused: host not in ManagerHosts, application \"%1\" (127.0.0.2:%2)");
    QVERIFY(m_diag->contains(refused.arg("intruder").arg(intruder.localPort)));
    QVERIFY(m_diag->contains(QStringLiteral("Manager identified: application \"op\" (127.0.0.1:%1, client 1)").arg(op.localPort)));

    // From Observer to Manager passes the same test.
    watcher.write(appInfo("watcher", 0));
    QTRY_VERIFY(watcher.closed);
    QCOMPARE(ids(gone), QList<uint>{0});
    QVERIFY(m_diag->contains(refused.arg("watcher").arg(QStringLiteral("%1, client 0").arg(watcher.localPort))));
    // A narrower rule holds for the Managers already there.
    srv.setManagerHosts(*ManagerHosts::parse("127.0.0.2"));
    QTRY_VERIFY(op.closed);
    QCOMPARE(srv.cutOffCount(CorvidTCPserver::CutRefusedHost), quint64(3));
}

void TestAcceptor::tlsHandshakes_data()
{
    QTest::addColumn<QString>("client");  // the certificate it presents; "plain": no TLS at all
    QTest::addColumn<QString>("reason");  // in the one diagnostic; empty: accepted
    QTest::newRow("good certificate") << "alice" << "";
    QTest::newRow("no certificate") << "" << "did not present any certificate";
    QTest::newRow("another CA") << "mallory" << "issuer certificate";
    QTest::newRow("expired") << "late" << "expired";
    QTest::newRow("plain bytes") << "plain" << "SSL routines";
}

// The TLS port beside the plain one, with a handshake that never starts
// standing beside every case.
void TestAcceptor::tlsHandshakes()
{
    QFETCH(QString, client);
    QFETCH(QString, reason);
    CorvidTCPserver &srv = *m_srv;
    QSignalSpy added(&srv, &CorvidTCPserver::newClientAdded);
    const uint16_t tls = startTls();
    QVERIFY(tls != 0);
    QTcpSocket stalled;
    stalled.connectToHost(QHostAddress::LocalHost, tls);
    QVERIFY(stalled.waitForConnected(5000));
    m_diag->clear();

    Client c;
    if (client == QLatin1String("plain"))
        QVERIFY(c.open(tls));
    else
        c.open(tls, {}, m_certs.client(client));  // may seem through before the server has judged
    c.write(appInfo("tls", 0));
    Client plain(port);
    QVERIFY(plain.identify("plain port", 1));
    if (reason.isEmpty()) {
        QTRY_COMPARE(c.frames.size(), 2);
        c.send(7, 0x10, 1, 2, "over tls");
        QTRY_COMPARE(plain.frames.size(), 3);
        QCOMPARE(m_hw, QByteArrayList{"over tls"});
        QCOMPARE(added.at(0).at(0).value<crd_client_info_t>().certificateName, QStringLiteral("alice"));
        QVERIFY(m_diag->contains(
            QStringLiteral("Manager identified: application \"tls\" (127.0.0.1:%1, CN alice, client 0)").arg(c.localPort)));
    } else {
        QTRY_VERIFY(c.closed);
        QCOMPARE(c.frames.size(), 0);
        const QString who = QStringLiteral("127.0.0.1:%1").arg(c.localPort);
        const QStringList said = m_diag->texts(-1, "TLS handshake failed, disconnected (" + who + "): ");
        QCOMPARE(said.size(), 1);
        QVERIFY2(said.first().contains(reason), qPrintable(said.first()));
        QVERIFY(!m_diag->contains("TCP client disconnected (" + who + ")"));
    }
    // The unfinished handshake waits like any unidentified connection: past
    // the bound the oldest goes.
    QCOMPARE(stalled.state(), QAbstractSocket::ConnectedState);
    srv.maxUnidentified = 1;
    QTcpSocket next;
    next.connectToHost(QHostAddress::LocalHost, tls);
    QTRY_COMPARE(stalled.state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(m_diag->texts(-1, "TLS handshake failed").size(), reason.isEmpty() ? 0 : 1);
}

int runAcceptorTests(int argc, char **argv)
{
    TestAcceptor t;
    return QTest::qExec(&t, argc, argv);
}

#include "tst_acceptor.moc"
