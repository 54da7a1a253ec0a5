#pragma once
// A mosquitto broker started by the test on a free loopback port, and an MQTT v5 client made with
// libmosquitto (its own network thread) that records what it receives and publishes requests.

#include "tests/common/server_run.h"

#include <QMap>
#include <QMutex>
#include <QProcess>
#include "tests/common/child_process.h"

#include <QTemporaryDir>
#include <QtTest>
#include <csignal>
#include <mosquitto.h>
#include <mqtt_protocol.h>

struct MqttBroker {
    QTemporaryDir dir;
    ChildProcess proc;
    uint16_t port = 0;
    QByteArray said;

    // `extra` goes into the configuration after the listener; persistence is on, in the broker's own folder.
    bool start(const QByteArray &extra = {}, const QByteArray &listener = {})
    {
        m_extra = extra;
        m_listener = listener;
        return restart();
    }
    // Again with the same configuration, persistence included.
    bool restart()
    {
        const QByteArray &extra = m_extra, &listener = m_listener;
        if (!port)
            port = freePort();
        QFile conf(dir.filePath(QStringLiteral("broker.conf")));
        if (!conf.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return false;
        // Started as root (also in a user namespace) the broker would switch to its own account.
        const QByteArray persistence = "persistence true\npersistence_location " + dir.path().toUtf8() + "/\n";
        conf.write("user root\n" + (listener.contains("persistence_location") ? QByteArray() : persistence) +
                   "log_dest stdout\nlog_type error\nlog_type warning\nlog_type notice\n" +
                   (listener.isEmpty() ? "listener " + QByteArray::number(port) + " 127.0.0.1\nallow_anonymous true\n"
                                       : listener) +
                   extra);
        conf.close();
        proc.setProcessChannelMode(QProcess::MergedChannels);
        proc.start(QStringLiteral("mosquitto"), {QStringLiteral("-c"), conf.fileName()});
        return proc.waitForStarted(5000) && QTest::qWaitFor([&] {
                   QTcpSocket probe;
                   probe.connectToHost(QHostAddress::LocalHost, port);
                   return probe.waitForConnected(200) || proc.state() == QProcess::NotRunning;
               }, 10000) && proc.state() == QProcess::Running;
    }
    QByteArray log() { return said += proc.readAll(); }
    void signal(int sig) { ::kill(pid_t(proc.processId()), sig); }
    // SIGTERM: the broker writes its persistence file as it goes.
    void stop() { endProcess(proc); }
    ~MqttBroker()
    {
        signal(SIGCONT);
        stop();
    }

private:
    QByteArray m_extra, m_listener;
};

struct MqttReceived {
    QByteArray topic, payload, contentType;
    QMap<QByteArray, QByteArray> props;  // user properties
    bool retained = false;
};

class MqttClient {
public:
    struct Tls {
        QByteArray ca, cert, key, user, password;
    };
    // `persistent`: clean start off with a session that outlives the connection; the library reconnects.
    bool connect(uint16_t port, const QByteArray &id, const QList<QByteArray> &topics, bool persistent = false,
                 const Tls &tls = {})
    {
        m_topics = topics;
        mosquitto_lib_init();
        m_m = mosquitto_new(id.constData(), !persistent, this);
        mosquitto_int_option(m_m, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
        mosquitto_connect_v5_callback_set(m_m, [](mosquitto *m, void *self, int rc, int, const mosquitto_property *) {
            auto *c = static_cast<MqttClient *>(self);
            for (const QByteArray &t : c->m_topics)
                mosquitto_subscribe_v5(m, nullptr, t.constData(), 1, 0, nullptr);
            (void)rc;
        });
        mosquitto_subscribe_v5_callback_set(m_m, [](mosquitto *, void *self, int, int, const int *, const mosquitto_property *) {
            auto *c = static_cast<MqttClient *>(self);
            QMutexLocker lock(&c->m_mutex);
            ++c->m_subacks;
        });
        mosquitto_message_v5_callback_set(m_m, [](mosquitto *, void *self, const mosquitto_message *msg,
                                                  const mosquitto_property *props) {
            auto *c = static_cast<MqttClient *>(self);
            MqttReceived r{msg->topic, QByteArray(static_cast<const char *>(msg->payload), msg->payloadlen), {}, {},
                           msg->retain};
            for (const mosquitto_property *p = props; p; p = mosquitto_property_next(p)) {
                char *name = nullptr, *value = nullptr;
                if (mosquitto_property_identifier(p) == MQTT_PROP_USER_PROPERTY &&
                    mosquitto_property_read_string_pair(p, MQTT_PROP_USER_PROPERTY, &name, &value, false))
                    r.props.insert(name, value);
                if (mosquitto_property_identifier(p) == MQTT_PROP_CONTENT_TYPE &&
                    mosquitto_property_read_string(p, MQTT_PROP_CONTENT_TYPE, &value, false))
                    r.contentType = value;
                free(name), free(value);
            }
            QMutexLocker lock(&c->m_mutex);
            c->m_got << r;
        });
        if (!tls.ca.isEmpty()) {
            mosquitto_tls_set(m_m, tls.ca.constData(), nullptr, tls.cert.constData(), tls.key.constData(), nullptr);
            mosquitto_username_pw_set(m_m, tls.user.constData(), tls.password.constData());
        }
        mosquitto_property *props = nullptr;
        if (persistent)
            mosquitto_property_add_int32(&props, MQTT_PROP_SESSION_EXPIRY_INTERVAL, 3600);
        mosquitto_reconnect_delay_set(m_m, 1, 2, false);
        const int rc = mosquitto_connect_bind_v5(m_m, "localhost", port, 30, nullptr, props);
        mosquitto_property_free_all(&props);
        if (rc != MOSQ_ERR_SUCCESS || mosquitto_loop_start(m_m) != MOSQ_ERR_SUCCESS)
            return false;
        return QTest::qWaitFor([&] { QMutexLocker l(&m_mutex); return m_subacks >= m_topics.size(); }, 10000);
    }
    // QoS 1, with correlation data unless it is empty.
    void publish(const QByteArray &topic, const QByteArray &payload, const QByteArray &correlation = {})
    {
        mosquitto_property *props = nullptr;
        if (!correlation.isEmpty())
            mosquitto_property_add_binary(&props, MQTT_PROP_CORRELATION_DATA, correlation.constData(),
                                          uint16_t(correlation.size()));
        mosquitto_publish_v5(m_m, nullptr, topic.constData(), payload.size(), payload.constData(), 1, false, props);
        mosquitto_property_free_all(&props);
    }
    QList<MqttReceived> received(const QByteArray &topicPart = {}) const
    {
        QMutexLocker lock(&m_mutex);
        QList<MqttReceived> out;
        for (const MqttReceived &r : m_got)
            if (r.topic.contains(topicPart))
                out << r;
        return out;
    }
    // Until a message whose topic holds `topicPart` (and whose payload is `payload`, when given) has come.
    bool waitFor(const QByteArray &topicPart, const QByteArray &payload = {}, int ms = 15000) const
    {
        return QTest::qWaitFor([&] {
            for (const MqttReceived &r : received(topicPart))
                if (payload.isNull() || r.payload == payload)
                    return true;
            return false;
        }, ms);
    }
    ~MqttClient()
    {
        if (!m_m)
            return;
        mosquitto_disconnect(m_m);
        mosquitto_loop_stop(m_m, false);
        mosquitto_destroy(m_m);
    }

private:
    mosquitto *m_m = nullptr;
    QList<QByteArray> m_topics;
    mutable QMutex m_mutex;
    QList<MqttReceived> m_got;
    int m_subacks = 0;
};
