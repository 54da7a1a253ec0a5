// The acceptor driven over real loopback sockets. The test clients cut the
// server's frames by their length field and read fields at fixed offsets, so
// they do not lean on the code under test.

#include "server/CorvidTCPserver.h"
#include "tests/common/diagnostic_capture.h"
#include "tests/common/wire_client.h"

#include <QDeadlineTimer>
#include <QPointer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>
#include <memory>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int64_t kT0 = 1700000000123;
int64_t fixedClock() { return kT0; }

// An injected message as an application writes it; the server ignores its
// direction and stamp.
QByteArray msg2App(quint32 tag, quint16 id, const QByteArray &data)
{
    return wire_ref::msg2App(1, 0, 0, 0x77, tag, id, 0, 0, data);
}

using wire_ref::appInfo;
using wire_ref::msg2Sat;
using Client = WireClient;
using Echo = WireMessage;

Echo readEcho(const QByteArray &f)
{
    return WireMessage::read(f);
}

} // namespace

class TestAcceptor : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void identificationAndIds();
    void streamsArriveInPieces();
    void echoRolesTagsAndStamps();
    void injectedMessagesAndRestriction();
    void connectionLimit();
    void restartAndListenFailure();
    void unidentifiedConnectionsAreBounded();
    void acceptFailureIsReportedAndSurvived();
    void slowReaderIsCutOff_data();
    void slowReaderIsCutOff();
    void floodReachesReadingClients();
    void newConnectionsAreNotWaitedFor();

private:
    // Sends the application information and waits for the two replies.
    void identify(Client &c, quint32 version = 100, const QByteArray &name = "app", quint8 observer = 0);
    int logged(const QString &text) const { return m_diag->count(text); }
    int loggedStartingWith(const QString &prefix) const { return m_diag->texts(-1, prefix).size(); }

    std::unique_ptr<DiagnosticCapture> m_diag;
};

void TestAcceptor::initTestCase()
{
    m_diag.reset(new DiagnosticCapture(true));
    crs_set_clock(&fixedClock);
}

void TestAcceptor::cleanupTestCase()
{
    m_diag.reset();
    crs_set_clock(nullptr);
}

void TestAcceptor::identify(Client &c, quint32 version, const QByteArray &name, quint8 observer)
{
    QVERIFY(c.identify(name, observer, version));
}

void TestAcceptor::identificationAndIds()
{
    CorvidTCPserver srv(0);
    QVERIFY(srv.startServer());
    const quint16 port = srv.serverPort();
    QVERIFY(port != 0);
    srv.hw_state = 2;
    srv.hw_error = 0x0000ABCD;
    QSignalSpy added(&srv, &CorvidTCPserver::newClientAdded);
    QSignalSpy gone(&srv, &CorvidTCPserver::signalDisconnected);

    Client a(port);
    identify(a, 100, "Corvid control center", 0);
    QCOMPARE(wire_ref::get16(a.frames.at(0), 2), quint16(0x2001));
    QCOMPARE(a.frames.at(0).mid(34, 32), QByteArray("Corvid dedicated server") + QByteArray(9, '\0'));
    QCOMPARE(a.frames.at(1), QByteArray::fromHex("5EBA0220000024000000" "00000000" "02000000" "00000000"
                                                 "CDAB0000" "0000000000000000" "11BA"));
    QCOMPARE(added.size(), 1);
    auto rec = added.at(0).at(0).value<crd_client_info_t>();
    QCOMPARE(rec.id, 0u);
    QCOMPARE(rec.description, QStringLiteral("Corvid control app (ver: 100)"));
    QCOMPARE(rec.app_name, QStringLiteral("Corvid control center"));
    QCOMPARE(rec.identified, quint8(1));
    QCOMPARE(rec.observer, quint8(0));
    QCOMPARE(rec.version, 100u);
    QVERIFY(rec.socket != nullptr);
    QCOMPARE(rec.since.timeSpec(), Qt::UTC);
    QCOMPARE(rec.since, QDateTime::fromMSecsSinceEpoch(kT0, Qt::UTC));
    QCOMPARE(qint64(wire_ref::get64(a.frames.at(0), 26)), kT0);

    Client b(port);
    identify(b, 0x00010064, QByteArray(32, 'n'), 1);
    rec = added.at(1).at(0).value<crd_client_info_t>();
    QCOMPARE(rec.id, 1u);
    QCOMPARE(rec.description, QStringLiteral("Unknown client! (ver: 65636)"));
    QCOMPARE(rec.app_name, QString(32, 'n'));
    QCOMPARE(rec.observer, quint8(1));

    // Observer byte other than 1 means Manager.
    Client c(port);
    identify(c, 100, "two", 2);
    QCOMPARE(added.at(2).at(0).value<crd_client_info_t>().observer, quint8(0));
    QCOMPARE(added.at(2).at(0).value<crd_client_info_t>().id, 2u);

    // A wrong end marker gives no record and no reply; the good frame behind it does.
    Client d(port);
    QByteArray bad = appInfo("bad", 0, 100);
    bad[55] = 0x00;
    d.write(bad + appInfo("good", 0, 100));
    QTRY_COMPARE(d.frames.size(), 2);
    QCOMPARE(added.size(), 4);
    QCOMPARE(added.at(3).at(0).value<crd_client_info_t>().app_name, QStringLiteral("good"));
    QCOMPARE(srv.clientCount(), 4);

    // The client with the highest id leaves; the next one gets that id again.
    d.socket.disconnectFromHost();
    QTRY_COMPARE(gone.size(), 1);
    QCOMPARE(gone.at(0).at(0).toUInt(), 3u);
    QCOMPARE(srv.clientCount(), 3);
    Client e(port);
    identify(e);
    QCOMPARE(added.at(4).at(0).value<crd_client_info_t>().id, 3u);

    // One leaving from the middle: the next id follows the last record.
    const quint16 bPort = b.socket.localPort();
    b.socket.disconnectFromHost();
    QTRY_COMPARE(gone.size(), 2);
    QCOMPARE(gone.at(1).at(0).toUInt(), 1u);
    Client f(port);
    identify(f);
    QCOMPARE(added.at(5).at(0).value<crd_client_info_t>().id, 4u);
    QList<quint32> ids;
    for (const auto &r : srv.clientList())
        ids.append(r.id);
    QCOMPARE(ids, (QList<quint32>{0, 2, 3, 4}));

    // A second identification on one connection updates its one record (now
    // an Observer) and is answered again; the connection stays one client.
    QSignalSpy updated(&srv, &CorvidTCPserver::clientUpdated);
    identify(a, 0x00010065, "again", 1);
    QCOMPARE(wire_ref::get16(a.frames.at(a.frames.size() - 2), 2), quint16(0x2001));
    QCOMPARE(srv.clientCount(), 4);
    QCOMPARE(added.size(), 6);
    QCOMPARE(updated.size(), 1);
    rec = updated.at(0).at(0).value<crd_client_info_t>();
    QCOMPARE(rec.id, 0u);
    QCOMPARE(rec.app_name, QStringLiteral("again"));
    QCOMPARE(rec.description, QStringLiteral("Unknown client! (ver: 65637)"));
    QCOMPARE(rec.observer, quint8(1));
    QCOMPARE(srv.clientList().first().app_name, QStringLiteral("again"));
    const int seen = a.frames.size();
    const int fBefore = f.frames.size();
    srv.slotHardwareStatusHandler(1);
    QSignalSpy toHw(&srv, &CorvidTCPserver::signalCorvidToHW);
    a.write(msg2Sat(42, 0x10, 1, 2, "x"));
    QTRY_COMPARE(f.frames.size(), fBefore + 2);
    QCOMPARE(toHw.size(), 0);  // the role changed at once
    QCOMPARE(readEcho(f.frames.last()).dir, 0u);
    QTRY_COMPARE(a.frames.size(), seen + 2);
    QCOMPARE(wire_ref::get32(a.frames.at(seen), 14), 1u);
    QCOMPARE(readEcho(a.frames.at(seen + 1)).tag, 42u);

    a.socket.disconnectFromHost();
    QTRY_COMPARE(gone.size(), 3);
    QCOMPARE(srv.clientCount(), 3);
    // Diagnostics name the client: its address and port, and its id.
    QVERIFY(m_diag->contains(QStringLiteral("TCP client disconnected (127.0.0.1:%1, client 1)").arg(bPort)));
    for (Client *x : {&a, &b, &c, &d, &e, &f})
        QVERIFY(!x->malformed);
}

void TestAcceptor::streamsArriveInPieces()
{
    CorvidTCPserver srv(0);
    QVERIFY(srv.startServer());
    const quint16 port = srv.serverPort();
    QSignalSpy toHw(&srv, &CorvidTCPserver::signalCorvidToHW);
    QList<QByteArray> hwData;
    connect(&srv, &CorvidTCPserver::signalCorvidToHW, this, [&](corvid_message m) {
        hwData.append(QByteArray(reinterpret_cast<const char *>(m.data), m.length));
    });

    // The application information one byte per write.
    Client a(port);
    const QByteArray info = appInfo("slow", 0, 100);
    for (char ch : info) {
        a.write(QByteArray(1, ch));
        QTest::qWait(1);
    }
    QTRY_COMPARE(a.frames.size(), 2);
    QCOMPARE(srv.clientCount(), 1);

    // Several frames in one write, with garbage before and between them.
    const QByteArray m1 = msg2Sat(1, 0x20, 1, 2, "first");
    const QByteArray m2 = msg2Sat(2, 0x21, 1, 2, QByteArray(3000, 'z'));
    const QByteArray m3 = msg2Sat(3, 0x22, 1, 2, QByteArray());
    a.write(QByteArray::fromHex("00115EBA5E") + m1 + QByteArray("junk\x5e") + m2 + m3 + QByteArray::fromHex("5EBA0010"));
    QTRY_COMPARE(toHw.size(), 3);
    QCOMPARE(hwData, (QList<QByteArray>{"first", QByteArray(3000, 'z'), QByteArray()}));
    QTRY_COMPARE(a.frames.size(), 5);
    QCOMPARE(readEcho(a.frames.at(2)).tag, 1u);
    QCOMPARE(readEcho(a.frames.at(4)).tag, 3u);
    QCOMPARE(readEcho(a.frames.at(4)).length, quint16(0));

    // A frame with an absurd length, one whose data overruns it, then a good one:
    // the server keeps going and serves the good one.
    QByteArray huge = m1;
    huge.replace(6, 4, QByteArray::fromHex("FFFFFF7F"));
    QByteArray overrun = m1;
    overrun[20] = char(0xFF);
    a.write(QByteArray::fromHex("0A") + huge + overrun + msg2Sat(4, 0x23, 1, 2, "after"));
    QTRY_COMPARE(toHw.size(), 4);
    QCOMPARE(hwData.last(), QByteArray("after"));
    QTRY_COMPARE(a.frames.size(), 6);

    // Two clients writing interleaved halves of their frames: each is cut from
    // its own stream.
    Client b(port);
    identify(b, 100, "other", 0);
    const QByteArray fa = msg2Sat(10, 0x30, 5, 6, QByteArray(200, 'a'));
    const QByteArray fb = msg2Sat(20, 0x31, 7, 8, QByteArray(200, 'b'));
    const int aSeen = a.frames.size();
    const int bSeen = b.frames.size();
    const QList<int> cuts{0, 7, 30, 120, fa.size()};
    for (int i = 0; i + 1 < cuts.size(); ++i) {
        a.write(fa.mid(cuts.at(i), cuts.at(i + 1) - cuts.at(i)));
        QTest::qWait(5);
        b.write(fb.mid(cuts.at(i), cuts.at(i + 1) - cuts.at(i)));
        QTest::qWait(5);
    }
    QTRY_COMPARE(toHw.size(), 6);
    QCOMPARE(hwData.at(4), QByteArray(200, 'a'));
    QCOMPARE(hwData.at(5), QByteArray(200, 'b'));
    QTRY_COMPARE(a.frames.size(), aSeen + 2);
    QTRY_COMPARE(b.frames.size(), bSeen + 2);
    QCOMPARE(readEcho(a.frames.at(aSeen)).text(),
             QStringLiteral("dir 1 status 1 stamp 5 tag 10 id 0x30 5->6 [%1]").arg(QString::fromLatin1(QByteArray(200, 'a').toHex())));
    QCOMPARE(readEcho(a.frames.at(aSeen + 1)).tag, 0u);
    QCOMPARE(readEcho(b.frames.at(bSeen + 1)).tag, 20u);
    QCOMPARE(readEcho(b.frames.at(bSeen + 1)).data, QByteArray(200, 'b'));
    QVERIFY(!a.malformed && !b.malformed);
}

void TestAcceptor::echoRolesTagsAndStamps()
{
    CorvidTCPserver srv(0);
    QVERIFY(srv.startServer());
    const quint16 port = srv.serverPort();
    srv.stampId = 1000;
    // Stands in for the hub: it logs with one stamp and advances the counter.
    QList<quint64> hubStamps;
    QList<QByteArray> hwData;
    connect(&srv, &CorvidTCPserver::signalCorvidToHW, this, [&](corvid_message m) {
        hwData.append(QByteArray(reinterpret_cast<const char *>(m.data), m.length));
        hubStamps.append(++srv.stampId);
        QCOMPARE(m.msg_id, quint16(0x0010));
    });

    Client m(port), o(port), x(port), silent(port);
    identify(m, 100, "manager", 0);
    identify(o, 100, "observer", 1);
    identify(x, 100, "third", 0);

    // Manager, recId 7: to the bus; the sender's echo carries its tag.
    m.write(msg2Sat(7, 0x0010, 0x0001, 0x0002, QByteArray::fromHex("AABB")));
    QTRY_COMPARE(x.frames.size(), 3);
    QTRY_COMPARE(m.frames.size(), 3);
    QTRY_COMPARE(o.frames.size(), 3);
    QCOMPARE(hwData, (QList<QByteArray>{QByteArray::fromHex("AABB")}));
    QCOMPARE(hubStamps, (QList<quint64>{1001}));
    QCOMPARE(readEcho(m.frames.last()).text(), QStringLiteral("dir 1 status 1 stamp 1002 tag 7 id 0x10 1->2 [aabb]"));
    for (Client *c : {&o, &x})
        QCOMPARE(readEcho(c->frames.last()).text(), QStringLiteral("dir 1 status 1 stamp 1002 tag 0 id 0x10 1->2 [aabb]"));
    QCOMPARE(srv.stampId, 1002ull);

    // Observer: never to the bus, echoed to all with dir 0 and status 0.
    o.write(msg2Sat(99, 0x0010, 3, 4, "obs"));
    QTRY_COMPARE(m.frames.size(), 4);
    QTRY_COMPARE(o.frames.size(), 4);
    QTRY_COMPARE(x.frames.size(), 4);
    QCOMPARE(hwData.size(), 1);
    for (Client *c : {&m, &o, &x})
        QCOMPARE(readEcho(c->frames.last()).text(), QStringLiteral("dir 0 status 0 stamp 1003 tag %1 id 0x10 3->4 [6f6273]")
                                                        .arg(c == &o ? 99 : 0));

    // A connection that has not identified: its message frames go nowhere. Its
    // identification behind them is answered only after they were handled, and
    // the manager's next message is the first thing anyone sees after them.
    Client ghost(port);
    ghost.write(msg2Sat(5, 0x0010, 9, 9, "ghost") + msg2App(5, 0x0010, "ghost") + appInfo("ghost", 0));
    QTRY_COMPARE(ghost.frames.size(), 2);
    QCOMPARE(wire_ref::get16(ghost.frames.at(0), 2), quint16(0x2001));
    m.write(msg2Sat(8, 0x0010, 1, 2, "real"));
    QTRY_COMPARE(x.frames.size(), 5);
    QCOMPARE(readEcho(x.frames.last()).data, QByteArray("real"));
    QCOMPARE(hwData.size(), 2);
    QCOMPARE(hwData.last(), QByteArray("real"));
    QCOMPARE(srv.stampId, 1005ull);
    QCOMPARE(silent.frames.size(), 0);

    // A hardware state change reaches every identified client, not the silent one.
    srv.hw_error = 3;
    srv.slotHardwareStatusHandler(0);
    QTRY_COMPARE(x.frames.size(), 6);
    QCOMPARE(x.frames.last(), QByteArray::fromHex("5EBA022000002400000000000000000000000000000003000000"
                                                  "000000000000000011BA"));
    QTRY_COMPARE(m.frames.size(), 6);
    QCOMPARE(srv.hw_state, 0u);
    // The silent one's first frames are its own identification's answer.
    identify(silent);
    QCOMPARE(silent.frames.size(), 2);
    QCOMPARE(wire_ref::get32(silent.frames.last(), 14), 0u);
    srv.slotIncrementStampID();
    QCOMPARE(srv.stampId, 1006ull);

    // sendMsgToApp as the hub uses it, with a radio header; null arguments do nothing.
    corvid_message bus;
    bus.msg_id = 0x0042;
    bus.length = 4;
    AX25Header ax;
    ax.pid = 0xF0;
    srv.sendMsgToApp(nullptr, &bus, 1, 1, 0, 0);
    srv.sendMsgToApp(srv.clientList().at(0).socket, nullptr, 1, 1, 0, 0);
    for (const crd_client_info_t &c : srv.clientList())
        srv.sendMsgToApp(c.socket, &bus, 77, 1, 0, 0, &ax);
    QTRY_COMPARE(x.frames.size(), 7);
    QCOMPARE(x.frames.last().size(), 52 + 4 + 17);
    QCOMPARE(readEcho(x.frames.last()).data, QByteArray(4, '\0'));
    QCOMPARE(quint8(x.frames.last().at(50 + 4 + 16)), quint8(0xF0));
    QCOMPARE(readEcho(x.frames.last()).stamp, 77ull);
    for (Client *c : {&m, &o, &x, &silent, &ghost})
        QVERIFY(!c->malformed);
}

void TestAcceptor::injectedMessagesAndRestriction()
{
    CorvidTCPserver srv(0);
    QVERIFY(srv.startServer());
    const quint16 port = srv.serverPort();
    QSignalSpy toHw(&srv, &CorvidTCPserver::signalCorvidToHW);

    Client m(port), o(port), x(port);
    identify(m, 100, "manager", 0);
    identify(o, 100, "observer", 1);
    identify(x, 100, "third", 0);

    // A Manager's injected message goes to the bus and to everyone but itself.
    m.write(msg2App(55, 0x0100, "inj"));
    QTRY_COMPARE(o.frames.size(), 3);
    QTRY_COMPARE(x.frames.size(), 3);
    QCOMPARE(toHw.size(), 1);
    for (Client *c : {&o, &x})
        QCOMPARE(readEcho(c->frames.last()).text(), QStringLiteral("dir 0 status 1 stamp 1 tag 55 id 0x100 0->0 [696e6a]"));
    // The sender got nothing: its next frame is the echo of what it sends now.
    m.write(msg2Sat(3, 1, 1, 1, "mark"));
    QTRY_COMPARE(m.frames.size(), 3);
    QCOMPARE(readEcho(m.frames.last()).data, QByteArray("mark"));
    QTRY_COMPARE(x.frames.size(), 4);
    QCOMPARE(toHw.size(), 2);
    QCOMPARE(srv.stampId, 2ull);

    // An Observer's injected message reaches the others but not the bus.
    o.write(msg2App(66, 0x0101, "oi"));
    QTRY_COMPARE(m.frames.size(), 4);
    QTRY_COMPARE(x.frames.size(), 5);
    QCOMPARE(toHw.size(), 2);
    QCOMPARE(readEcho(m.frames.last()).tag, 66u);
    QCOMPARE(readEcho(m.frames.last()).stamp, 3ull);

    // Restricted: nobody gets it, nothing goes to the bus, the stamp still moves,
    // so the sender's next message is stamped one higher than otherwise.
    srv.restrictFakeSatTelemetry = 1;
    m.write(msg2App(77, 0x0102, "blocked") + msg2Sat(4, 1, 1, 1, "next"));
    QTRY_COMPARE(x.frames.size(), 6);
    const Echo next = readEcho(x.frames.last());
    QCOMPARE(next.data, QByteArray("next"));
    QCOMPARE(next.stamp, 5ull);
    QCOMPARE(toHw.size(), 3);
    o.write(msg2App(78, 0x0102, "blocked") + msg2Sat(5, 1, 1, 1, "onext"));
    QTRY_COMPARE(x.frames.size(), 7);
    QCOMPARE(readEcho(x.frames.last()).data, QByteArray("onext"));
    QCOMPARE(readEcho(x.frames.last()).stamp, 7ull);
    QTRY_COMPARE(o.frames.size(), 6);
    QCOMPARE(readEcho(o.frames.at(4)).data, QByteArray("next"));
    QCOMPARE(readEcho(o.frames.at(5)).data, QByteArray("onext"));
    QTRY_COMPARE(m.frames.size(), 6);
    QCOMPARE(toHw.size(), 3);
    for (Client *c : {&m, &o, &x})
        QVERIFY(!c->malformed);
}

void TestAcceptor::connectionLimit()
{
    CorvidTCPserver srv(0);
    srv.maxClients = 2;
    QVERIFY(srv.startServer());
    const quint16 port = srv.serverPort();

    // Three connections that have not identified do not count.
    std::vector<std::unique_ptr<Client>> idle;
    for (int i = 0; i < 3; ++i)
        idle.emplace_back(new Client(port));
    QTRY_COMPARE(srv.connectionCount(), 3);
    Client a(port), b(port);
    identify(a);
    identify(b);
    QCOMPARE(srv.clientCount(), 2);

    const QString limitText = QStringLiteral("Connection limit (2) reached, client rejected");
    const int before = loggedStartingWith(limitText);
    Client rejected(port);
    QTRY_VERIFY(rejected.closed);
    QCOMPARE(loggedStartingWith(limitText), before + 1);
    QCOMPARE(rejected.frames.size(), 0);
    QCOMPARE(srv.clientCount(), 2);
    for (const auto &c : idle)
        QVERIFY(!c->closed);

    // A connection opened before the limit was reached cannot identify past it.
    idle.front()->write(appInfo("late", 0, 100));
    QTRY_VERIFY(idle.front()->closed);
    QCOMPARE(idle.front()->frames.size(), 0);
    QCOMPARE(srv.clientCount(), 2);
    QVERIFY(m_diag->contains(limitText + QStringLiteral(" (127.0.0.1:%1)").arg(idle.front()->localPort)));

    // A free place after someone leaves.
    b.socket.disconnectFromHost();
    QTRY_COMPARE(srv.clientCount(), 1);
    Client c(port);
    identify(c);
    QCOMPARE(srv.clientCount(), 2);

    // Without a limit any number comes in.
    srv.maxClients = 0;
    std::vector<std::unique_ptr<Client>> many;
    for (int i = 0; i < 6; ++i) {
        many.emplace_back(new Client(port));
        identify(*many.back());
    }
    QCOMPARE(srv.clientCount(), 8);
    QCOMPARE(loggedStartingWith(limitText), before + 2);
}

void TestAcceptor::restartAndListenFailure()
{
    CorvidTCPserver srv(0);
    QVERIFY(srv.startServer());
    const quint16 oldPort = srv.serverPort();
    QSignalSpy gone(&srv, &CorvidTCPserver::signalDisconnected);

    Client a(oldPort), b(oldPort), c(oldPort), unidentified(oldPort);
    identify(a);
    identify(b);
    identify(c);
    QCOMPARE(srv.clientCount(), 3);

    // Take a free port for the restart.
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
    const quint16 newPort = probe.serverPort();
    probe.close();
    srv.port = newPort;
    QVERIFY(srv.restartServer());
    QCOMPARE(srv.serverPort(), newPort);
    QCOMPARE(srv.clientCount(), 0);
    QCOMPARE(gone.size(), 3);
    QCOMPARE(gone.at(0).at(0).toUInt(), 0u);
    QCOMPARE(gone.at(1).at(0).toUInt(), 1u);
    QCOMPARE(gone.at(2).at(0).toUInt(), 2u);
    QTRY_VERIFY(a.closed && b.closed && c.closed && unidentified.closed);

    // The disconnections that follow find no record: the next one reported is
    // that of a new client leaving.
    Client fresh(newPort);
    identify(fresh);
    QCOMPARE(srv.clientList().at(0).id, 0u);
    fresh.socket.disconnectFromHost();
    QTRY_COMPARE(srv.clientCount(), 0);
    QCOMPARE(gone.size(), 4);
    QTcpSocket old;
    old.connectToHost(QHostAddress::LocalHost, oldPort);
    QVERIFY(!old.waitForConnected(2000));

    // Listening fails on a port that is taken.
    QTcpServer blocker;
    QVERIFY(blocker.listen(QHostAddress::Any, 0));
    CorvidTCPserver second(blocker.serverPort());
    const int before = loggedStartingWith(QStringLiteral("Unable to start the server: "));
    QVERIFY(!second.startServer());
    QVERIFY(!second.errorString().isEmpty());
    QCOMPARE(loggedStartingWith(QStringLiteral("Unable to start the server: ")), before + 1);
    QVERIFY(m_diag->contains(QStringLiteral("Unable to start the server: ") + second.errorString()));

    // It keeps trying, quietly, and serves clients once the port is free.
    QSignalSpy resumed(&second, &CorvidTCPserver::listeningResumed);
    second.listenRetryMs = 20;
    QVERIFY(!second.startServer());
    QSignalSpy tries(second.findChild<QTimer *>(QString(), Qt::FindDirectChildrenOnly), &QTimer::timeout);
    QTRY_VERIFY(tries.size() >= 3);
    QCOMPARE(resumed.size(), 0);
    blocker.close();
    QTRY_COMPARE(resumed.size(), 1);
    QCOMPARE(loggedStartingWith(QStringLiteral("Unable to start the server: ")), before + 2);
    Client late(second.serverPort());
    identify(late);
    QCOMPARE(second.clientCount(), 1);
}

void TestAcceptor::unidentifiedConnectionsAreBounded()
{
    CorvidTCPserver srv(0);
    srv.maxUnidentified = 3;
    srv.unidentifiedTimeoutMs = 300;
    QVERIFY(srv.startServer());
    const quint16 port = srv.serverPort();
    auto peer = [](Client &c) { return QStringLiteral(" (127.0.0.1:%1)").arg(c.localPort); };

    Client known(port);
    identify(known);
    // Past the bound the oldest waiting connection goes, at once.
    std::vector<std::unique_ptr<Client>> idle;
    for (int i = 0; i < 4; ++i)
        idle.emplace_back(new Client(port));
    QTRY_VERIFY(idle.at(0)->closed);
    QVERIFY(m_diag->contains(QStringLiteral("Too many unidentified TCP connections, the oldest is closed") +
                           peer(*idle.at(0))));
    // The others time out; the identified one, whose time started first, stays.
    for (int i = 1; i < 4; ++i) {
        QTRY_VERIFY(idle.at(i)->closed);
        QVERIFY(m_diag->contains(QStringLiteral("TCP client did not identify itself in time, disconnected") +
                               peer(*idle.at(i))));
    }
    QCOMPARE(srv.connectionCount(), 1);
    known.write(msg2Sat(1, 1, 1, 2, "alive"));
    QTRY_COMPARE(known.frames.size(), 3);
    QVERIFY(!known.closed);
    for (const auto &c : idle)
        QCOMPARE(c->frames.size(), 0);
}

void TestAcceptor::acceptFailureIsReportedAndSurvived()
{
    CorvidTCPserver srv(0);
    QVERIFY(srv.startServer());
    QSignalSpy failed(srv.findChild<QTcpServer *>(), &QTcpServer::acceptError);
    const QString text = QStringLiteral("Unable to accept a TCP connection: no file descriptors or memory left");
    const int before = logged(text);

    // Use up every descriptor but one: the client's socket takes it, and
    // the server's accept finds none left.
    rlimit saved{};
    QVERIFY(getrlimit(RLIMIT_NOFILE, &saved) == 0);
    rlimit tight = saved;
    tight.rlim_cur = 256;
    QVERIFY(setrlimit(RLIMIT_NOFILE, &tight) == 0);
    std::vector<int> spent;
    for (int fd; (fd = ::open("/dev/null", O_RDONLY)) >= 0;)
        spent.push_back(fd);
    ::close(spent.back());
    spent.pop_back();
    QTcpSocket waiting;
    waiting.connectToHost(QHostAddress::LocalHost, srv.serverPort());
    // Still out of descriptors when accepting resumes: one report only.
    const bool twice = QTest::qWaitFor([&] { return failed.size() >= 2; }, 5000);
    for (int fd : spent)
        ::close(fd);
    QVERIFY(setrlimit(RLIMIT_NOFILE, &saved) == 0);
    QVERIFY(twice);
    QCOMPARE(logged(text), before + 1);

    // With descriptors back the waiting connection is taken and served.
    QTRY_COMPARE_WITH_TIMEOUT(srv.connectionCount(), 1, 5000);
    Client c(srv.serverPort());
    identify(c);
}

void TestAcceptor::slowReaderIsCutOff_data()
{
    QTest::addColumn<qint64>("perClient");
    QTest::addColumn<qint64>("total");
    QTest::newRow("per client") << qint64(256 * 1024) << qint64(0);
    QTest::newRow("all clients") << qint64(0) << qint64(256 * 1024);
}

void TestAcceptor::slowReaderIsCutOff()
{
    QFETCH(qint64, perClient);
    QFETCH(qint64, total);
    CorvidTCPserver srv(0);
    srv.maxPendingOutput = perClient;
    srv.maxTotalPendingOutput = total;
    QVERIFY(srv.startServer());
    const quint16 port = srv.serverPort();
    QSignalSpy gone(&srv, &CorvidTCPserver::signalDisconnected);

    Client reader(port), stuck(port);
    identify(reader, 100, "reader", 1);
    identify(stuck, 100, "stuck", 1);
    // Stop taking bytes off the socket: the kernel buffers fill up, then the server's.
    stuck.socket.setReadBufferSize(1);
    disconnect(&stuck.socket, &QTcpSocket::readyRead, nullptr, nullptr);

    QByteArray payload(16 * 1024, 'p');
    corvid_message m;
    m.msg_id = 0x55;
    m.length = quint16(payload.size());
    m.data = reinterpret_cast<uint8_t *>(payload.data());
    // Like bus traffic: one message to every client, then the event loop runs
    // until the reading client has it.
    int sent = 0;
    while (gone.isEmpty() && sent < 4000) {
        for (const crd_client_info_t &c : srv.clientList())
            srv.sendMsgToApp(c.socket, &m, quint64(sent), 1, 0, 0);
        ++sent;
        QDeadlineTimer guard(10000);
        while (reader.frames.size() < 2 + sent && !guard.hasExpired())
            QCoreApplication::processEvents();
    }
    QTRY_COMPARE(gone.size(), 1);
    QCOMPARE(gone.at(0).at(0).toUInt(), 1u);
    QVERIFY(loggedStartingWith(QStringLiteral("TCP client does not read")) >= 1);
    QVERIFY(m_diag->texts().last().endsWith(QStringLiteral("disconnected (127.0.0.1:%1, client 1)").arg(stuck.socket.localPort())));
    QCOMPARE(srv.clientCount(), 1);

    // The reader got every message, in order, unharmed, and keeps receiving;
    // a burst below the cap is fine.
    for (int i = 0; i < 10; ++i)
        srv.sendMsgToApp(srv.clientList().at(0).socket, &m, quint64(sent + i), 1, 0, 0);
    QTRY_COMPARE(reader.frames.size(), 2 + sent + 10);
    for (int i = 0; i < sent + 10; ++i) {
        const Echo e = readEcho(reader.frames.at(2 + i));
        QCOMPARE(e.stamp, quint64(i));
        QCOMPARE(e.length, quint16(payload.size()));
    }
    QCOMPARE(reader.frames.last().mid(50, payload.size()), payload);
    QVERIFY(!reader.malformed);
}

void TestAcceptor::floodReachesReadingClients()
{
    CorvidTCPserver srv(0);
    srv.maxPendingOutput = 1024 * 1024;
    QVERIFY(srv.startServer());
    const quint16 port = srv.serverPort();
    QSignalSpy gone(&srv, &CorvidTCPserver::signalDisconnected);
    int toHw = 0;
    connect(&srv, &CorvidTCPserver::signalCorvidToHW, this, [&](corvid_message) { ++toHw; });

    Client sender(port), watcher(port);
    identify(sender, 100, "flood", 0);
    identify(watcher, 100, "watch", 1);

    // Far more echo traffic than the cap, written as fast as the sender can:
    // clients that read keep up and are never cut off.
    const int count = 12000;
    QByteArray burst;
    for (int i = 0; i < count; ++i)
        burst += msg2Sat(quint32(i), 0x0010, 1, 2, QByteArray(300, char('a' + i % 26)));
    sender.write(burst);
    QTRY_COMPARE_WITH_TIMEOUT(watcher.frames.size(), 2 + count, 60000);
    QTRY_COMPARE_WITH_TIMEOUT(sender.frames.size(), 2 + count, 60000);
    QCOMPARE(toHw, count);
    QCOMPARE(gone.size(), 0);
    for (int i = 0; i < count; i += 997) {
        const Echo e = readEcho(sender.frames.at(2 + i));
        QCOMPARE(e.tag, quint32(i));
        QCOMPARE(e.data, QByteArray(300, char('a' + i % 26)));
        QCOMPARE(readEcho(watcher.frames.at(2 + i)).tag, 0u);
    }
    QVERIFY(!sender.malformed && !watcher.malformed);
}

void TestAcceptor::newConnectionsAreNotWaitedFor()
{
    CorvidTCPserver srv(0);
    QVERIFY(srv.startServer());
    const quint16 port = srv.serverPort();
    const int before = loggedStartingWith(QStringLiteral("New TCP connection ("));
    srv.newConnectionNoticeMs = 3600 * 1000;

    // A burst of connections, each answered as soon as it identifies; the
    // connection notice for every one of them comes later, from a timer.
    std::vector<std::unique_ptr<Client>> burst;
    for (int i = 0; i < 40; ++i) {
        burst.emplace_back(new Client(port));
        burst.back()->write(appInfo("burst", 0, 100));
    }
    for (const auto &c : burst)
        QTRY_COMPARE(c->frames.size(), 2);
    QCOMPARE(srv.clientCount(), 40);
    QCOMPARE(loggedStartingWith(QStringLiteral("New TCP connection (")), before);
    srv.newConnectionNoticeMs = 0;
    Client last(port);
    QTRY_COMPARE(loggedStartingWith(QStringLiteral("New TCP connection (127.0.0.1:")), before + 1);
}

int runAcceptorTests(int argc, char **argv)
{
    TestAcceptor t;
    return QTest::qExec(&t, argc, argv);
}

#include "tst_acceptor.moc"
