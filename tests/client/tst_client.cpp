// Drives the built corvid-client program against a server faked in the test.
// Every frame the fake server sends or expects is laid out by hand here, not
// with the project's wire code, so a fault there cannot hide itself.

#include "server/CorvidTCPserver.h"
#include "tests/common/child_process.h"
#include "tests/common/server_run.h"
#include "tests/common/test_certs.h"
#include "tests/common/virtual_bus.h"
#include "tests/common/wire_client.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

namespace {

using namespace wire_ref;

const int64_t T0 = 1700000000123;  // 2023-11-14T22:13:20.123Z

// Accepts connections, records every byte each one sends, and answers an
// application-information frame (56 bytes) with server info, state and `afterAnswer`.
struct FakeServer : QTcpServer {
    bool answer = true, closeAfterAnswer = false;
    QByteArray afterAnswer;
    QList<QTcpSocket *> conns;
    QList<QByteArray> rx;

    FakeServer()
    {
        QVERIFY(listen(QHostAddress::LocalHost, 0));
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *s = nextPendingConnection()) {
                conns << s;
                rx << QByteArray();
                connect(s, &QTcpSocket::readyRead, this, [this, s, i = conns.size() - 1] {
                    const bool had = rx[i].size() >= 56;
                    rx[i] += s->readAll();
                    if (!answer || had || rx[i].size() < 56)
                        return;
                    s->write(srvInfo(T0) + srvState(2, 0) + afterAnswer);
                    if (closeAfterAnswer)
                        s->disconnectFromHost();
                });
            }
        });
    }
    // What connection `i` sent, once its peer has closed it: nothing more can come.
    QByteArray sent(int i = 0)
    {
        (void)QTest::qWaitFor([&] { return conns.size() > i && conns[i]->state() == QAbstractSocket::UnconnectedState; },
                              20000);
        return rx.value(i);
    }
};

struct Run {
    int status = -1;
    QByteArray out, err;
    QStringList outLines() const
    {
        return out.isEmpty() ? QStringList() : QString::fromUtf8(out.chopped(out.endsWith('\n') ? 1 : 0)).split('\n');
    }
};

QString program() { return qEnvironmentVariable("CORVID_BUILD_DIR") + QStringLiteral("/tools/client/corvid-client"); }

// Runs the client to its end while the test's event loop serves the fake
// server; `whileRunning` is called once the process has started. Standard
// input is `input`, or the file `stdinFile` when one is named.
Run runClient(const QStringList &args, const QByteArray &input = {},
              const std::function<void(QProcess &)> &whileRunning = {}, const QString &stdinFile = {})
{
    Run r;
    ChildProcess p;
    if (!stdinFile.isEmpty())
        p.setStandardInputFile(stdinFile);
    p.start(program(), args);
    if (!p.waitForStarted(10000))
        return r;
    if (stdinFile.isEmpty()) {
        p.write(input);
        p.closeWriteChannel();
    }
    if (whileRunning)
        whileRunning(p);
    QSignalSpy done(&p, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
    if (p.state() != QProcess::NotRunning && !done.wait(60000)) {
        p.kill();
        p.waitForFinished();
        return r;  // status -1: it did not end
    }
    r.status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

QStringList words(const QString &text) { return text.split(QLatin1Char(' '), Qt::SkipEmptyParts); }

// The port option for the fake server, then `more` split at blanks.
QStringList base(const FakeServer &s, const QString &more = {})
{
    return QStringList{QStringLiteral("--port"), QString::number(s.serverPort())} + words(more);
}

const char *kServerLine = "server version=100 name=\"Corvid dedicated server\" time=2023-11-14T22:13:20.123Z";
const char *kStateLine = "state hw_state=2 hw_name=HW_READY hw_error=0";

}  // namespace

class TestClient : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void sendsMessagesByteExact();
    void printsFramesInBothForms();
    void failuresGiveStatusAndMessage_data();
    void failuresGiveStatusAndMessage();
    void helpAndUsage();
    void againstTheAcceptor();
    void overTlsAndFromElsewhere();
};

void TestClient::initTestCase()
{
    qRegisterMetaType<QProcess::ExitStatus>();
    QVERIFY2(QFileInfo(program()).isExecutable(), qPrintable(program()));
}

void TestClient::sendsMessagesByteExact()
{
    FakeServer s;
    const QByteArray input = "# comment line\n"
                             "0x0020 0x0005 0x0006 01 02 03\n"
                             "\n"
                             "0x10 1 nope AA\n"           // line 4: bad address
                             "0x30 7 8 ABC\n"             // line 5: odd digits
                             "65535 0xFFFF 0 zz\n"        // line 6: not hex
                             "0x10000 1 2\n"              // line 7: id too large
                             "1 2\n"                      // line 8: too few fields
                             "0x0021,0x0005,0x0006,\r\n"  // line 9: comma form, CRLF, no data
                             "0x40 9 10 FFee";            // line 10: no final line feed
    const Run r = runClient(base(s, "--send 0x0010,0x0001,0x0002,AABB --stdin --wait-ms 0") << "-s" << "16 1 2", input);
    QCOMPARE(r.status, 3);  // some lines rejected, the rest sent
    const QString err = QString::fromUtf8(r.err);
    for (int line : {4, 5, 6, 7, 8})
        QVERIFY2(err.contains(QStringLiteral("stdin line %1: ").arg(line)), qPrintable(err));
    QCOMPARE(err.count(QStringLiteral("not sent")), 5);
    QVERIFY(!err.contains(QStringLiteral("line 9")) && !err.contains(QStringLiteral("line 10")));
    QCOMPARE(s.sent().mid(56).toHex(' '),
             hex("5E BA 00 10 00 00 1A 00 00 00 01 00 00 00 10 00 01 00 02 00 02 00 AA BB 11 BA"  // recId 1
                 "5E BA 00 10 00 00 18 00 00 00 02 00 00 00 10 00 01 00 02 00 00 00 11 BA"        // no data
                 "5E BA 00 10 00 00 1B 00 00 00 03 00 00 00 20 00 05 00 06 00 03 00 01 02 03 11 BA"
                 "5E BA 00 10 00 00 18 00 00 00 04 00 00 00 21 00 05 00 06 00 00 00 11 BA"
                 "5E BA 00 10 00 00 1A 00 00 00 05 00 00 00 40 00 09 00 0A 00 02 00 FF EE 11 BA")
                 .toHex(' '));

    // Injected form: FrameMsg2App with dir 0, status 1, stamp 0, tag = recId;
    // the 8 bytes of time_ms (the sending time) are left out of the comparison.
    FakeServer inj;
    QCOMPARE(runClient(base(inj, "--inject --send 0x0101,0x0A,0x0B,C0FFEE --send 0x0102,0x0A,0x0B -w 0")).status, 0);
    const QByteArray got = inj.sent().mid(56);
    QCOMPARE(got.size(), 55 + 52);
    QCOMPARE(QByteArray(got.left(18) + got.mid(26, 29) + got.mid(55, 18) + got.mid(55 + 26)).toHex(' '),
             hex("5E BA 00 20 00 00 37 00 00 00 00 00 00 00 01 00 00 00"
                 "00 00 00 00 00 00 00 00 01 00 00 00 01 01 0A 00 0B 00 03 00 00 00 00 00 C0 FF EE 11 BA"
                 "5E BA 00 20 00 00 34 00 00 00 00 00 00 00 01 00 00 00"
                 "00 00 00 00 00 00 00 00 02 00 00 00 02 01 0A 00 0B 00 00 00 00 00 00 00 11 BA")
                 .toHex(' '));

    // stdin from a file: many lines, every one sent once, in order.
    FakeServer many;
    QTemporaryFile file;
    QVERIFY(file.open());
    const int n = 3000;
    QByteArray want;
    for (int i = 0; i < n; ++i) {
        file.write(QStringLiteral("%1 0x0A 0x0B %2\n").arg(i).arg(i & 0xFF, 2, 16, QLatin1Char('0')).toLatin1());
        want += hex("5E BA 00 10 00 00 19 00 00 00") + le32(uint32_t(i + 1)) + le16(uint16_t(i)) +
                hex("0A 00 0B 00 01 00") + QByteArray(1, char(i & 0xFF)) + hex("11 BA");
    }
    file.close();
    QCOMPARE(runClient(base(many, "--stdin --wait-ms 0"), {}, {}, file.fileName()).status, 0);
    QCOMPARE(many.sent().size(), 56 + n * 25);
    QVERIFY(many.sent().mid(56) == want);

    // Empty stdin: identification only, clean end. Here an Observer, a name of
    // exactly 32 bytes (no NUL left), another version word.
    FakeServer none;
    const char *name = "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345";
    const QStringList args = base(none, "-i -w 0 --observer --app-version 0x00010064 --name ") << name;
    QCOMPARE(runClient(args, {}, {}, QProcess::nullDevice()).status, 0);
    QCOMPARE(none.sent().toHex(' '),
             QByteArray(hex("5E BA 01 10 00 00 38 00 00 00 64 00 01 00") + name + hex("01 00 00 00 00 00 00 00 11 BA"))
                 .toHex(' '));
}

void TestClient::printsFramesInBothForms()
{
    const QByteArray ax25 = hex("00 82 A0 A4 A6 40 40 60 9C 60 86 A6 40 40 61 03 F0");
    // Garbage before and between frames, a frame of a kind the client does not
    // take (FrameMsg2Sat), a second state frame, and a fourth message.
    const QByteArray stream =
        hex("00 11 22 5E") + msg2App(0, 1, T0, 5, 7, 0x0010, 0x0001, 0x0002, hex("AA BB")) + hex("5E BA 01") +
        frame(0x1000, QByteArray(12, '\0')) + msg2App(1, 0, T0 + 1, ~0ull, 0xFFFFFFFF, 0xFFFF, 0x1234, 0xABCD, {}) +
        srvState(0, 17) + msg2App(0, 1, T0, 6, 0, 0x0042, 0x0003, 0x0001, hex("01"), ax25) +
        msg2App(0, 1, T0, 9, 0, 1, 1, 1, {});
    const QStringList human = {
        kServerLine, kStateLine,
        "msg id=0x0010 from=0x0001 to=0x0002 len=2 data=AABB dir=0 status=1 stamp=5 tag=7 time=2023-11-14T22:13:20.123Z",
        "msg id=0xFFFF from=0x1234 to=0xABCD len=0 data= dir=1 status=0 stamp=18446744073709551615 tag=4294967295 "
        "time=2023-11-14T22:13:20.124Z",
        "state hw_state=0 hw_name=HW_ERROR hw_error=17",
        "msg id=0x0042 from=0x0003 to=0x0001 len=1 data=01 dir=0 status=1 stamp=6 tag=0 time=2023-11-14T22:13:20.123Z "
        "ax25=0082A0A4A64040609C6086A640406103F0",
    };
    const QStringList json = {
        R"({"type":"server","version":100,"name":"Corvid dedicated server","time_ms":1700000000123,)"
        R"("time":"2023-11-14T22:13:20.123Z"})",
        R"({"type":"state","hw_state":2,"hw_name":"HW_READY","hw_error":0})",
        R"({"type":"msg","id":16,"from":1,"to":2,"len":2,"data":"AABB","dir":0,"status":1,"stamp":5,"tag":7,)"
        R"("time_ms":1700000000123,"time":"2023-11-14T22:13:20.123Z"})",
        R"({"type":"msg","id":65535,"from":4660,"to":43981,"len":0,"data":"","dir":1,"status":0,)"
        R"("stamp":18446744073709551615,"tag":4294967295,"time_ms":1700000000124,"time":"2023-11-14T22:13:20.124Z"})",
        R"({"type":"state","hw_state":0,"hw_name":"HW_ERROR","hw_error":17})",
        R"({"type":"msg","id":66,"from":3,"to":1,"len":1,"data":"01","dir":0,"status":1,"stamp":6,"tag":0,)"
        R"("time_ms":1700000000123,"time":"2023-11-14T22:13:20.123Z","ax25":"0082A0A4A64040609C6086A640406103F0"})",
    };
    // The human form in one piece, the JSON form byte by byte; nothing after the third message.
    for (bool asJson : {false, true}) {
        FakeServer s;
        if (!asJson)
            s.afterAnswer = stream;
        const Run r = runClient(base(s, asJson ? "--count 3 --json" : "--count 3"), {}, [&](QProcess &p) {
            if (!asJson)
                return;
            QTRY_VERIFY_WITH_TIMEOUT(!s.conns.isEmpty() && s.rx[0].size() >= 56, 20000);
            for (int i = 0; i < stream.size() && p.state() != QProcess::NotRunning; ++i) {
                s.conns[0]->write(stream.constData() + i, 1);
                s.conns[0]->flush();
                QTest::qWait(1);
            }
        });
        QCOMPARE(r.status, 0);
        QCOMPARE(r.outLines(), asJson ? json : human);
    }
    // A server name with bytes that need escaping stays on one line.
    FakeServer s;
    s.answer = false;
    const Run r = runClient(base(s, "-w 0"), {}, [&s](QProcess &) {
        QTRY_COMPARE_WITH_TIMEOUT(s.rx.value(0).size(), 56, 20000);
        s.conns[0]->write(srvInfo(0, QByteArray("a\"b\\c\n%2\xff")));
    });
    QCOMPARE(r.status, 0);
    QCOMPARE(r.outLines(), QStringList(R"(server version=100 name="a\"b\\c\x0A%2\xFF" time=1970-01-01T00:00:00.000Z)"));
}

void TestClient::failuresGiveStatusAndMessage_data()
{
    QTest::addColumn<QString>("args");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("error");  // in standard error
    QTest::addColumn<int>("outLines");   // what arrived before the failure is printed
    QTest::newRow("nothing listens") << "--send 1,2,3" << 1
                                     << "corvid-client: cannot connect to 127.0.0.1:%1: connection refused" << 0;
    // Nothing but the identification goes out until the client gives up.
    QTest::newRow("never answers") << "--connect-timeout 300 --send 1,2,3,44" << 1 << "no answer from 127.0.0.1:" << 0;
    QTest::newRow("closed after answer") << "" << 1 << "closed by the server" << 2;
    QTest::newRow("closed before answer") << "" << 1 << "before it answered the identification" << 0;
    QTest::newRow("count not reached") << "--count 2 --timeout 1000" << 4 << "1 of 2" << 3;
}

void TestClient::failuresGiveStatusAndMessage()
{
    QFETCH(QString, args);
    const QByteArray tag = QTest::currentDataTag();
    FakeServer s;
    s.answer = tag == "closed after answer" || tag == "count not reached";
    s.closeAfterAnswer = tag == "closed after answer";
    if (tag == "count not reached")
        s.afterAnswer = msg2App(0, 1, T0, 1, 0, 1, 2, 3, {});
    const uint16_t port = s.serverPort();
    if (tag == "nothing listens")
        s.close();
    const Run r = runClient(QStringList{"-p", QString::number(port)} + words(args), {}, [&](QProcess &) {
        if (tag == "closed before answer") {
            QTRY_COMPARE_WITH_TIMEOUT(s.rx.value(0).size(), 56, 20000);
            s.conns[0]->abort();
        }
    });
    QTEST(r.status, "status");
    QFETCH(QString, error);
    const QString err = QString::fromUtf8(r.err);
    QVERIFY2(tag == "nothing listens" ? err.startsWith(error.arg(port)) : err.contains(error), r.err.data());
    QTEST(int(r.outLines().size()), "outLines");
    if (tag == "never answers") {
        QTRY_COMPARE(s.conns.value(0)->state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(s.rx.value(0).size(), 56);
    }
}

void TestClient::helpAndUsage()
{
    const Run h = runClient({QStringLiteral("--help")});
    QCOMPARE(h.status, 0);
    for (const char *must : {"--send", "--stdin", "--require-ready", "Exit status", "msg id=0x0010 from=0x0001",
                             "\"type\":\"msg\"", "--tls", "--cafile FILE", "--cert FILE", "--key FILE", "--bind ADDRESS"})
        QVERIFY2(h.out.contains(must), must);

    // A bad --send stops the client before it connects: nothing reaches the server.
    FakeServer s;
    for (const char *bad : {"--send 1,2,3,ABC", "--send 1,2,3,AA --send 0x1,2,70000", "--count -1",
                            "--name xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx", "--bogus", "stray", "--bind nowhere",
                            "--cert /dev/null", "--cafile /nonexistent"}) {
        const Run r = runClient(base(s, bad));
        QCOMPARE(r.status, 2);
        QVERIFY2(r.err.startsWith("corvid-client: "), r.err.constData());
        if (QByteArray(bad).contains("70000"))
            QVERIFY2(r.err.contains("--send #2") && r.err.contains("to:"), r.err.constData());
    }
    // The first connection the server sees is that of a good run after them:
    // a Manager with the default name and version.
    const Run good = runClient(base(s, "--count 0"));
    QCOMPARE(good.status, 0);
    QCOMPARE(good.outLines(), QStringList({kServerLine, kStateLine}));
    QCOMPARE(s.conns.size(), 1);
    QCOMPARE(s.sent().toHex(' '), QByteArray(hex("5E BA 01 10 00 00 38 00 00 00 64 00 00 00") + "corvid-client" +
                                                  QByteArray(19 + 1 + 7, '\0') + hex("11 BA"))
                                           .toHex(' '));
}

void TestClient::againstTheAcceptor()
{
    CorvidTCPserver acceptor(0);
    QVERIFY(acceptor.startServer());
    QStringList toBus;  // "id:data"
    connect(&acceptor, &CorvidTCPserver::signalCorvidToHW, this, [&](corvid_message m) {
        toBus << QString::number(m.msg_id, 16) + ':' +
                     QByteArray(reinterpret_cast<const char *>(m.data), m.length).toHex();
    });
    const QStringList port = {QStringLiteral("-p"), QString::number(acceptor.serverPort())};
    const Run r = runClient(port + words("--send 0x10,1,2,AABB --stdin --count 2 --json"), "0x11 1 2\n");
    QCOMPARE(r.status, 0);
    QCOMPARE(toBus, QStringList({"10:aabb", "11:"}));
    // Own echoes carry the recIds as tags; the server lines come first. The
    // times at the end of the lines are left out.
    QStringList lines = r.outLines();
    for (QString &l : lines)
        l.replace(QRegularExpression(",\"time.*"), ",");
    QCOMPARE(lines, QStringList({
        R"({"type":"server","version":100,"name":"Corvid dedicated server",)",
        R"({"type":"state","hw_state":0,"hw_name":"HW_ERROR","hw_error":0})",
        R"({"type":"msg","id":16,"from":1,"to":2,"len":2,"data":"AABB","dir":1,"status":1,"stamp":1,"tag":1,)",
        R"({"type":"msg","id":17,"from":1,"to":2,"len":0,"data":"","dir":1,"status":1,"stamp":2,"tag":2,)"}));
}

// Against the server program on the virtual bus, with a device on it: over
// TLS with a client certificate, without one, and from a host that may not
// command.
void TestClient::overTlsAndFromElsewhere()
{
    TestCerts certs;
    QVERIFY2(certs.make(), qPrintable(certs.error));
    VirtualBusHost bus;
    QVERIFY2(bus.start(), qPrintable(bus.error()));
    ServerRun srv;
    const uint16_t tcp = freePort(), tls = freePort();
    QVERIFY(srv.configure(virtualCanParams(tcp) +
                          ConfigParams{{"ManagerHosts", "127.0.0.1/32"}, {"TlsPort", QString::number(tls)},
                                       {"TlsCertFile", certs.path("server.pem")}, {"TlsKeyFile", certs.path("server.key")},
                                       {"TlsClientCAFile", certs.path("ca.pem")}}));
    srv.start();
    QVERIFY2(srv.waitStarted(tcp), qPrintable(srv.errorLog()));
    Devsim device;
    QVERIFY2(device.start(), device.output.constData());

    const QStringList overTls = {"-p", QString::number(tls), "--cafile", certs.path("ca.pem")};
    const Run good = runClient(overTls + QStringList{"--cert", certs.path("alice.pem"), "--key", certs.path("alice.key")} +
                               words("--send 0x10,1,2,AABB --count 2"));
    QCOMPARE(good.status, 0);
    QStringList lines = good.outLines();
    for (QString &l : lines)
        l.replace(QRegularExpression(" stamp=.*"), QString());
    QCOMPARE(lines.mid(2), QStringList({"msg id=0x0010 from=0x0001 to=0x0002 len=2 data=AABB dir=1 status=1",
                                        "msg id=0x0010 from=0x0002 to=0x0001 len=2 data=AABB dir=0 status=1"}));
    QVERIFY2(srv.waitForErrorLog("Manager identified: application \"corvid-client\" (127.0.0.1:"), qPrintable(srv.errorLog()));
    QVERIFY(srv.errorLog().contains(", CN alice, client 0)"));

    const Run anonymous = runClient(overTls + words("--count 0"));
    QCOMPARE(anonymous.status, 1);
    QVERIFY2(anonymous.err.contains("refuses a client certificate"), anonymous.err.constData());
    QVERIFY(srv.waitForErrorLog("did not present any certificate"));
    const Run elsewhere = runClient(words("--bind 127.0.0.2 --count 0 -p") << QString::number(tcp));
    QCOMPARE(elsewhere.status, 1);
    QVERIFY(srv.waitForErrorLog("Manager refused: host not in ManagerHosts, application \"corvid-client\" (127.0.0.2:"));
}

QTEST_GUILESS_MAIN(TestClient)
#include "tst_client.moc"
