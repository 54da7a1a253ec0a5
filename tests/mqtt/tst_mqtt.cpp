// The MQTT bridge end to end: server programs on the virtual CAN bus with the device simulator, real mosquitto
// brokers (two stations bridged to a central one, as examples/mqtt sets them up), control applications on the
// wire protocol, and MQTT clients of the test's own.

#include "tests/common/mqtt_peer.h"
#include "tests/common/server_run.h"
#include "tests/common/virtual_bus.h"
#include "tests/common/wire_client.h"

#include <QRegularExpression>
#include <QtEndian>
#include <QtTest>
#include <memory>

namespace {

const QByteArray kReady1 = R"({"state":"ready","interface":"virtualcan","clients":1,"version":143})";

ConfigParams bridgeParams(uint16_t tcpPort, uint16_t brokerPort, const QString &prefix, const ConfigParams &extra = {})
{
    return virtualCanParams(tcpPort) + ConfigParams{{"MqttHost", "127.0.0.1"},
                                                    {"MqttPort", QString::number(brokerPort)},
                                                    {"MqttTopicPrefix", prefix}} + extra;
}

bool startServer(ServerRun &srv, const ConfigParams &params)
{
    if (!srv.configure(params))
        return false;
    srv.start();
    return srv.waitStarted(params.at(2).second.toUShort());
}

// A control application that identified itself as a Manager and sees the link ready.
bool manager(WireClient &c, uint16_t port)
{
    return c.open(port) && c.identify("m") && QTest::qWaitFor([&] { return c.states().value(c.states().size() - 1) == 2; }, 15000);
}

// Sends and waits for the device's answer; the answer's stamp (0 when none came).
uint64_t roundTrip(WireClient &c, uint16_t id, const QByteArray &data, int ms = 10000)
{
    c.send(1, id, 1, 2, data);
    uint64_t stamp = 0;
    (void)QTest::qWaitFor([&] {
        for (const WireMessage &m : c.messages())
            if (m.id == id && m.dir == 0 && m.data == data)
                stamp = m.stamp;
        return stamp != 0;
    }, ms);
    return stamp;
}

QByteArray run(const QString &dir, const QString &program, const QStringList &args)
{
    ChildProcess p;
    p.setWorkingDirectory(dir);
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    p.waitForFinished(30000);
    return p.exitCode() == 0 ? QByteArray() : program.toUtf8() + ": " + p.readAll();
}

}  // namespace

class TestMqtt : public QObject {
    Q_OBJECT
    VirtualBusHost m_bus;
    std::unique_ptr<Devsim> m_device;
    MqttBroker m_central, m_station[2];

private slots:
    void initTestCase();
    void stations();
    void brokerRestartAndStop();
    void tls();
};

void TestMqtt::initTestCase()
{
    QVERIFY2(QFile::exists(builtProgram(QStringLiteral("app/corvid-server"))), "corvid-server not built");
    QVERIFY2(m_bus.start(), qPrintable(m_bus.error()));
    m_device = std::make_unique<Devsim>(2);
    QVERIFY(m_device->start());
    QVERIFY2(m_central.start(), m_central.log().constData());
    // Each station broker from the example, pointed at this run's ports and folders.
    const QString example = readText(qEnvironmentVariable("CORVID_SOURCE_DIR") + "/examples/mqtt/station-broker.conf");
    QVERIFY(example.contains("central.example.org:1883"));
    for (int i = 0; i < 2; ++i) {
        m_station[i].port = freePort();
        QString conf = example;
        conf.replace("listener 1883", QStringLiteral("listener %1").arg(m_station[i].port))
            .replace("/var/lib/mosquitto/", m_station[i].dir.path() + '/')
            .replace("central.example.org:1883", QStringLiteral("127.0.0.1:%1").arg(m_central.port))
            .replace("corvid-station-bridge", QStringLiteral("bridge%1").arg(i))
            .replace("corvid/station/", QStringLiteral("corvid/s%1/").arg(i + 1));
        QVERIFY2(m_station[i].start({}, conf.toUtf8()), m_station[i].log().constData());
    }
}

void TestMqtt::stations()
{
    MqttClient central, local1, local2;
    QVERIFY(central.connect(m_central.port, "consumer", {"corvid/+/down/#", "corvid/+/up/#", "corvid/+/status"}));
    QVERIFY(local1.connect(m_station[0].port, "local1", {"corvid/s1/#"}));
    QVERIFY(local2.connect(m_station[1].port, "local2", {"corvid/s2/#"}));
    ServerRun s1, s2;
    const uint16_t p1 = freePort(), p2 = freePort();
    QVERIFY(startServer(s1, bridgeParams(p1, m_station[0].port, "corvid/s1", {{"MqttUplink", "1"}})));
    QVERIFY(startServer(s2, bridgeParams(p2, m_station[1].port, "corvid/s2")));
    WireClient m1, m2;
    QVERIFY(manager(m1, p1) && manager(m2, p2));
    // The retained status of both stations reaches the central broker.
    QVERIFY2(central.waitFor("corvid/s1/status", kReady1) && central.waitFor("corvid/s2/status", kReady1),
             qPrintable(s1.errorLog()));

    // A Manager's message and the device's answer: topics, bytes, properties; stamps as the log and echo carry them.
    const QByteArray data("\x00\x01\x7f\xfe\xff", 5);
    const uint64_t answerStamp = roundTrip(m1, 0x0123, data);
    QVERIFY(answerStamp);
    QVERIFY(central.waitFor("corvid/s1/down/0002/0001/0123", data));
    const WireMessage echo = m1.messages().at(0);
    QCOMPARE(echo.text(), QStringLiteral("dir 1 status 1 stamp %1 tag 1 id 0x123 1->2 [00017ffeff]").arg(echo.stamp));
    const QRegularExpression iso(QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z$"));
    for (MqttClient *c : {&local1, &central}) {
        const MqttReceived up = c->received("corvid/s1/up/0001/0002/0123").value(0);
        const MqttReceived down = c->received("corvid/s1/down/0002/0001/0123").value(0);
        QCOMPARE(up.payload, data);
        QCOMPARE(down.payload, data);
        QCOMPARE(up.contentType, QByteArray("application/octet-stream"));
        QCOMPARE(down.contentType, QByteArray("application/octet-stream"));
        QCOMPARE(up.props.value("stamp").toULongLong(), echo.stamp - 1);
        QCOMPARE(down.props.value("stamp").toULongLong(), answerStamp);
        QCOMPARE(up.props.value("status") + down.props.value("status"), QByteArray("11"));
        QVERIFY(iso.match(QString::fromLatin1(down.props.value("time"))).hasMatch());
        QCOMPARE(up.props.keys(), (QList<QByteArray>{"stamp", "status", "time"}));
    }
    // The message log's lines for the same two messages carry the same stamps.
    QTRY_VERIFY_WITH_TIMEOUT(s1.csvLines().filter(QRegularExpression(QStringLiteral(";%1;O;1;2; 123;5;OK;00017ffeff$").arg(echo.stamp - 1))).size() == 1, 5000);
    QVERIFY(s1.csvLines().filter(QRegularExpression(QStringLiteral(";%1;I;2;1; 123;5;;00017ffeff$").arg(answerStamp))).size() == 1);
    // The second station's traffic reaches the same consumer.
    QVERIFY(roundTrip(m2, 0x0222, "two"));
    QVERIFY(central.waitFor("corvid/s2/down/0002/0001/0222", "two"));
    QVERIFY(central.waitFor("corvid/s2/up/0001/0002/0222", "two"));

    // Uplink off (station 2): a request reaches nothing. Uplink on (station 1): once per correlation data.
    local2.publish("corvid/s2/send/0001/0002/0333", "off", "x1");
    local1.publish("corvid/s1/send/0001/0002/0444", "on", "c1");
    local1.publish("corvid/s1/send/0001/0002/0444", "on", "c1");
    local1.publish("corvid/s1/send/0001/02/0444", "bad");
    local1.publish("corvid/s1/send/0001/0002/0445", "on2", "c2");
    QVERIFY2(local1.waitFor("corvid/s1/down/0002/0001/0445", "on2"), qPrintable(s1.errorLog()));
    QVERIFY(roundTrip(m2, 0x0224, "after"));
    QVERIFY(local2.waitFor("corvid/s2/down/0002/0001/0224", "after"));
    QCOMPARE(local1.received("corvid/s1/up/0001/0002/0444").size(), 1);
    QCOMPARE(local1.received("corvid/s1/up/0001/0002/0444").value(0).props.value("status"), QByteArray("1"));
    QCOMPARE(local1.received("corvid/s1/down/0002/0001/0444").size(), 1);
    QTRY_COMPARE(m1.count(0x444, 1), 1);  // echoed to the control applications as a Manager's message
    QCOMPARE(local2.received("corvid/s2/up/").size(), 2);  // only the Manager's 0x222 and 0x224
    for (const char *said : {"MQTT request dropped, its correlation data came before (topic corvid/s1/send/0001/0002/0444, correlation data 6331)",
                             "MQTT request ignored, addresses and id must be four hexadecimal digits each (topic corvid/s1/send/0001/02/0444, correlation data none)"})
        QVERIFY2(s1.errorLog().contains(QLatin1String(said)), said);

    // With the link down a request is refused, and it is not sent once the link is back.
    m_bus.kill();
    QVERIFY(QTest::qWaitFor([&] { return m1.states().last() != 2; }, 15000));
    local1.publish("corvid/s1/send/0001/0002/0446", "late", "c3");
    QVERIFY(local1.waitFor("corvid/s1/up/0001/0002/0446", "late"));
    QCOMPARE(local1.received("corvid/s1/up/0001/0002/0446").value(0).props.value("status"), QByteArray("0"));
    // Should a link have hosted the bus by now, it stays with that link.
    (void)m_bus.start();
    QVERIFY(s1.waitForErrorLog("MQTT request to 0x2 refused, the link is not ready (topic corvid/s1/send/0001/0002/0446, correlation data 6333)"));
    QVERIFY(QTest::qWaitFor([&] { return m1.states().last() == 2; }, 15000));
    QVERIFY(QTest::qWaitFor([&] { return roundTrip(m1, 0x3FF, "probe", 300) != 0; }, 15000));
    QVERIFY(roundTrip(m1, 0x0447, "end"));
    m_device->output += m_device->proc.readAll();
    QVERIFY(!m_device->output.contains("rx 0x0446") && !m_device->output.contains("rx 0x0333"));
    QVERIFY(m_device->output.contains("rx 0x0445") && m_device->output.count("rx 0x0444") == 1);
    QVERIFY(local1.received("corvid/s1/down/0002/0001/0446").isEmpty());

    // A server that dies shows offline: its will, retained, also for a consumer that comes later.
    s1.stop(SIGKILL);
    QVERIFY(central.waitFor("corvid/s1/status", R"({"state":"offline"})", 60000));
    MqttClient later;
    QVERIFY(later.connect(m_central.port, "later", {"corvid/s1/status"}));
    QVERIFY(later.waitFor("corvid/s1/status", R"({"state":"offline"})"));
    QVERIFY(later.received().value(0).retained);
}

void TestMqtt::brokerRestartAndStop()
{
    MqttBroker &broker = m_station[0];
    MqttClient persistent;
    QVERIFY(persistent.connect(broker.port, "persistent", {"corvid/r/#"}, true));
    ServerRun srv;
    const uint16_t port = freePort();
    QVERIFY(startServer(srv, bridgeParams(port, broker.port, "corvid/r")));
    WireClient m;
    QVERIFY(manager(m, port));

    // 1,000 messages from a streaming device at QoS 1; the broker restarts in the middle of them.
    Devsim stream(5, {"--rate", "400", "--count", "1000", "--to", "1", "--msg-id", "0x300", "--length", "12",
                      "--no-echo", "--quiet", "--exit-when-done"});
    QVERIFY(stream.start());
    QVERIFY(QTest::qWaitFor([&] { return persistent.received("/0300").size() >= 300; }, 20000));
    broker.stop();
    QVERIFY2(broker.restart(), broker.log().constData());
    auto sequence = [&] {
        QVector<quint64> seqs;
        for (const MqttReceived &r : persistent.received("corvid/r/down/0005/0001/0300"))
            seqs << qFromLittleEndian<quint64>(r.payload.constData());
        return seqs;
    };
    QVERIFY2(QTest::qWaitFor([&] { const auto s = sequence(); return QSet<quint64>(s.begin(), s.end()).size() == 1000; }, 60000),
             qPrintable(srv.errorLog()));
    // In order; QoS 1 may repeat a message that was on its way when the broker went.
    quint64 next = 0;
    for (const quint64 s : sequence()) {
        QVERIFY2(s <= next, qPrintable(QStringLiteral("%1 came before %2").arg(s).arg(next)));
        next = std::max(next, s + 1);
    }
    QVERIFY(srv.errorLog().contains("MQTT connection to 127.0.0.1:" + QString::number(broker.port) + " lost"));
    QVERIFY(srv.errorLog().contains("MQTT connection to 127.0.0.1:" + QString::number(broker.port) + " is back"));

    // A broker that stops reading: the control application's exchange with the device goes on, and
    // everything reaches the subscriber once the broker runs again.
    broker.signal(SIGSTOP);
    QByteArray last;
    for (int i = 0; i < 100; ++i) {
        last = QByteArray::number(i) + QByteArray(200, 'x');
        QVERIFY2(roundTrip(m, 0x500, last), qPrintable(QStringLiteral("round trip %1").arg(i)));
    }
    broker.signal(SIGCONT);
    QVERIFY(persistent.waitFor("corvid/r/down/0002/0001/0500", last, 30000));
    QCOMPARE(persistent.received("corvid/r/up/0001/0002/0500").size(), 100);
    QCOMPARE(persistent.received("corvid/r/down/0002/0001/0500").size(), 100);
}

void TestMqtt::tls()
{
    // A CA, the broker's and the server's certificates, a second CA that signed neither, and a password.
    MqttBroker broker;
    const QString d = broker.dir.path();
    const QString openssl = QStringLiteral("openssl");
    auto cert = [&](const QString &name, const QString &signer, const QString &ext) {
        QByteArray e = run(d, openssl, {"req", "-newkey", "rsa:2048", "-nodes", "-keyout", name + ".key", "-subj", "/CN=" + name, "-out", name + ".csr"});
        QFile f(d + "/" + name + ".ext");
        f.open(QIODevice::WriteOnly), f.write(ext.toUtf8()), f.close();
        return e + run(d, openssl, {"x509", "-req", "-in", name + ".csr", "-CA", signer + ".crt", "-CAkey", signer + ".key",
                                    "-CAcreateserial", "-days", "2", "-extfile", name + ".ext", "-out", name + ".crt"});
    };
    for (const QString ca : {"ca", "other"})
        QCOMPARE(run(d, openssl, {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", ca + ".key", "-subj", "/CN=" + ca, "-days", "2", "-out", ca + ".crt"}), QByteArray());
    QCOMPARE(cert("broker", "ca", "subjectAltName=DNS:localhost,IP:127.0.0.1\n"), QByteArray());
    QCOMPARE(cert("station", "ca", "extendedKeyUsage=clientAuth\n"), QByteArray());
    QCOMPARE(run(d, "mosquitto_passwd", {"-b", "-c", "passwd", "corvid", "s3cret"}), QByteArray());
    QFile pw(d + "/password"), wrongPw(d + "/wrong");
    QVERIFY(pw.open(QIODevice::WriteOnly) && pw.write("s3cret\n") && wrongPw.open(QIODevice::WriteOnly));
    pw.close(), wrongPw.close();
    broker.port = freePort();
    QVERIFY2(broker.start({}, QStringLiteral("listener %1\ncafile %2/ca.crt\ncertfile %2/broker.crt\nkeyfile %2/broker.key\n"
                                             "require_certificate true\nallow_anonymous false\npassword_file %2/passwd\n")
                                  .arg(broker.port).arg(d).toUtf8()), broker.log().constData());

    auto tlsParams = [&](uint16_t port, const QString &ca) {
        return bridgeParams(port, broker.port, "corvid/tls", {{"MqttHost", "localhost"}, {"MqttCAFile", d + "/" + ca + ".crt"},
            {"MqttCertFile", d + "/station.crt"}, {"MqttKeyFile", d + "/station.key"}, {"MqttUsername", "corvid"},
            {"MqttPasswordFile", d + "/password"}});
    };
    ServerRun good, wrong;
    const uint16_t p1 = freePort(), p2 = freePort();
    QVERIFY(startServer(good, tlsParams(p1, "ca")));
    QVERIFY(startServer(wrong, tlsParams(p2, "other") + ConfigParams{{"MqttTopicPrefix", "x/#"}}));
    QVERIFY(wrong.errorLog().contains("Parameter MqttTopicPrefix has the value \"x/#\", which is no topic prefix"));
    MqttClient reader;
    QVERIFY(reader.connect(broker.port, "reader", {"corvid/tls/status"}, false,
                           {(d + "/ca.crt").toUtf8(), (d + "/station.crt").toUtf8(), (d + "/station.key").toUtf8(), "corvid", "s3cret"}));
    QVERIFY2(reader.waitFor("corvid/tls/status", R"({"state":"ready","interface":"virtualcan","clients":0,"version":143})"),
             qPrintable(good.errorLog()));
    QVERIFY(good.errorLog().contains(QStringLiteral("MQTT bridge connected to localhost:%1").arg(broker.port)));
    QVERIFY(wrong.waitForErrorLog(QStringLiteral("MQTT broker localhost:%1 unreachable: ").arg(broker.port)));
    QVERIFY2(wrong.errorLog().contains("certificate verify failed"), qPrintable(wrong.errorLog()));
}

QTEST_GUILESS_MAIN(TestMqtt)
#include "tst_mqtt.moc"
