// Drives the built corvid-client program against a server faked in the test.
// Every frame the fake server sends or expects is laid out by hand here, not
// with the project's wire code, so a fault there cannot hide itself.

#include "server/CorvidTCPserver.h"
#include "tools/client/client_text.h"
#include "tests/common/wire_client.h"

#include <QProcess>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

namespace {

using namespace wire_ref;

const int64_t T0 = 1700000000123;  // 2023-11-14T22:13:20.123Z

// Accepts connections, records every byte each one sends, and answers an
// application-information frame (56 bytes) with server info and state.
class FakeServer : public QObject {
public:
    bool answer = true;
    QByteArray afterAnswer;        // written right after the answer
    bool closeAfterAnswer = false;
    QList<QTcpSocket *> conns;
    QList<QByteArray> rx;

    FakeServer()
    {
        QVERIFY(srv.listen(QHostAddress::LocalHost, 0));
        connect(&srv, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *s = srv.nextPendingConnection()) {
                const int i = conns.size();
                conns.append(s);
                rx.append(QByteArray());
                connect(s, &QTcpSocket::readyRead, this, [this, s, i] {
                    const bool had = rx[i].size() >= 56;
                    rx[i] += s->readAll();
                    if (answer && !had && rx[i].size() >= 56) {
                        s->write(srvInfo(T0) + srvState(2, 0) + afterAnswer);
                        if (closeAfterAnswer)
                            s->disconnectFromHost();
                    }
                });
            }
        });
    }
    uint16_t port() const { return srv.serverPort(); }
    QTcpServer srv;
};

struct Run {
    int status = -1;
    QByteArray out, err;
    QStringList outLines() const
    {
        QStringList l = QString::fromUtf8(out).split(QLatin1Char('\n'));
        if (!l.isEmpty() && l.last().isEmpty())
            l.removeLast();
        return l;
    }
};

QString program()
{
    return QString::fromLocal8Bit(qgetenv("CORVID_BUILD_DIR")) + QStringLiteral("/tools/client/corvid-client");
}

// Runs the client to its end while the test's event loop serves the fake server.
// `whileRunning` is called once the process has started.
Run runClient(const QStringList &args, const QByteArray &input = {}, bool closeInput = true,
              const std::function<void(QProcess &)> &whileRunning = {})
{
    Run r;
    QProcess p;
    p.start(program(), args);
    if (!p.waitForStarted(10000)) {
        qWarning("cannot start %s", qPrintable(program()));
        return r;
    }
    if (!input.isEmpty())
        p.write(input);
    if (closeInput)
        p.closeWriteChannel();
    if (whileRunning)
        whileRunning(p);
    QSignalSpy done(&p, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
    if (p.state() != QProcess::NotRunning && !done.wait(60000)) {
        p.kill();
        p.waitForFinished();
        qWarning("client did not end");
        return r;
    }
    r.status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

QStringList words(const char *text)
{
    return QString::fromLatin1(text).split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

// The port option for the fake server, then `more` split at blanks.
QStringList base(const FakeServer &s, const char *more = "")
{
    return QStringList{QStringLiteral("--port"), QString::number(s.port())} + words(more);
}

}  // namespace

class TestClient : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void identification();
    void sendsMessagesByteExact();
    void printsFramesInBothForms();
    void failuresGiveStatusAndMessage();
    void helpAndUsage();
    void messageTextParsing();
    void againstTheAcceptor();
};

void TestClient::initTestCase()
{
    qRegisterMetaType<QProcess::ExitStatus>();
    QVERIFY2(QFileInfo(program()).isExecutable(), qPrintable(program()));
}

void TestClient::identification()
{
    {
        // Manager, default name and version.
        FakeServer s;
        const Run r = runClient(base(s, "--count 0"));
        QCOMPARE(r.status, 0);
        QCOMPARE(s.rx.size(), 1);
        const QByteArray expected = hex("5E BA 01 10 00 00 38 00 00 00"
                                        "64 00 00 00"
                                        "63 6F 72 76 69 64 2D 63 6C 69 65 6E 74"  // corvid-client
                                        "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"
                                        "00"
                                        "00 00 00 00 00 00 00"
                                        "11 BA");
        QCOMPARE(expected.size(), 56);
        QCOMPARE(s.rx[0].toHex(' '), expected.toHex(' '));
        QCOMPARE(r.outLines(), QStringList({QStringLiteral("server version=100 name=\"Corvid dedicated server\" "
                                                           "time=2023-11-14T22:13:20.123Z"),
                                            QStringLiteral("state hw_state=2 hw_name=HW_READY hw_error=0")}));
    }
    {
        // Observer, a name of exactly 32 bytes (no NUL left), another version word.
        FakeServer s;
        const QByteArray n32 = "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345";
        const Run r = runClient(base(s, "--observer --name ABCDEFGHIJKLMNOPQRSTUVWXYZ012345 --app-version 0x00010064 -c 0"));
        QCOMPARE(r.status, 0);
        const QByteArray expected = hex("5E BA 01 10 00 00 38 00 00 00 64 00 01 00") + n32 + hex("01") +
                                    QByteArray(7, '\0') + hex("11 BA");
        QCOMPARE(s.rx.value(0).toHex(' '), expected.toHex(' '));
    }
}

void TestClient::sendsMessagesByteExact()
{
    {
        FakeServer s;
        const QByteArray input = "# comment line\n"
                                 "0x0020 0x0005 0x0006 01 02 03\n"
                                 "\n"
                                 "0x10 1 nope AA\n"         // line 4: bad address
                                 "0x30 7 8 ABC\n"           // line 5: odd digits
                                 "65535 0xFFFF 0 zz\n"      // line 6: not hex
                                 "0x10000 1 2\n"            // line 7: id too large
                                 "1 2\n"                    // line 8: too few fields
                                 "0x0021,0x0005,0x0006,\r\n"  // line 9: comma form, CRLF, no data
                                 "0x40 9 10 FFee";          // line 10: no final line feed
        const Run r = runClient(base(s) << QStringLiteral("--send") << QStringLiteral("0x0010,0x0001,0x0002,AABB")
                                        << QStringLiteral("-s") << QStringLiteral("16 1 2")
                                        << QStringLiteral("--stdin") << QStringLiteral("--wait-ms")
                                        << QStringLiteral("0"),
                                input);
        QCOMPARE(r.status, 3);  // some lines rejected, the rest sent
        const QString err = QString::fromUtf8(r.err);
        for (int line : {4, 5, 6, 7, 8})
            QVERIFY2(err.contains(QStringLiteral("stdin line %1: ").arg(line)), qPrintable(err));
        QCOMPARE(err.count(QStringLiteral("not sent")), 5);
        QVERIFY(!err.contains(QStringLiteral("line 9")) && !err.contains(QStringLiteral("line 10")));

        const QByteArray expected =
            // recId 1: the example message 0x0010 1 -> 2, AA BB
            hex("5E BA 00 10 00 00 1A 00 00 00 01 00 00 00 10 00 01 00 02 00 02 00 AA BB 11 BA") +
            // recId 2: no data, 24 bytes
            hex("5E BA 00 10 00 00 18 00 00 00 02 00 00 00 10 00 01 00 02 00 00 00 11 BA") +
            hex("5E BA 00 10 00 00 1B 00 00 00 03 00 00 00 20 00 05 00 06 00 03 00 01 02 03 11 BA") +
            hex("5E BA 00 10 00 00 18 00 00 00 04 00 00 00 21 00 05 00 06 00 00 00 11 BA") +
            hex("5E BA 00 10 00 00 1A 00 00 00 05 00 00 00 40 00 09 00 0A 00 02 00 FF EE 11 BA");
        QCOMPARE(s.rx.value(0).mid(56).toHex(' '), expected.toHex(' '));
    }
    {
        // Injected form: FrameMsg2App with dir 0, status 1, stamp 0, tag = recId.
        FakeServer s;
        const Run r = runClient(base(s, "--inject --send 0x0101,0x0A,0x0B,C0FFEE --send 0x0102,0x0A,0x0B -w 0"));
        QCOMPARE(r.status, 0);
        const QByteArray got = s.rx.value(0).mid(56);
        QCOMPARE(got.size(), 55 + 52);
        const QByteArray f1 = got.left(55), f2 = got.mid(55);
        QCOMPARE(f1.left(18).toHex(' '), hex("5E BA 00 20 00 00 37 00 00 00 00 00 00 00 01 00 00 00").toHex(' '));
        // time_ms (8 bytes) is the sending time, stamped by the wire code.
        QCOMPARE(f1.mid(26).toHex(' '), hex("00 00 00 00 00 00 00 00 01 00 00 00 01 01 0A 00 0B 00 03 00"
                                            "00 00 00 00 C0 FF EE 11 BA")
                                            .toHex(' '));
        QCOMPARE(f2.left(10).toHex(' '), hex("5E BA 00 20 00 00 34 00 00 00").toHex(' '));
        QCOMPARE(f2.mid(26).toHex(' '), hex("00 00 00 00 00 00 00 00 02 00 00 00 02 01 0A 00 0B 00 00 00"
                                            "00 00 00 00 11 BA")
                                            .toHex(' '));
    }
    {
        // stdin from a file: many lines, every one sent once, in order.
        FakeServer s;
        QTemporaryFile file;
        QVERIFY(file.open());
        const int n = 3000;
        for (int i = 0; i < n; ++i)
            file.write(QStringLiteral("%1 0x0A 0x0B %2\n").arg(i).arg(i & 0xFF, 2, 16, QLatin1Char('0')).toLatin1());
        file.close();
        QProcess p;
        p.setStandardInputFile(file.fileName());
        p.start(program(), base(s, "--stdin --wait-ms 0"));
        QVERIFY(p.waitForStarted(10000));
        QSignalSpy done(&p, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
        QVERIFY(done.wait(60000));
        QCOMPARE(p.exitCode(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(s.rx.value(0).size(), 56 + n * 25, 20000);
        const QByteArray got = s.rx[0].mid(56);
        for (int i = 0; i < n; ++i) {
            const QByteArray f = got.mid(i * 25, 25);
            const QByteArray want = hex("5E BA 00 10 00 00 19 00 00 00") + le32(uint32_t(i + 1)) + le16(uint16_t(i)) +
                                    hex("0A 00 0B 00 01 00") + QByteArray(1, char(i & 0xFF)) + hex("11 BA");
            if (f != want)
                QFAIL(qPrintable(QStringLiteral("frame %1: %2").arg(i).arg(QString::fromLatin1(f.toHex(' ')))));
        }
    }
    {
        // Empty stdin: identification only, clean end.
        FakeServer s;
        QProcess p;
        p.setStandardInputFile(QProcess::nullDevice());
        p.start(program(), base(s, "-i -w 0"));
        QVERIFY(p.waitForStarted(10000));
        QSignalSpy done(&p, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
        QVERIFY(done.wait(60000));
        QCOMPARE(p.exitCode(), 0);
        QCOMPARE(s.rx.value(0).size(), 56);
    }
}

void TestClient::printsFramesInBothForms()
{
    const QByteArray ax25 = hex("00 82 A0 A4 A6 40 40 60 9C 60 86 A6 40 40 61 03 F0");
    const QByteArray m1 = msg2App(0, 1, T0, 5, 7, 0x0010, 0x0001, 0x0002, hex("AA BB"));
    const QByteArray m2 = msg2App(1, 0, T0 + 1, 0xFFFFFFFFFFFFFFFFull, 0xFFFFFFFF, 0xFFFF, 0x1234, 0xABCD, {});
    const QByteArray m3 = msg2App(0, 1, T0, 6, 0, 0x0042, 0x0003, 0x0001, hex("01"), ax25);
    // Garbage before and between frames, a frame of a kind the client does not
    // take (FrameMsg2Sat), and a second state frame.
    const QByteArray stream = hex("00 11 22 5E") + m1 + hex("5E BA 01") + frame(0x1000, QByteArray(12, '\0')) +
                              m2 + srvState(0, 17) + m3 + msg2App(0, 1, T0, 9, 0, 1, 1, 1, {});
    const QStringList human = {
        QStringLiteral("server version=100 name=\"Corvid dedicated server\" time=2023-11-14T22:13:20.123Z"),
        QStringLiteral("state hw_state=2 hw_name=HW_READY hw_error=0"),
        QStringLiteral("msg id=0x0010 from=0x0001 to=0x0002 len=2 data=AABB dir=0 status=1 stamp=5 tag=7 "
                       "time=2023-11-14T22:13:20.123Z"),
        QStringLiteral("msg id=0xFFFF from=0x1234 to=0xABCD len=0 data= dir=1 status=0 "
                       "stamp=18446744073709551615 tag=4294967295 time=2023-11-14T22:13:20.124Z"),
        QStringLiteral("state hw_state=0 hw_name=HW_ERROR hw_error=17"),
        QStringLiteral("msg id=0x0042 from=0x0003 to=0x0001 len=1 data=01 dir=0 status=1 stamp=6 tag=0 "
                       "time=2023-11-14T22:13:20.123Z ax25=0082A0A4A6404060") +
            QStringLiteral("9C6086A640406103F0"),
    };
    const QStringList json = {
        QStringLiteral("{\"type\":\"server\",\"version\":100,\"name\":\"Corvid dedicated server\","
                       "\"time_ms\":1700000000123,\"time\":\"2023-11-14T22:13:20.123Z\"}"),
        QStringLiteral("{\"type\":\"state\",\"hw_state\":2,\"hw_name\":\"HW_READY\",\"hw_error\":0}"),
        QStringLiteral("{\"type\":\"msg\",\"id\":16,\"from\":1,\"to\":2,\"len\":2,\"data\":\"AABB\",\"dir\":0,"
                       "\"status\":1,\"stamp\":5,\"tag\":7,\"time_ms\":1700000000123,"
                       "\"time\":\"2023-11-14T22:13:20.123Z\"}"),
        QStringLiteral("{\"type\":\"msg\",\"id\":65535,\"from\":4660,\"to\":43981,\"len\":0,\"data\":\"\","
                       "\"dir\":1,\"status\":0,\"stamp\":18446744073709551615,\"tag\":4294967295,"
                       "\"time_ms\":1700000000124,\"time\":\"2023-11-14T22:13:20.124Z\"}"),
        QStringLiteral("{\"type\":\"state\",\"hw_state\":0,\"hw_name\":\"HW_ERROR\",\"hw_error\":17}"),
        QStringLiteral("{\"type\":\"msg\",\"id\":66,\"from\":3,\"to\":1,\"len\":1,\"data\":\"01\",\"dir\":0,"
                       "\"status\":1,\"stamp\":6,\"tag\":0,\"time_ms\":1700000000123,"
                       "\"time\":\"2023-11-14T22:13:20.123Z\",\"ax25\":\"0082A0A4A64040609C6086A640406103F0\"}"),
    };
    for (bool asJson : {false, true}) {
        // Delivered in one piece, then byte by byte: the same lines, and
        // nothing after the third message (--count 3).
        for (bool trickle : {false, true}) {
            FakeServer s;
            if (!trickle)
                s.afterAnswer = stream;
            QStringList args = base(s, "--count 3");
            if (asJson)
                args << QStringLiteral("--json");
            const Run r = runClient(args, {}, true, [&](QProcess &p) {
                if (!trickle)
                    return;
                QTRY_VERIFY_WITH_TIMEOUT(!s.conns.isEmpty() && s.rx[0].size() >= 56, 20000);
                for (char c : stream) {
                    if (p.state() == QProcess::NotRunning)
                        break;
                    s.conns[0]->write(&c, 1);
                    s.conns[0]->flush();
                    QTest::qWait(1);
                }
            });
            QCOMPARE(r.status, 0);
            QCOMPARE(r.outLines(), asJson ? json : human);
        }
    }
    {
        // A server name with bytes that need escaping stays on one line.
        FakeServer s;
        s.answer = false;
        const Run r = runClient(base(s, "-w 0"), {}, true,
                                [&s](QProcess &) {
                                    QTRY_COMPARE_WITH_TIMEOUT(s.rx.value(0).size(), 56, 20000);
                                    s.conns[0]->write(srvInfo(0, QByteArray("a\"b\\c\n%2\xff")));
                                });
        QCOMPARE(r.status, 0);
        QCOMPARE(r.outLines(),
                 QStringList(QStringLiteral(
                     "server version=100 name=\"a\\\"b\\\\c\\x0A%2\\xFF\" time=1970-01-01T00:00:00.000Z")));
    }
}

void TestClient::failuresGiveStatusAndMessage()
{
    {
        // Nothing listens on the port.
        uint16_t port;
        {
            QTcpServer probe;
            QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
            port = probe.serverPort();
        }
        const Run r = runClient({QStringLiteral("-p"), QString::number(port), QStringLiteral("--send"),
                                 QStringLiteral("1,2,3")});
        QCOMPARE(r.status, 1);
        QVERIFY2(r.err.startsWith("corvid-client: cannot connect to 127.0.0.1:" + QByteArray::number(port) +
                                  ": connection refused"),
                 r.err.constData());
        QVERIFY(r.out.isEmpty());
    }
    {
        // A server that takes the connection but never answers: nothing but
        // the identification goes out until the client gives up.
        FakeServer s;
        s.answer = false;
        const Run r = runClient(base(s, "--connect-timeout 300 --send 1,2,3,44"));
        QCOMPARE(r.status, 1);
        QVERIFY2(r.err.contains("no answer from 127.0.0.1:"), r.err.constData());
        QTRY_COMPARE(s.conns.value(0)->state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(s.rx.value(0).size(), 56);
    }
    {
        // The server drops the connection after answering.
        FakeServer s;
        s.closeAfterAnswer = true;
        const Run r = runClient(base(s));
        QCOMPARE(r.status, 1);
        QVERIFY2(r.err.contains("closed by the server"), r.err.constData());
        QCOMPARE(r.outLines().size(), 2);  // what arrived before the close is printed
    }
    {
        // The server drops the connection before answering.
        FakeServer s;
        s.answer = false;
        const Run r = runClient(base(s), {}, true, [&s](QProcess &) {
            QTRY_COMPARE_WITH_TIMEOUT(s.rx.value(0).size(), 56, 20000);
            s.conns[0]->abort();
        });
        QCOMPARE(r.status, 1);
        QVERIFY2(r.err.contains("before it answered the identification"), r.err.constData());
    }
    {
        // Time runs out before --count messages: status 4, what came is printed.
        FakeServer s;
        s.afterAnswer = msg2App(0, 1, T0, 1, 0, 1, 2, 3, {});
        const Run r = runClient(base(s, "--count 2 --timeout 1000"));
        QCOMPARE(r.status, 4);
        QCOMPARE(r.outLines().size(), 3);
        QVERIFY2(r.err.contains("1 of 2"), r.err.constData());
    }
}

void TestClient::helpAndUsage()
{
    const Run h = runClient({QStringLiteral("--help")});
    QCOMPARE(h.status, 0);
    for (const char *must : {"--host", "--port", "--name", "--observer", "--send", "--stdin", "--inject", "--json",
                             "--count", "--timeout", "--wait-ms", "Exit status", "msg id=0x0010 from=0x0001",
                             "state hw_state=", "server version=", "\"type\":\"msg\"", "recId", "line number"})
        QVERIFY2(h.out.contains(must), must);

    // A bad --send stops the client before it connects: nothing reaches the server.
    FakeServer s;
    for (const QStringList &bad :
         {words("--send 1,2,3,ABC"), words("--send 1,2,3,AA --send 0x1,2,70000"), words("--count -1"),
          words("--name xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx"), words("--bogus"), words("stray")}) {
        const Run r = runClient(base(s) + bad);
        QCOMPARE(r.status, 2);
        QVERIFY2(r.err.startsWith("corvid-client: "), r.err.constData());
    }
    const Run two = runClient(base(s, "--send 1,2,3,AA --send 0x1,2,70000"));
    QVERIFY2(two.err.contains("--send #2") && two.err.contains("to:"), two.err.constData());
    // The first connection the server sees is that of a good run after them.
    QCOMPARE(runClient(base(s, "-c 0")).status, 0);
    QCOMPARE(s.conns.size(), 1);
    QCOMPARE(s.rx.value(0).size(), 56);
}

void TestClient::messageTextParsing()
{
    client_message_t m;
    QString e;
    QVERIFY(client_parse_message(QStringLiteral(" 0X1f ,\t65535  0x0 aB cd "), &m, &e));
    QCOMPARE(m.msg_id, uint16_t(0x1F));
    QCOMPARE(m.address_from, uint16_t(65535));
    QCOMPARE(m.address_to, uint16_t(0));
    QCOMPARE(m.data, hex("AB CD"));
    for (const char *bad : {"", "1", "1 2", "-1 2 3", "+1 2 3", "0x 2 3", "1 2 3 A", "1 2 3 AA B", "1 2 65536",
                            "1 2 3 0xAA", "1.0 2 3", "\xd9\xa1 2 3"}) {
        client_message_t keep;
        keep.msg_id = 77;
        QVERIFY2(!client_parse_message(QString::fromUtf8(bad), &keep, &e), bad);
        QVERIFY(!e.isEmpty());
        QCOMPARE(keep.msg_id, uint16_t(77));  // untouched on failure
    }
    // The longest message that fits, and one byte more.
    const QString big = QStringLiteral("1 2 3 ") + QString(2 * 65535, QLatin1Char('F'));
    QVERIFY(client_parse_message(big, &m, &e));
    QCOMPARE(m.data.size(), 65535);
    QVERIFY(!client_parse_message(big + QStringLiteral("00"), &m, &e));
}

void TestClient::againstTheAcceptor()
{
    CorvidTCPserver acceptor(0);
    QVERIFY(acceptor.startServer());
    QList<corvid_message> toBus;
    QList<QByteArray> toBusData;
    connect(&acceptor, &CorvidTCPserver::signalCorvidToHW, this, [&](corvid_message m) {
        toBus.append(m);
        toBusData.append(QByteArray(reinterpret_cast<const char *>(m.data), m.length));
    });
    const QStringList port = {QStringLiteral("-p"), QString::number(acceptor.serverPort())};

    // An Observer watches while a Manager sends two messages and injects one.
    QProcess monitor;
    monitor.start(program(), port + words("--observer --name watcher --count 3 --timeout 30000"));
    QVERIFY(monitor.waitForStarted(10000));
    QTRY_COMPARE_WITH_TIMEOUT(acceptor.clientCount(), 1, 20000);
    QCOMPARE(acceptor.clientList().value(0).app_name, QStringLiteral("watcher"));
    QCOMPARE(acceptor.clientList().value(0).observer, uint8_t(1));

    const Run r = runClient(port + words("--send 0x10,1,2,AABB --stdin --count 2 --json"),
                            "0x11 1 2\n");
    QCOMPARE(r.status, 0);
    QCOMPARE(toBus.size(), 2);
    QCOMPARE(toBus[0].msg_id, uint16_t(0x10));
    QCOMPARE(toBusData[0], hex("AA BB"));
    QCOMPARE(toBus[1].msg_id, uint16_t(0x11));
    QCOMPARE(toBus[1].length, uint16_t(0));
    // Own echoes carry the recIds as tags; the server lines come first.
    const QStringList lines = r.outLines();
    QCOMPARE(lines.size(), 4);
    QVERIFY(lines[0].startsWith(QStringLiteral("{\"type\":\"server\",\"version\":100,"
                                               "\"name\":\"Corvid dedicated server\"")));
    QCOMPARE(lines[1], QStringLiteral("{\"type\":\"state\",\"hw_state\":0,\"hw_name\":\"HW_ERROR\","
                                      "\"hw_error\":0}"));
    QVERIFY2(lines[2].startsWith(QStringLiteral("{\"type\":\"msg\",\"id\":16,\"from\":1,\"to\":2,\"len\":2,"
                                                "\"data\":\"AABB\",\"dir\":1,\"status\":1,\"stamp\":1,"
                                                "\"tag\":1,")),
             qPrintable(lines[2]));
    QVERIFY2(lines[3].contains(QStringLiteral("\"id\":17,\"from\":1,\"to\":2,\"len\":0,\"data\":\"\","
                                              "\"dir\":1,\"status\":1,\"stamp\":2,\"tag\":2,")),
             qPrintable(lines[3]));

    // Injected by a Manager: goes to the bus and to the others, not back to it.
    const Run inj = runClient(port + words("--inject -s 0x0042,3,1,01 -w 300"));
    QCOMPARE(inj.status, 0);
    QCOMPARE(inj.outLines().size(), 2);  // server and state, no echo
    QCOMPARE(toBus.size(), 3);

    QSignalSpy done(&monitor, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
    QVERIFY(monitor.state() == QProcess::NotRunning || done.wait(30000));
    QCOMPARE(monitor.exitCode(), 0);
    QStringList mon = QString::fromUtf8(monitor.readAllStandardOutput()).split(QLatin1Char('\n'));
    mon.removeAll(QString());
    QCOMPARE(mon.size(), 5);
    QVERIFY2(mon[2].startsWith(QStringLiteral("msg id=0x0010 from=0x0001 to=0x0002 len=2 data=AABB dir=1 "
                                              "status=1 stamp=1 tag=0 time=")),
             qPrintable(mon[2]));
    QVERIFY2(mon[3].startsWith(QStringLiteral("msg id=0x0011 from=0x0001 to=0x0002 len=0 data= dir=1 status=1 "
                                              "stamp=2 tag=0 time=")),
             qPrintable(mon[3]));
    QVERIFY2(mon[4].startsWith(QStringLiteral("msg id=0x0042 from=0x0003 to=0x0001 len=1 data=01 dir=0 status=1 "
                                              "stamp=3 tag=1 time=")),
             qPrintable(mon[4]));
}

QTEST_GUILESS_MAIN(TestClient)
#include "tst_client.moc"
