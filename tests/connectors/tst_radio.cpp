// The radio link: AX.25, KISS and AGWPE bytes against hand-written layouts, modem stand-ins on the loopback,
// SiDS posts to a local HTTP endpoint, the frame logs, live settings and a Dire Wolf pair.

#include "app/InterfaceSelection.h"
#include "config/CorvidConfigData.h"
#include "connectors/AGWPE_connector.h"
#include "connectors/KISS_connector.h"
#include "connectors/ax25_frame.h"
#include "connectors/kiss_codec.h"
#include "engine/CorvidEngine.h"
#include "server/CorvidServer.h"
#include "tests/common/direwolf_pair.h"
#include "tests/common/diagnostic_capture.h"
#include "tests/common/server_run.h"
#include "tests/common/wire_client.h"

#include <QUrlQuery>
#include <QtTest>
#include <memory>

namespace {

using wire_ref::hex;

// Q9ZZZ ground SSID 0 -> Q9ZZZ board SSID 1, written out from the layout.
const QByteArray kHeader = hex("00 A2 72 B4 B4 B4 40 62 A2 72 B4 B4 B4 40 61 00 F0");

// A packet modem stand-in: accepts one connection at a time and keeps its bytes.
class ModemStandIn : public QTcpServer {
public:
    QTcpSocket *peer = nullptr;
    QByteArray received;
    ModemStandIn()
    {
        listen(QHostAddress::LocalHost, 0);
        connect(this, &QTcpServer::newConnection, this, [this] {
            peer = nextPendingConnection();
            connect(peer, &QTcpSocket::readyRead, this, [this] { received += peer->readAll(); });
        });
    }
    bool waitBytes(int n) { return QTest::qWaitFor([&] { return received.size() >= n; }, 5000); }
    void send(const QByteArray &bytes) { peer->write(bytes); }
    // (Re)connects the radio and waits until it is ready.
    bool link(AbstractConnector &radio, bool init)
    {
        peer = nullptr;
        received.clear();
        if (init)
            radio.HW_init();
        return QTest::qWaitFor([this] { return peer != nullptr; }, 5000) &&
               QTest::qWaitFor([&] { return radio.state == AbstractConnector::HW_READY; }, 5000);
    }
};

// Collects what radio connectors hand to the hub: AX.25 header, message header, data.
struct Delivered : QObject {
    QVector<QByteArray> frames;
    void listen(AbstractConnector &radio)
    {
        connect(&radio, &AbstractConnector::messageReceived, this, [this](corvid_owned_message m, AX25HeaderOpt h) {
            frames << (h ? ax25_header_bytes(*h) : QByteArray("(no header)")) + ax25_message_payload(m.record());
        });
    }
};

// An HTTP endpoint: records each request and answers with `status`.
class HttpEndpoint : public QTcpServer {
public:
    QVector<QByteArray> requests;  // head and body, once whole
    int status = 200;
    HttpEndpoint()
    {
        listen(QHostAddress::LocalHost, 0);
        connect(this, &QTcpServer::newConnection, this, [this] {
            QTcpSocket *s = nextPendingConnection();
            connect(s, &QTcpSocket::readyRead, s, [this, s] {
                const QByteArray in = s->property("in").toByteArray() + s->readAll();
                s->setProperty("in", in);
                const int end = in.indexOf("\r\n\r\n"), at = in.toLower().indexOf("content-length:");
                if (end < 0 || at < 0 || in.size() < end + 4 + in.mid(at + 15, 8).split('\r')[0].trimmed().toInt())
                    return;
                requests << in;
                s->write("HTTP/1.1 " + QByteArray::number(status) + " X\r\nContent-Length: 0\r\n\r\n");
                s->disconnectFromHost();
            });
        });
    }
    QString url() const { return QStringLiteral("http://127.0.0.1:%1/sids").arg(serverPort()); }
};

// KISS frames of a file, deframed from the byte layout alone: FEND delimits, FESC TFEND is C0, FESC TFESC is DB.
QVector<QByteArray> readKissFile(const QString &path)
{
    QFile file(path);
    QVector<QByteArray> frames;
    for (const QByteArray &raw : (file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray()).split(char(0xC0))) {
        QByteArray f;
        for (int i = 0; i < raw.size(); ++i)
            f += (uint8_t(raw[i]) == 0xDB && i + 1 < raw.size()) ? (uint8_t(raw[++i]) == 0xDC ? char(0xC0) : char(0xDB))
                                                                  : raw[i];
        if (!f.isEmpty())
            frames << f;
    }
    return frames;
}

// A received frame from `callsign` carrying one message 0x0102 from 3 to 4.
QByteArray frameFrom(const QByteArray &callsign, const QByteArray &data)
{
    const QByteArray msg = hex("02 01 03 00 04 00") + char(data.size()) + char(0) + data;
    return ax25_header_bytes(ax25_build_header(callsign, "Q9ZZZ", 0, 1)) + msg;
}

QByteArray kissOf(const QByteArray &frame) { return kiss_frame(uint8_t(frame[0]), frame.mid(1)); }

// An AGWPE frame: port, kind, 23 bytes, data length, 4 bytes, data.
QByteArray agw(char kind, const QByteArray &payload, uint32_t n)
{
    return QByteArray(4, '\0') + kind + QByteArray(23, '\0') + wire_ref::le32(n) + QByteArray(4, '\0') + payload;
}

// A packet modem program that takes connections and never reads from them.
class DeafModem : public QTcpServer {
public:
    int connections = 0;
    QTcpSocket *peer = nullptr;
    DeafModem()
    {
        listen(QHostAddress::LocalHost, 0);
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *s = nextPendingConnection()) {
                s->setReadBufferSize(1);
                peer = s;
                ++connections;
            }
        });
    }
};

}  // namespace

class TestRadio : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { corvid_register_metatypes(); }
    void ax25Bytes();
    void kissStreamCutAnywhere();
    void agwpeLink();
    void kissLinkAndTelemetry();
    void liveSettings();
    void modemThatNeverReads_data();
    void modemThatNeverReads();
    void throughDireWolf();
};

void TestRadio::ax25Bytes()
{
    // Long callsigns are cut; an SSID keeps its low four bits.
    AX25Header h;
    AX25_interface::buildHeader(&h, "N0CALL7", "Q9ZZZ", 17, 1);
    QCOMPARE(ax25_header_bytes(h).toHex(' '), hex("00 A2 72 B4 B4 B4 40 62 9C 60 86 82 98 40 63 00 F0").toHex(' '));

    auto cut = [](const QByteArray &packet) {
        const ax25_packet p = ax25_cut_packet(packet);
        QVector<QByteArray> out{ax25_header_bytes(p.header)};
        for (const corvid_message &m : p.messages)
            out << ax25_message_payload(m);
        return out;
    };
    const QByteArray m3 = hex("10 00 01 00 02 00 03 00 C0 DB 07"), m0 = hex("11 00 01 00 02 00 00 00");
    // Whole messages only: bytes over and a length past the end are dropped.
    QCOMPARE(cut(kHeader + m3 + m0 + hex("01 02 03")), (QVector<QByteArray>{kHeader, m3, m0}));
    QCOMPARE(cut(kHeader + hex("10 00 01 00 02 00 09 00 AA")), QVector<QByteArray>{kHeader});
    // No whole header: nothing delivered, the missing bytes read as zero.
    QCOMPARE(cut(kHeader.left(10)), QVector<QByteArray>{kHeader.left(10) + QByteArray(7, '\0')});
}

void TestRadio::kissStreamCutAnywhere()
{
    // Noise, a frame with escapes, an empty frame, a command frame (skipped), a data frame for port 1.
    const QByteArray stream = hex("55 C0 00 01 DB DC DB DD 02 C0 C0 C0 01 32 C0 C0 10 AA C0");
    const QVector<QByteArray> expected{hex("00 01 C0 DB 02"), hex("10 AA")};
    for (int cut1 = 0; cut1 <= stream.size(); ++cut1) {
        for (int cut2 = cut1; cut2 <= stream.size(); ++cut2) {
            KissDeframer d(64);
            QVector<QByteArray> got = d.feed(stream.left(cut1));
            got += d.feed(stream.mid(cut1, cut2 - cut1));
            got += d.feed(stream.mid(cut2));
            QVERIFY2(got == expected, qPrintable(QStringLiteral("cut at %1 and %2").arg(cut1).arg(cut2)));
        }
    }
    // Too long a frame is dropped; the next one after FEND arrives.
    KissDeframer d(8);
    QCOMPARE(d.feed(hex("C0 00 01 02 03 04 05 06 07 08 09 0A 0B C0 00 01 C0")), QVector<QByteArray>{hex("00 01")});
}

void TestRadio::agwpeLink()
{
    ModemStandIn modem;
    Delivered delivered;
    DiagnosticCapture diag(true);
    AGWPE_connector radio(QStringLiteral("127.0.0.1"), modem.serverPort(), "Q9ZZZ", "Q9ZZZ", 0, 1);
    delivered.listen(radio);
    QVERIFY(modem.link(radio, false));
    QVERIFY(modem.waitBytes(36));
    QCOMPARE(modem.received, hex("00 00 00 00 6B") + QByteArray(31, '\0'));
    modem.received.clear();
    const QByteArray data = hex("AA BB");
    corvid_message m = corvid_message_over(0x0102, 3, 4, data);
    QCOMPARE(radio.sendCorvidMessage(&m), int64_t(2));
    QVERIFY(modem.waitBytes(36 + 27));
    const QByteArray calls = QByteArray("Q9ZZZ-0").leftJustified(10, '\0') + QByteArray("Q9ZZZ-1").leftJustified(10, '\0');
    const QByteArray expected = hex("00 00 00 00 4B 00 00 00") + calls + hex("1B 00 00 00 00 00 00 00") + kHeader +
                                hex("02 01 03 00 04 00 02 00 AA BB");
    QCOMPARE(modem.received.toHex(' '), expected.toHex(' '));

    const QByteArray frame = frameFrom("SAT1", "hi");
    const QByteArray k = agw('K', frame, frame.size());
    modem.send(agw('T', "12345", 5) + k);  // other kinds are read and dropped
    QTRY_COMPARE(delivered.frames.size(), 1);
    modem.send(k.left(36));
    QTest::qWait(50);
    modem.send(k.mid(36));
    QTRY_COMPARE(delivered.frames.size(), 2);
    QCOMPARE(delivered.frames[1], frame);

    // A frame cut off by a lost connection does not eat the next stream's start.
    modem.send(k.left(40));
    QTRY_VERIFY(qobject_cast<AGWPE *>(radio.transport())->awaitingData());
    modem.peer->close();
    QTRY_COMPARE(int(radio.state), int(AbstractConnector::HW_ERROR));
    QVERIFY(modem.link(radio, true));
    modem.send(k);
    QTRY_COMPARE(delivered.frames.size(), 3);
    QCOMPARE(delivered.frames[2], frame);

    // A length no radio frame can have: the stream is broken, the link dropped.
    modem.send(agw('K', {}, 0x100000));
    QTRY_COMPARE(int(radio.state), int(AbstractConnector::HW_ERROR));
    QCOMPARE(diag.texts(QtCriticalMsg, QStringLiteral("AGWPE: frame data length 1048576 exceeds")).size(), 1);
    QCOMPARE(delivered.frames.size(), 3);
}

void TestRadio::kissLinkAndTelemetry()
{
    HttpEndpoint main, reserve, failing;
    failing.status = 500;
    const QString refused = QStringLiteral("http://127.0.0.1:%1/").arg(freePort());
    QTemporaryDir dir;
    ModemStandIn modem;
    Delivered delivered;
    DiagnosticCapture diag(true);
    const QMap<QString, QString> params{{"SiDS_CallSign", "GS+1 &"},  {"SiDS_latitude", "+52.5"},
                                        {"SiDS_longitude", "-13.25"}, {"SiDS_SatCallSign1", "SAT1"},
                                        {"SiDS_NORAD_id1", "43770"},  {"SiDS_SatCallSign0", "SAT0"},
                                        {"SiDS_NORAD_id0", "11111"},  {"SiDS_URL_main", main.url()},
                                        {"SiDS_URL_reserve", reserve.url()}};
    auto radioWith = [&](const QString &logs, const QMap<QString, QString> &p) {
        auto r = std::make_unique<KISS_connector>(QStringLiteral("127.0.0.1"), modem.serverPort(), "Q9ZZZ", "Q9ZZZ", 0, 1);
        r->frameLogPrefix = dir.filePath(logs);
        r->setupTelemetry(p);
        delivered.listen(*r);
        return modem.link(*r, false) ? std::move(r) : nullptr;
    };
    auto radio = radioWith(QStringLiteral("logs/"), params);
    QVERIFY(radio);

    const QByteArray fromSat = frameFrom("SAT1", hex("C0 DB 00")), fromOther = frameFrom("OTHER", "x");
    const QDateTime before = QDateTime::currentDateTimeUtc();
    modem.send(kissOf(fromSat) + kissOf(fromOther));
    QTRY_COMPARE(main.requests.size() + reserve.requests.size(), 2);
    QCOMPARE(delivered.frames.size(), 2);
    QCOMPARE(delivered.frames[1], fromOther);
    for (const QByteArray &r : {main.requests[0], reserve.requests[0]}) {
        const QByteArray body = r.mid(r.indexOf("\r\n\r\n") + 4);
        QVERIFY(r.startsWith("POST /sids?" + body + " HTTP/1.1\r\n"));
        QVERIFY(r.contains("\r\nContent-Type: application/x-www-form-urlencoded\r\n"));
        const auto fields = QUrlQuery(QString::fromLatin1(body)).queryItems(QUrl::FullyDecoded);
        const QString time = fields.value(6).second;
        QCOMPARE(fields, (QList<QPair<QString, QString>>{
                             {"noradID", "43770"}, {"source", "GS+1 &"}, {"locator", "longLat"}, {"longitude", "-13.25"},
                             {"latitude", "+52.5"}, {"version", "1.6.6"}, {"timestamp", time},
                             {"frame", QString::fromLatin1(fromSat.toHex().toUpper())}}));
        const QDateTime t = QDateTime::fromString(time, Qt::ISODateWithMs);
        QVERIFY2(t.timeSpec() == Qt::UTC && t >= before.addMSecs(-1) && time.contains('.'), qPrintable(time));
    }

    // The logs: both packets, in order; the KSS file read back independently.
    const QString logs = dir.filePath(QStringLiteral("logs/"));
    const QStringList files = QDir(logs).entryList(QDir::Files, QDir::Name);
    QVERIFY(files.size() == 2 && files[0].endsWith(".kss") && files[1].endsWith(".satnogs.csv"));
    const QVector<QByteArray> kss = readKissFile(logs + files[0]);
    QCOMPARE(kss.size(), 4);
    QCOMPARE(kss[1], QByteArray(1, '\0').append(fromSat));
    QCOMPARE(kss[3], QByteArray(1, '\0').append(fromOther));
    QVERIFY(QDateTime::fromString(QString::fromUtf8(kss[2].mid(1)), "yyyy-MM-dd hh:mm:ss.zzz 'UTC'").isValid());

    // Sent data is escaped on the wire; the modem goes away and comes back.
    const QByteArray data = hex("C0 DB");
    corvid_message m = corvid_message_over(0x0102, 3, 4, data);
    const QByteArray wire = hex("C0") + kHeader + hex("02 01 03 00 04 00 02 00 DB DC DB DD C0");
    QCOMPARE(radio->sendCorvidMessage(&m), int64_t(2));
    QVERIFY(modem.waitBytes(wire.size()));
    QCOMPARE(modem.received.toHex(' '), wire.toHex(' '));
    modem.peer->close();
    QTRY_COMPARE(int(radio->state), int(AbstractConnector::HW_ERROR));
    QCOMPARE(radio->sendCorvidMessage(&m), int64_t(-1));
    QVERIFY(modem.link(*radio, true));
    QVERIFY(radio->sendCorvidMessage(&m) == 2 && modem.waitBytes(wire.size()) && modem.received == wire);

    // A failing endpoint is said once, with the reason, and once more when it
    // answers again, with the posts lost in between; the radio path goes on.
    for (const QString &url : {failing.url(), refused}) {
        QMap<QString, QString> p = params;
        p[QStringLiteral("SiDS_URL_main")] = url;
        p.remove(QStringLiteral("SiDS_URL_reserve"));
        auto other = radioWith(QStringLiteral("logs2/"), p);
        QVERIFY(other);
        diag.clear();
        for (int status : {500, 200}) {
            failing.status = status;
            const int n = delivered.frames.size(), times = status == 500 ? 5 : 1;
            modem.send(kissOf(fromSat).repeated(times));
            QTRY_COMPARE(delivered.frames.size(), n + times);
            QTRY_COMPARE(other->postsInFlight(), 0);
        }
        const QString fails = QStringLiteral("networkManager.post rised error with code: %1; telemetry endpoint %2 "
                                             "fails, its posts are lost until it answers again");
        const QStringList said = url == refused
                                     ? QStringList{fails.arg("ConnectionRefusedError", url)}
                                     : QStringList{fails.arg("InternalServerError (HTTP 500)", url),
                                                   "Telemetry endpoint " + url + " answers again; 5 posts were lost"};
        QCOMPARE(diag.texts().filter(QRegularExpression(QStringLiteral("rised error|answers again"))), said);
    }
    QCOMPARE(failing.requests.size(), 6);
}

void TestRadio::liveSettings()
{
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("server_config.xml"));
    // Through the hub: each setting reaches the next frame.
    ModemStandIn modem, second;
    QVERIFY(writeConfig(file, {{"Interface", "KISSTCP"}, {"KISSTCP_Port", QString::number(modem.serverPort())},
                       {"SSID_BRD", "9"}, {"CALLSIGN_GND", "ABCDEF"}}));
    CorvidConfigData config(file);
    CorvidEngine engine;
    CorvidServer hub(createConnector(&config, engine, false), &config, 0, nullptr);
    hub.setConnectorFactory([&](bool gui) { return createConnector(&config, engine, gui); });
    QByteArray data("z");
    corvid_message m = corvid_message_over(1, 2, 3, data);
    auto nextHeader = [&](ModemStandIn &to) {
        if (!to.link(*hub.connector(), false) || hub.connector()->sendCorvidMessage(&m) != 1 || !to.waitBytes(28))
            return QByteArray();
        return to.received.mid(1, 17);
    };
    // The configured SSIDs hold from the start, so a rebuilt link keeps them.
    QCOMPARE(nextHeader(modem).toHex(' '), hex("00 A2 72 B4 B4 B4 40 72 82 84 86 88 8A 40 61 00 F0").toHex(' '));
    const QByteArray last = hex("00 B0 B2 40 40 40 40 6A A2 72 B4 B4 B4 40 67 00 F0");
    for (const auto &r : QList<QPair<QStringList, QByteArray>>{
             {{"SSID_BRD", "5"}, hex("00 A2 72 B4 B4 B4 40 6A 82 84 86 88 8A 40 61 00 F0")},
             {{"ssid_gnd", "3"}, hex("00 A2 72 B4 B4 B4 40 6A 82 84 86 88 8A 40 67 00 F0")},
             {{"CALLSIGN_BRD", "XY"}, hex("00 B0 B2 40 40 40 40 6A 82 84 86 88 8A 40 67 00 F0")},
             {{"Callsign_Gnd", "Q9ZZZ"}, last}}) {
        hub.slotParamChanged(r.first[0], r.first[1]);
        QCOMPARE(nextHeader(modem).toHex(' '), r.second.toHex(' '));
    }
    hub.slotParamChanged(QStringLiteral("KISSTCP_Port"), QString::number(second.serverPort()));
    QCOMPARE(nextHeader(second).toHex(' '), last.toHex(' '));
}

void TestRadio::modemThatNeverReads_data()
{
    QTest::addColumn<QString>("link");
    QTest::newRow("KISS") << QStringLiteral("KISSTCP");
    QTest::newRow("AGWPE") << QStringLiteral("AGWPE");
}

// Names from the air reach neither file names nor the error log unchecked; the
// server buffers at most a bounded backlog for a modem that stops reading, then
// drops it and builds the link again; what it refuses meanwhile is logged ERR.
void TestRadio::modemThatNeverReads()
{
    QFETCH(QString, link);
    DeafModem modem;
    ServerRun srv;
    const uint16_t tcp = freePort();
    const QString modemPort = QString::number(modem.serverPort());
    QVERIFY(srv.configure(headlessParams(tcp, link) + ConfigParams{{link + "_Port", modemPort}, {"NumLogThreads", "0"}}));
    srv.start(ServerRun::withoutQuarantine());
    QVERIFY(srv.waitStarted(tcp));
    WireClient manager;
    QVERIFY(manager.open(tcp) && manager.identify("manager", 0));
    QTRY_VERIFY_WITH_TIMEOUT(manager.states().contains(2u), 10000);
    for (const QByteArray &call : {QByteArray("AB/CD"), QByteArray("../x"), QByteArray("A\nB\x7f")}) {
        const QByteArray frame = frameFrom(call, "hi");
        modem.peer->write(link == QLatin1String("AGWPE") ? agw('K', frame, frame.size()) : kissOf(frame));
    }
    QTRY_COMPARE_WITH_TIMEOUT(srv.csvLines().filter(";I;3;4; 102;2;;6869").size(), 3, 10000);
    const QRegularExpression safe(QStringLiteral("/HistoryLogServer(_[A-Za-z0-9_-]+_)?[\\d_T-]+\\.csv$"));
    for (const QString &f : srv.filesIn(srv.csvDir, QStringLiteral("*.csv")))
        QVERIFY2(f.contains(safe), qPrintable(f));
    QVERIFY(srv.errorLog().contains(QStringLiteral("Callsign changed: A\\x0aB\\x7f\n")));
    const qint64 before = srv.rss();
    // Messages until the server gives the modem up, paced by their echoes so
    // that the manager itself keeps up.
    const QByteArray data(64000, 'm');
    int sent = 0;
    while (!manager.states().contains(0u) && sent < 600) {
        const int echoes = manager.frames.size();
        manager.send(uint32_t(sent++), 0x0101, 1, 2, data);
        QVERIFY(QTest::qWaitFor([&] { return manager.frames.size() > echoes; }, 10000));
    }
    QVERIFY(srv.waitForErrorLog(QStringLiteral("does not read: more than 8388608 bytes wait to be sent")));
    // Built again as after a lost modem, and nothing of the flood is held.
    QTRY_VERIFY_WITH_TIMEOUT(manager.states().last() == 2u && modem.connections >= 2, 10000);
    const qint64 grown = srv.rss() - before;
    QVERIFY2(grown < 10 * 1024 * 1024, qPrintable(QString::number(grown)));
    QCOMPARE(srv.stop(), 0);
    const QStringList lines = srv.csvLines();
    const int ok = lines.filter(";O;1;2; 101;64000;OK;").size(), err = lines.filter(";O;1;2; 101;64000;ERR;").size();
    QVERIFY2(ok > 0 && err > 0 && ok + err == sent, qPrintable(QStringLiteral("%1 OK, %2 ERR").arg(ok).arg(err)));
}

void TestRadio::throughDireWolf()
{
    QVERIFY2(QFile::exists(builtProgram(QStringLiteral("app/corvid-server"))), "corvid-server is not built");
    DirewolfPair dw;
    dw.realTime = true;  // no core spinning on unpaced audio
    if (!dw.start())
        QSKIP(qPrintable(QStringLiteral("Dire Wolf cannot run here: ") + dw.why()));

    // Control application -> server on KISS -> A -> audio -> B -> server on AGWPE -> control application.
    ServerRun kissSide, agwSide;
    const uint16_t kissTcp = freePort(), agwTcp = freePort();
    auto config = [](uint16_t tcp, const ConfigParams &link) {
        return link + ConfigParams{{"DisableGUI", "1"}, {"TcpPort", QString::number(tcp)}, {"NumLogThreads", "0"},
                             {"ErrorLogFile", "server_logs/error_log"}, {"CorvidLogFile", "server_logs/corvid_log"}};
    };
    QVERIFY(kissSide.configure(config(kissTcp, {{"Interface", "KISSTCP"}, {"KISSTCP_Port", QString::number(dw.a.kissPort)},
                                 {"CALLSIGN_GND", "GND1"}, {"SSID_GND", "7"}})));
    QVERIFY(agwSide.configure(config(agwTcp, {{"Interface", "AGWPE"}, {"AGWPE_Port", QString::number(dw.b.agwPort)}})));
    kissSide.start();
    agwSide.start();
    QVERIFY(kissSide.waitStarted(kissTcp) && agwSide.waitStarted(agwTcp));
    WireClient sender, receiver;
    QVERIFY(sender.open(kissTcp) && sender.identify("sender", false));
    QVERIFY(receiver.open(agwTcp) && receiver.identify("receiver", true));
    QVERIFY(QTest::qWaitFor([&] { return sender.states().contains(2u) && receiver.states().contains(2u); }, 10000));

    QByteArray data(120, '\0');
    for (int i = 0; i < data.size(); ++i)
        data[i] = char(0xC0 + i * 7);
    sender.send(1, 0x0123, 0x01, 0x20, data);
    QVERIFY(QTest::qWaitFor([&] { return !receiver.messages().isEmpty(); }, 20000));
    const WireMessage got = receiver.messages().first();
    QCOMPARE(QStringLiteral("%1 %2->%3").arg(got.id, 0, 16).arg(got.from).arg(got.to), QStringLiteral("123 1->32"));
    QCOMPARE(got.data, data);
    QCOMPARE(got.ax25.toHex(' '), hex("00 A2 72 B4 B4 B4 40 62 8E 9C 88 62 40 40 6F 00 F0").toHex(' '));
    QCOMPARE(agwSide.stop(), 0);
}

QTEST_GUILESS_MAIN(TestRadio)
#include "tst_radio.moc"
