// The metrics endpoint: request heads judged byte for byte, then the server program on the virtual CAN bus
// scraped by curl while the device simulator and control applications make traffic, its numbers checked
// against that traffic and by promtool, and bad requests that must cost the hub nothing.

#include "corvid_version.h"
#include "server/metrics_http.h"
#include "tests/common/server_run.h"
#include "tests/common/virtual_bus.h"
#include "tests/common/wire_client.h"

#include <QRegularExpression>
#include <QtTest>

namespace {

constexpr uint16_t kDevice = 0x25;

struct Scrape {
    int status = 0;
    QByteArray body;
    // "name{labels}" as written, to its value.
    QMap<QString, double> values() const
    {
        QMap<QString, double> out;
        for (const QByteArray &line : body.split('\n'))
            if (!line.isEmpty() && !line.startsWith('#'))
                out.insert(QString::fromUtf8(line.left(line.lastIndexOf(' '))),
                           line.mid(line.lastIndexOf(' ') + 1).toDouble());
        return out;
    }
};

// A real HTTP client: curl, with the method and path given.
Scrape curl(uint16_t port, const QString &path = QStringLiteral("/metrics"), const QString &method = QStringLiteral("GET"))
{
    ChildProcess p;
    p.start(QStringLiteral("curl"), {QStringLiteral("-sS"), QStringLiteral("--max-time"), QStringLiteral("10"),
                                      QStringLiteral("-X"), method, QStringLiteral("-w"), QStringLiteral("\n%{http_code}"),
                                      QStringLiteral("http://127.0.0.1:%1%2").arg(port).arg(path)});
    Scrape s;
    if (!p.waitForFinished(15000))
        return s;
    QByteArray out = p.readAllStandardOutput();
    const int cut = out.lastIndexOf('\n');
    s.status = out.mid(cut + 1).toInt();
    s.body = out.left(cut);
    return s;
}

// Raw bytes to the endpoint; what came back once the server closed (or `ms` passed).
struct RawRequest {
    QTcpSocket socket;
    QByteArray reply;
    bool closed = false;
    RawRequest(uint16_t port, const QByteArray &bytes)
    {
        QObject::connect(&socket, &QTcpSocket::readyRead, [this] { reply += socket.readAll(); });
        QObject::connect(&socket, &QTcpSocket::disconnected, [this] { closed = true; });
        socket.connectToHost(QHostAddress::LocalHost, port);
        socket.waitForConnected(5000);
        socket.write(bytes);
    }
    bool waitClosed(int ms = 15000) { return QTest::qWaitFor([this] { return closed; }, ms); }
};

}  // namespace

class TestMetrics : public QObject {
    Q_OBJECT
    VirtualBusHost m_bus;
    ServerRun m_srv;
    uint16_t m_port = freePort();
    uint16_t m_metricsPort = freePort();
    WireClient m_manager;
    Devsim m_device{kDevice, {QStringLiteral("--quiet")}};  // answers every message with an echo

    // A Manager's message to the device and the device's echo back: 1 up and 1 down of `n` bytes each.
    bool roundTrip(uint16_t id, int n)
    {
        const QByteArray data(n, char(id));
        const int before = m_manager.count(id, 0);
        m_manager.send(id, id, 1, kDevice, data);
        return QTest::qWaitFor([&] { return m_manager.count(id, 0) == before + 1; }, 10000);
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(m_bus.start(), qPrintable(m_bus.error()));
        QVERIFY(m_srv.configure(virtualCanParams(m_port) +
                                ConfigParams{{"MetricsPort", QString::number(m_metricsPort)}, {"MaxTCPClients", "2"}}));
        m_srv.start();
        QVERIFY2(m_srv.waitForErrorLog(QStringLiteral("Metrics served at http://127.0.0.1:%1/metrics").arg(m_metricsPort)),
                 qPrintable(m_srv.errorLog()));
        QVERIFY(m_srv.waitStarted(m_port));
        QVERIFY2(m_device.start(), m_device.output.constData());
    }

    void requestHeads_data()
    {
        QTest::addColumn<QByteArray>("head");
        QTest::addColumn<int>("status");
        QTest::newRow("scrape") << QByteArray("GET /metrics HTTP/1.1\r\nHost: a\r\nAccept: */*\r\n\r\n") << 200;
        QTest::newRow("1.0, LF, query") << QByteArray("\r\nGET /metrics?x=1 HTTP/1.0\n\n") << 200;
        QTest::newRow("absolute form") << QByteArray("GET http://a:9/metrics HTTP/1.1\r\nHost: a\r\n\r\n") << 200;
        QTest::newRow("not yet") << QByteArray("GET /metrics HTTP/1.1\r\nHost: a\r\n") << 0;
        QTest::newRow("other path") << QByteArray("GET /metrics/ HTTP/1.1\r\nHost: a\r\n\r\n") << 404;
        QTest::newRow("POST") << QByteArray("POST /metrics HTTP/1.1\r\nHost: a\r\n\r\n") << 405;
        QTest::newRow("lower-case get") << QByteArray("get /metrics HTTP/1.1\r\nHost: a\r\n\r\n") << 405;
        QTest::newRow("no Host") << QByteArray("GET /metrics HTTP/1.1\r\n\r\n") << 400;
        QTest::newRow("two Hosts") << QByteArray("GET /metrics HTTP/1.0\r\nHost: a\r\nhost: b\r\n\r\n") << 400;
        QTest::newRow("folded header") << QByteArray("GET /metrics HTTP/1.1\r\nHost: a\r\n b\r\n\r\n") << 400;
        QTest::newRow("blank before colon") << QByteArray("GET /metrics HTTP/1.1\r\nHost : a\r\n\r\n") << 400;
        QTest::newRow("control in value") << QByteArray("GET /metrics HTTP/1.1\r\nHost: a\x01\r\n\r\n") << 400;
        QTest::newRow("two blanks") << QByteArray("GET  /metrics HTTP/1.1\r\n") << 400;
        QTest::newRow("relative target") << QByteArray("GET metrics HTTP/1.1\r\n") << 400;
        QTest::newRow("HTTP/2.0") << QByteArray("GET /metrics HTTP/2.0\r\n") << 505;
        QTest::newRow("too long") << QByteArray("GET /metrics HTTP/1.1\r\nX: " + QByteArray(100, 'x')) << 431;
    }
    void requestHeads()
    {
        QFETCH(QByteArray, head);
        QTEST(corvid_http_request_status(head, 64, "/metrics"), "status");
    }

    void scrapeDuringTraffic()
    {
        QVERIFY(m_manager.open(m_port) && m_manager.identify("m", 0));
        WireClient observer(m_port);
        QVERIFY(observer.identify("o", 1));
        // A device streams 300 messages of 20 bytes to the server while the Manager makes 50 round trips.
        Devsim sim(kDevice + 1, {QStringLiteral("--rate"), QStringLiteral("1000"), QStringLiteral("--count"),
                                 QStringLiteral("300"), QStringLiteral("--length"), QStringLiteral("20"),
                                 QStringLiteral("--quiet"), QStringLiteral("--no-echo")});
        QVERIFY2(sim.start(), sim.output.constData());
        double seen = 0;
        for (int i = 0; i < 50; ++i) {
            QVERIFY(roundTrip(uint16_t(0x100 + i), 10));
            observer.send(1, 0x300, 1, kDevice, "observed");  // goes nowhere
            if (i % 10 == 0) {
                const Scrape s = curl(m_metricsPort);
                QCOMPARE(s.status, 200);
                const double down = s.values().value("corvid_messages_total{direction=\"down\",status=\"ok\"}");
                QVERIFY(down >= seen);
                seen = down;
            }
        }
        WireClient third(m_port);  // past MaxTCPClients
        third.write(wire_ref::appInfo("third", 0));
        QVERIFY(QTest::qWaitFor([&] { return third.closed; }, 10000));
        QVERIFY(QTest::qWaitFor([&] { return (sim.output += sim.proc.readAll()).contains("stream done, 300 sent, 0 failed"); },
                                20000));

        Scrape s;
        const QMap<QString, double> expected{
            {"corvid_messages_total{direction=\"down\",status=\"ok\"}", 350},
            {"corvid_messages_total{direction=\"down\",status=\"failed\"}", 0},
            {"corvid_messages_total{direction=\"up\",status=\"ok\"}", 50},
            {"corvid_messages_total{direction=\"up\",status=\"failed\"}", 0},
            {"corvid_message_data_bytes_total{direction=\"down\",status=\"ok\"}", 300 * 20 + 50 * 10},
            {"corvid_message_data_bytes_total{direction=\"up\",status=\"ok\"}", 50 * 10},
            {"corvid_message_log_lines_total", 400},
            {"corvid_link_state{state=\"ready\"}", 1},
            {"corvid_link_state{state=\"not_init\"}", 0},
            {"corvid_link_state{state=\"error\"}", 0},
            {"corvid_clients{role=\"manager\"}", 1},
            {"corvid_clients{role=\"observer\"}", 1},
            {"corvid_clients_cut_off_total{reason=\"limit\"}", 1},
            {"corvid_clients_cut_off_total{reason=\"slow_reader\"}", 0},
            {"corvid_telnet_terminals", 0},
        };
        auto matches = [&] {
            s = curl(m_metricsPort);
            const auto got = s.values();
            for (auto it = expected.cbegin(); it != expected.cend(); ++it)
                if (got.value(it.key(), -1) != it.value())
                    return false;
            return true;
        };
        QVERIFY2(QTest::qWaitFor(matches, 10000), s.body.constData());
        QVERIFY(s.body.contains("\ncorvid_build_info{version=\"" CORVID_VERSION "\",server_version=\"143\","));
        QVERIFY(s.values().value("process_start_time_seconds") > 1.5e9);

        // Every entry of the error log counted: the file and the number agree while nothing new is said.
        const QRegularExpression entry(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d: "), QRegularExpression::MultilineOption);
        double inFile = 0, counted = -1;
        QVERIFY(QTest::qWaitFor([&] {
            const double before = double(m_srv.errorLog().count(entry));
            counted = curl(m_metricsPort).values().value("corvid_error_log_lines_written_total");
            inFile = double(m_srv.errorLog().count(entry));
            return before == inFile && counted == inFile;
        }, 10000));
        QCOMPARE(counted, inFile);

        // The format as Prometheus itself checks it: nothing to say.
        ChildProcess promtool;
        promtool.setProcessChannelMode(QProcess::MergedChannels);
        promtool.start(QStringLiteral("promtool"), {QStringLiteral("check"), QStringLiteral("metrics")});
        QVERIFY2(promtool.waitForStarted(5000), "promtool (Debian package prometheus) is missing");
        promtool.write(s.body);
        promtool.closeWriteChannel();
        QVERIFY(promtool.waitForFinished(30000));
        const QByteArray said = promtool.readAll();
        QVERIFY2(said.isEmpty() && promtool.exitCode() == 0, said.constData());
    }

    void badRequestsCostTheHubNothing()
    {
        QVERIFY(m_manager.socket.state() == QAbstractSocket::ConnectedState);
        const QMap<QString, double> before = curl(m_metricsPort).values();
        QCOMPARE(curl(m_metricsPort, QStringLiteral("/")).status, 404);
        QCOMPARE(curl(m_metricsPort, QStringLiteral("/metrics"), QStringLiteral("DELETE")).status, 405);

        // Requests that never end and a flood of connections: the endpoint holds a bounded number, each for
        // a bounded time, and the hub goes on exchanging messages meanwhile.
        std::vector<std::unique_ptr<RawRequest>> held;
        held.emplace_back(new RawRequest(m_metricsPort, "GET /metr"));
        held.emplace_back(new RawRequest(m_metricsPort, "GET /metrics HTTP/1.1\r\nX: " + QByteArray(20000, 'x')));
        held.emplace_back(new RawRequest(m_metricsPort, "GET /metrics HTTP/3.0\r\n"));
        held.emplace_back(new RawRequest(m_metricsPort, "GET /metrics HTTP/1.0\r\n\r\nGET /metrics HTTP/1.0\r\n\r\n"));
        for (int i = 0; i < 20; ++i)
            held.emplace_back(new RawRequest(m_metricsPort, QByteArray()));
        for (int i = 0; i < 20; ++i)
            QVERIFY(roundTrip(uint16_t(0x200 + i), 100));
        for (auto &r : held)
            QVERIFY(r->waitClosed());
        QVERIFY2(held[0]->reply.startsWith("HTTP/1.1 408 "), held[0]->reply.constData());
        QVERIFY2(held[1]->reply.startsWith("HTTP/1.1 431 "), held[1]->reply.constData());
        QVERIFY2(held[2]->reply.startsWith("HTTP/1.1 505 "), held[2]->reply.constData());
        // One request per connection.
        QCOMPARE(held[3]->reply.count("HTTP/1.1 200 OK"), 1);
        // At most 16 held at once: the one that never ends and at most 15 of the silent ones wait for their 408.
        int refused = 0;
        for (size_t i = 4; i < held.size(); ++i) {
            refused += held[i]->reply.isEmpty() ? 1 : 0;
            QVERIFY(held[i]->reply.isEmpty() || held[i]->reply.startsWith("HTTP/1.1 408 "));
        }
        QVERIFY2(refused >= 5, qPrintable(QString::number(refused)));

        // Nothing counted for them; the round trips counted as ever.
        const QMap<QString, double> after = curl(m_metricsPort).values();
        const QString up = QStringLiteral("corvid_messages_total{direction=\"up\",status=\"ok\"}");
        QCOMPARE(after.value(up), before.value(up) + 20);
        QCOMPARE(after.value("corvid_clients{role=\"manager\"}"), 1.0);
    }
};

QTEST_GUILESS_MAIN(TestMetrics)
#include "tst_metrics.moc"
