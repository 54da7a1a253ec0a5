#include "server/MqttSession.h"

#include "server/mqtt_topics.h"

#include <QCryptographicHash>
#include <QLoggingCategory>
#include <QSocketNotifier>
#include <QTimer>

#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

Q_LOGGING_CATEGORY(lcMqtt, "corvid.mqtt", QtWarningMsg)

// Handed to the library at a time: enough to keep a broker busy, little
// enough that a broker which stops reading holds the rest in the bounded queue.
constexpr size_t kWindow = 256;
constexpr int64_t kWindowBytes = 4 << 20;
constexpr int kRetryMaxMs = 30000;
constexpr int kSeenRequests = 1024;
constexpr int kNoticesPerMinute = 10;
// Sessions outlive a restart of the server for a day.
constexpr uint32_t kSessionExpirySeconds = 86400;
const char kOffline[] = "{\"state\":\"offline\"}";

// libmosquitto's own codes are small; reason codes from the broker are 0x80 and up.
QString reasonText(int rc)
{
    if (rc == MOSQ_ERR_ERRNO)
        return QString::fromLocal8Bit(std::strerror(errno));
    return QString::fromUtf8(rc >= 0x80 ? mosquitto_reason_string(rc) : mosquitto_strerror(rc));
}

struct Properties {
    mosquitto_property *list = nullptr;
    ~Properties() { mosquitto_property_free_all(&list); }
    void user(const char *name, const QByteArray &value)
    {
        mosquitto_property_add_string_pair(&list, MQTT_PROP_USER_PROPERTY, name, value.constData());
    }
};

} // namespace

bool MqttOutbox::push(MqttRecord &&record)
{
    bool sayDrop = false;
    bool wake = false;
    {
        QMutexLocker lock(&m_mutex);
        m_bytes += record.weight();
        m_queue.push_back(std::move(record));
        while (m_bytes > m_limit && m_queue.size() > 1) {
            m_bytes -= m_queue.front().weight();
            m_queue.pop_front();
            ++m_dropped;
            ++m_droppedTotal;
            sayDrop = !m_dropSaid;
            m_dropSaid = true;
        }
        wake = !m_sessionWillLook;
        m_sessionWillLook = true;
    }
    if (sayDrop)
        qWarning("%s", qPrintable(QStringLiteral("MQTT queue full (%1 MiB): the oldest messages are dropped until "
                                                 "the broker takes them again")
                                      .arg(m_limit >> 20)));
    return wake;
}

void MqttOutbox::take(std::deque<MqttRecord> &out, size_t max)
{
    QMutexLocker lock(&m_mutex);
    while (max-- > 0 && !m_queue.empty()) {
        m_bytes -= m_queue.front().weight();
        out.push_back(std::move(m_queue.front()));
        m_queue.pop_front();
    }
    if (m_queue.empty())
        m_sessionWillLook = false;
}

void MqttOutbox::putBack(std::deque<MqttRecord> &records)
{
    QMutexLocker lock(&m_mutex);
    for (auto it = records.rbegin(); it != records.rend(); ++it) {
        m_bytes += it->weight();
        m_queue.push_front(std::move(*it));
    }
    records.clear();
    m_sessionWillLook = true;
}

quint64 MqttOutbox::takeDropped()
{
    QMutexLocker lock(&m_mutex);
    const quint64 n = m_dropped;
    m_dropped = 0;
    m_dropSaid = false;
    return n;
}

MqttOutbox::Counts MqttOutbox::counts() const
{
    QMutexLocker lock(&m_mutex);
    return {m_bytes, m_droppedTotal};
}

size_t MqttOutbox::size() const
{
    QMutexLocker lock(&m_mutex);
    return m_queue.size();
}

MqttSession::MqttSession(const CorvidMqttSettings &settings, MqttOutbox *outbox)
    : m_settings(settings), m_outbox(outbox), m_statusTopic(settings.topicPrefix + "/status")
{
    m_seenRing.resize(kSeenRequests);
}

MqttSession::~MqttSession()
{
    // Normally torn down in its thread by finish(); this is the last resort.
    if (m_mosq)
        mosquitto_destroy(m_mosq);
}

QString MqttSession::where() const
{
    return QStringLiteral("%1:%2").arg(m_settings.host).arg(m_settings.port);
}

void MqttSession::start()
{
    m_misc = std::make_unique<QTimer>();
    m_retry = std::make_unique<QTimer>();
    m_connackTimer = std::make_unique<QTimer>();
    m_retry->setSingleShot(true);
    m_connackTimer->setSingleShot(true);
    QObject::connect(m_misc.get(), &QTimer::timeout, this, [this] {
        if (m_mosq && !m_failing) {
            mosquitto_loop_misc(m_mosq);
            afterIo();
        }
    });
    QObject::connect(m_retry.get(), &QTimer::timeout, this, &MqttSession::connectNow);
    QObject::connect(m_connackTimer.get(), &QTimer::timeout, this,
                     [this] { fail(QStringLiteral("no answer from the broker")); });
    m_misc->start(1000);
    connectNow();
}

void MqttSession::connectNow()
{
    m_failing = false;
    m_reason.clear();
    m_libraryError.clear();
    m_mosq = mosquitto_new(m_settings.clientId.constData(), false, this);
    if (!m_mosq) {
        fail(QStringLiteral("out of memory"));
        return;
    }
    mosquitto_int_option(m_mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_int_option(m_mosq, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_connect_v5_callback_set(m_mosq, &MqttSession::onConnect);
    mosquitto_disconnect_v5_callback_set(m_mosq, &MqttSession::onDisconnect);
    mosquitto_publish_v5_callback_set(m_mosq, &MqttSession::onPublish);
    mosquitto_message_v5_callback_set(m_mosq, &MqttSession::onMessage);
    mosquitto_log_callback_set(m_mosq, &MqttSession::onLog);
    if (!m_settings.username.isEmpty() || m_settings.hasPassword)
        mosquitto_username_pw_set(m_mosq, m_settings.username.isEmpty() ? nullptr : m_settings.username.constData(),
                                  m_settings.hasPassword ? m_settings.password.constData() : nullptr);
    if (!m_settings.caFile.isEmpty()) {
        const QByteArray ca = m_settings.caFile.toLocal8Bit();
        const QByteArray cert = m_settings.certFile.toLocal8Bit();
        const QByteArray key = m_settings.keyFile.toLocal8Bit();
        const int rc = mosquitto_tls_set(m_mosq, ca.constData(), nullptr, cert.isEmpty() ? nullptr : cert.constData(),
                                         key.isEmpty() ? nullptr : key.constData(), nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            fail(QStringLiteral("TLS set-up: ") + reasonText(rc));
            return;
        }
        mosquitto_tls_opts_set(m_mosq, 1 /* verify the broker */, nullptr, nullptr);
    }
    mosquitto_will_set_v5(m_mosq, m_statusTopic.constData(), int(sizeof kOffline - 1), kOffline, m_settings.qos, true,
                          nullptr);
    Properties props;
    mosquitto_property_add_int32(&props.list, MQTT_PROP_SESSION_EXPIRY_INTERVAL, kSessionExpirySeconds);
    const QByteArray host = m_settings.host.toUtf8();
    qCDebug(lcMqtt).noquote() << "connecting to" << where();
    const int rc = mosquitto_connect_bind_v5(m_mosq, host.constData(), m_settings.port, m_settings.keepAliveSeconds,
                                             nullptr, props.list);
    if (rc != MOSQ_ERR_SUCCESS) {
        fail(reasonText(rc));
        return;
    }
    const int fd = mosquitto_socket(m_mosq);
    m_read = new QSocketNotifier(fd, QSocketNotifier::Read);
    m_write = new QSocketNotifier(fd, QSocketNotifier::Write);
    QObject::connect(m_read, &QSocketNotifier::activated, this, &MqttSession::readReady);
    QObject::connect(m_write, &QSocketNotifier::activated, this, &MqttSession::writeReady);
    updateWrite();
    m_connackTimer->start(connackTimeoutMs);
}

void MqttSession::connected()
{
    m_connackTimer->stop();
    m_connected = true;
    m_brokerUp = true;
    m_retryMs = 1000;
    if (m_outageSaid)
        qInfo("%s", qPrintable(QStringLiteral("MQTT connection to %1 is back").arg(where())));
    else if (!m_everConnected)
        qInfo("%s", qPrintable(QStringLiteral("MQTT bridge connected to %1 as %2")
                                   .arg(where(), corvid_mqtt_printable(m_settings.clientId))));
    m_outageSaid = false;
    m_everConnected = true;
    if (const quint64 dropped = m_outbox->takeDropped())
        qWarning("%s", qPrintable(QStringLiteral("MQTT: %1 messages were dropped while the broker did not take them")
                                      .arg(dropped)));
    if (m_settings.uplink) {
        // QoS 0 and no retained ones: a broker keeps neither for a bridge that
        // is away, so a request is never handed over late.
        const QByteArray filter = m_settings.topicPrefix + "/send/+/+/+";
        mosquitto_subscribe_v5(m_mosq, nullptr, filter.constData(), 0, MQTT_SUB_OPT_SEND_RETAIN_NEVER, nullptr);
    }
    publishStatus();
    m_drainDue = true;
}

void MqttSession::fail(const QString &reason)
{
    if (m_failing)
        return;
    m_failing = true;
    m_reason = reason;
    if (m_read)
        m_read->setEnabled(false);
    if (m_write)
        m_write->setEnabled(false);
    // Not from inside the library's own call.
    QTimer::singleShot(0, this, &MqttSession::teardown);
}

void MqttSession::teardown()
{
    if (!m_misc)
        return;  // the session has left already
    const bool wasConnected = m_connected;
    m_connected = false;
    m_brokerUp = false;
    m_connackTimer->stop();
    delete m_read;
    delete m_write;
    m_read = m_write = nullptr;
    if (m_mosq) {
        mosquitto_destroy(m_mosq);
        m_mosq = nullptr;
    }
    // What the broker has not confirmed goes out again, in order, on the next connection.
    std::deque<MqttRecord> back;
    for (auto &entry : m_inflight)
        back.push_back(std::move(entry.second));
    m_inflight.clear();
    m_midSeq.clear();
    m_doneEarly.clear();
    m_ownMids.clear();
    m_inflightBytes = 0;
    if (!back.empty())
        m_outbox->putBack(back);

    QString reason = m_reason;
    if (!m_libraryError.isEmpty() && !reason.contains(m_libraryError))
        reason += QStringLiteral(" (") + m_libraryError + QLatin1Char(')');
    if (m_finishing) {
        leave();
        return;
    }
    if (!m_outageSaid) {
        m_outageSaid = true;
        if (wasConnected)
            qCritical("%s", qPrintable(QStringLiteral("MQTT connection to %1 lost: %2; reconnecting")
                                           .arg(where(), reason)));
        else
            qCritical("%s", qPrintable(QStringLiteral("MQTT broker %1 unreachable: %2; the bridge keeps trying")
                                           .arg(where(), reason)));
    } else {
        qCDebug(lcMqtt).noquote() << "attempt failed:" << reason;
    }
    scheduleRetry();
}

void MqttSession::scheduleRetry()
{
    m_retry->start(m_retryMs);
    m_retryMs = std::min(m_retryMs * 2, kRetryMaxMs);
}

void MqttSession::readReady()
{
    if (!m_mosq || m_failing)
        return;
    const int fd = mosquitto_socket(m_mosq);
    // One packet per call: drain what the kernel holds, within reason, so
    // that one wake-up serves many acknowledgements.
    for (int i = 0; i < 1024 && !m_failing; ++i) {
        const int rc = mosquitto_loop_read(m_mosq, 1);
        if (rc != MOSQ_ERR_SUCCESS) {
            fail(reasonText(rc));
            break;
        }
        int waiting = 0;
        if (::ioctl(fd, FIONREAD, &waiting) != 0 || waiting <= 0)
            break;
    }
    afterIo();
}

void MqttSession::writeReady()
{
    if (!m_mosq || m_failing)
        return;
    const int rc = mosquitto_loop_write(m_mosq, 1);
    if (rc != MOSQ_ERR_SUCCESS)
        fail(reasonText(rc));
    afterIo();
}

void MqttSession::afterIo()
{
    if (m_drainDue && m_connected && !m_failing)
        drain();
    updateWrite();
}

void MqttSession::updateWrite()
{
    if (m_write && m_mosq && !m_failing)
        m_write->setEnabled(mosquitto_want_write(m_mosq));
}

void MqttSession::drain()
{
    m_drainDue = false;
    if (!m_connected || m_failing)
        return;
    std::deque<MqttRecord> batch;
    while (!m_failing && m_inflight.size() < kWindow && m_inflightBytes < kWindowBytes) {
        batch.clear();
        m_outbox->take(batch, kWindow - m_inflight.size());
        if (batch.empty())
            break;
        while (!batch.empty() && !m_failing) {
            if (!publishRecord(batch.front()))
                break;
            batch.pop_front();
        }
        if (!batch.empty())
            m_outbox->putBack(batch);
    }
    updateWrite();
    if (m_finishing && m_inflight.empty() && m_outbox->size() == 0)
        leave();
}

bool MqttSession::publishRecord(MqttRecord &record)
{
    const corvid_owned_message &m = record.msg;
    const QByteArray topic =
        corvid_mqtt_message_topic(m_settings.topicPrefix, record.toLink, m.address_from, m.address_to, m.msg_id);
    Properties props;
    mosquitto_property_add_string(&props.list, MQTT_PROP_CONTENT_TYPE, "application/octet-stream");
    props.user("stamp", QByteArray::number(record.stamp));
    props.user("time", corvid_mqtt_iso_time(record.timeMs));
    props.user("status", record.status ? "1" : "0");
    if (record.hdr) {
        props.user("src", corvid_mqtt_callsign(record.hdr->src_callsign, record.hdr->src_ssid));
        props.user("dst", corvid_mqtt_callsign(record.hdr->dest_callsign, record.hdr->dest_ssid));
    }
    int mid = 0;
    m_inPublish = true;
    const int rc = mosquitto_publish_v5(m_mosq, &mid, topic.constData(), m.data.size(), m.data.constData(),
                                        m_settings.qos, false, props.list);
    m_inPublish = false;
    if (rc != MOSQ_ERR_SUCCESS) {
        if (rc == MOSQ_ERR_NOMEM || rc == MOSQ_ERR_NO_CONN || rc == MOSQ_ERR_CONN_LOST || rc == MOSQ_ERR_ERRNO) {
            fail(reasonText(rc));
            return false;  // goes out again on the next connection
        }
        // The broker's limits (packet size, for one): this one cannot go, the rest can.
        m_notices.say(QStringLiteral("MQTT: a message for %1 cannot be published: %2")
                   .arg(QString::fromUtf8(topic), reasonText(rc)));
        return true;
    }
    if (m_doneEarly.remove(mid))
        return true;
    const quint64 seq = m_nextSeq++;
    m_inflightBytes += record.weight();
    m_midSeq.insert(mid, seq);
    m_inflight.emplace(seq, std::move(record));
    return true;
}

void MqttSession::publishStatus()
{
    if (!m_connected || m_failing || m_status.isEmpty())
        return;
    int mid = 0;
    m_inPublish = true;
    const int rc = mosquitto_publish_v5(m_mosq, &mid, m_statusTopic.constData(), m_status.size(),
                                        m_status.constData(), m_settings.qos, true, nullptr);
    m_inPublish = false;
    if (rc == MOSQ_ERR_SUCCESS && !m_doneEarly.remove(mid))
        m_ownMids.insert(mid);
    updateWrite();
}

void MqttSession::setStatus(const QByteArray &json)
{
    m_status = json;
    publishStatus();
}

void MqttSession::published(int mid, int reason)
{
    if (m_inPublish) {
        m_doneEarly.insert(mid);
        return;
    }
    if (m_ownMids.remove(mid))
        return;
    const auto seq = m_midSeq.find(mid);
    if (seq == m_midSeq.end())
        return;
    const auto it = m_inflight.find(*seq);
    if (it != m_inflight.end()) {
        if (reason >= 0x80)
            m_notices.say(QStringLiteral("MQTT broker refused a message on %1: %2")
                       .arg(QString::fromUtf8(corvid_mqtt_message_topic(
                                m_settings.topicPrefix, it->second.toLink, it->second.msg.address_from,
                                it->second.msg.address_to, it->second.msg.msg_id)),
                            reasonText(reason)));
        m_inflightBytes -= it->second.weight();
        m_inflight.erase(it);
    }
    m_midSeq.erase(seq);
    m_drainDue = true;
}

void MqttSession::request(const mosquitto_message *message, const mosquitto_property *props)
{
    if (!m_settings.uplink || !message->topic)
        return;
    const size_t topicLength = std::strlen(message->topic);
    QByteArray correlation;
    void *value = nullptr;
    uint16_t length = 0;
    if (mosquitto_property_read_binary(props, MQTT_PROP_CORRELATION_DATA, &value, &length, false)) {
        correlation = QByteArray(static_cast<const char *>(value), length);
        std::free(value);
    }
    const QString origin = QStringLiteral("topic %1, correlation data %2")
                               .arg(corvid_mqtt_printable(QByteArray(message->topic, int(topicLength))),
                                    correlation.isEmpty() ? QStringLiteral("none")
                                                          : QString::fromLatin1(correlation.left(32).toHex()) +
                                                                (correlation.size() > 32 ? QStringLiteral("...")
                                                                                         : QString()));
    uint16_t from = 0, to = 0, id = 0;
    if (message->retain) {
        m_notices.say(QStringLiteral("MQTT request ignored, a retained message is no request (%1)").arg(origin));
        return;
    }
    if (!corvid_mqtt_parse_send_topic(m_settings.topicPrefix, message->topic, topicLength, &from, &to, &id)) {
        m_notices.say(QStringLiteral("MQTT request ignored, addresses and id must be four hexadecimal digits each (%1)")
                   .arg(origin));
        return;
    }
    if (message->payloadlen > 0xFFFF) {
        m_notices.say(QStringLiteral("MQTT request ignored, %1 data bytes are more than a message holds (%2)")
                   .arg(message->payloadlen)
                   .arg(origin));
        return;
    }
    if (!correlation.isEmpty()) {
        const QByteArray digest = QCryptographicHash::hash(correlation, QCryptographicHash::Sha256);
        if (m_seen.contains(digest)) {
            m_notices.say(QStringLiteral("MQTT request dropped, its correlation data came before (%1)").arg(origin), true);
            return;
        }
        m_seen.remove(m_seenRing[m_seenNext]);
        m_seenRing[m_seenNext] = digest;
        m_seen.insert(digest);
        m_seenNext = (m_seenNext + 1) % kSeenRequests;
    }
    MqttRequest r;
    r.msg.msg_id = id;
    r.msg.address_from = from;
    r.msg.address_to = to;
    r.msg.data = QByteArray(static_cast<const char *>(message->payload), message->payloadlen);
    r.origin = origin;
    if (onRequest)
        onRequest(std::move(r));
}

void MqttNoticeLimit::say(const QString &text, bool info)
{
    if (!m_window.isValid() || m_window.elapsed() >= 60000) {
        if (m_leftOut > 0)
            qWarning("MQTT: %d more notices about requests and publishes left out", m_leftOut);
        m_window.start();
        m_inWindow = 0;
        m_leftOut = 0;
    }
    if (++m_inWindow > kNoticesPerMinute) {
        ++m_leftOut;
        return;
    }
    if (info)
        qInfo("%s", qPrintable(text));
    else
        qWarning("%s", qPrintable(text));
}

void MqttSession::finish(int ms, std::function<void()> done)
{
    m_done = std::move(done);
    m_finishing = true;
    if (!m_connected) {
        leave();
        return;
    }
    m_finishTimer = std::make_unique<QTimer>();
    m_finishTimer->setSingleShot(true);
    QObject::connect(m_finishTimer.get(), &QTimer::timeout, this, &MqttSession::leave);
    m_finishTimer->start(ms);
    drain();
}

void MqttSession::leave()
{
    if (!m_done)
        return;
    const size_t left = m_inflight.size() + m_outbox->size();
    if (left > 0)
        qWarning("MQTT: %zu messages not published at shutdown", left);
    if (m_mosq && m_connected) {
        // The broker publishes the will: the server shows offline.
        mosquitto_disconnect_v5(m_mosq, MQTT_RC_DISCONNECT_WITH_WILL_MSG, nullptr);
        mosquitto_loop_write(m_mosq, 1);
    }
    // This may run inside a notifier's or a timer's own signal: they go
    // later, when the thread ends.
    for (QSocketNotifier *n : {m_read, m_write}) {
        if (n) {
            n->setEnabled(false);
            n->deleteLater();
        }
    }
    m_read = m_write = nullptr;
    if (m_mosq)
        mosquitto_destroy(m_mosq);
    m_mosq = nullptr;
    m_connected = false;
    m_brokerUp = false;
    for (auto *timer : {&m_misc, &m_retry, &m_connackTimer, &m_finishTimer}) {
        if (*timer) {
            (*timer)->stop();
            timer->release()->deleteLater();
        }
    }
    auto done = std::move(m_done);
    m_done = nullptr;
    done();
}

void MqttSession::onConnect(mosquitto *, void *self, int rc, int, const mosquitto_property *)
{
    auto *s = static_cast<MqttSession *>(self);
    if (rc == 0)
        s->connected();
    else
        s->fail(QStringLiteral("the broker refused the connection: ") + reasonText(rc));
}

void MqttSession::onDisconnect(mosquitto *, void *self, int rc, const mosquitto_property *)
{
    auto *s = static_cast<MqttSession *>(self);
    s->fail(rc == 0 ? QStringLiteral("closed") : reasonText(rc));
}

void MqttSession::onPublish(mosquitto *, void *self, int mid, int reason, const mosquitto_property *)
{
    static_cast<MqttSession *>(self)->published(mid, reason);
}

void MqttSession::onMessage(mosquitto *, void *self, const mosquitto_message *message, const mosquitto_property *props)
{
    static_cast<MqttSession *>(self)->request(message, props);
}

void MqttSession::onLog(mosquitto *, void *self, int level, const char *text)
{
    if ((level & MOSQ_LOG_ERR) && text)
        static_cast<MqttSession *>(self)->m_libraryError = corvid_mqtt_printable(QByteArray(text), 300);
}
