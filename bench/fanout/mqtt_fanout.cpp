#include "bench/fanout/mqtt_fanout.h"

#include "bench/common/bench_clock.h"
#include "bench/fanout/load_tracker.h"

#include <QSocketNotifier>
#include <mosquitto.h>
#include <sys/ioctl.h>

namespace {
const char kTopic[] = "corvid/bench";
}

MqttFanout::MqttFanout(quint16 port, QObject *parent) : QObject(parent), m_port(port)
{
    // Keep-alive pings and reconnect bookkeeping of the library.
    connect(&m_misc, &QTimer::timeout, this, [this] {
        for (auto &c : m_subs)
            if (!c->dead)
                mosquitto_loop_misc(c->m);
        if (m_pub && !m_pub->dead)
            mosquitto_loop_misc(m_pub->m);
    });
    m_misc.start(1000);
}

MqttFanout::~MqttFanout()
{
    auto drop = [](Client *c) {
        delete c->rd;
        delete c->wr;
        if (!c->dead)
            mosquitto_disconnect(c->m);
        mosquitto_destroy(c->m);
    };
    for (auto &c : m_subs)
        drop(c.get());
    if (m_pub)
        drop(m_pub.get());
}

void MqttFanout::fail(const QString &what)
{
    if (m_error.isEmpty())
        m_error = what;
}

MqttFanout::Client *MqttFanout::newClient(const QByteArray &id, int index)
{
    auto *c = new Client;
    c->owner = this;
    c->index = index;
    c->m = mosquitto_new(id.constData(), true, c);
    if (!c->m) {
        fail(QStringLiteral("mosquitto_new failed"));
        delete c;
        return nullptr;
    }
    mosquitto_int_option(c->m, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_connect_callback_set(c->m, &MqttFanout::onConnect);
    mosquitto_subscribe_callback_set(c->m, &MqttFanout::onSubscribe);
    mosquitto_message_callback_set(c->m, &MqttFanout::onMessage);
    int rc = mosquitto_connect(c->m, "127.0.0.1", m_port, 60);
    if (rc != MOSQ_ERR_SUCCESS) {
        fail(QStringLiteral("mosquitto_connect: %1").arg(QString::fromUtf8(mosquitto_strerror(rc))));
        mosquitto_destroy(c->m);
        delete c;
        return nullptr;
    }
    attach(c);
    return c;
}

void MqttFanout::attach(Client *c)
{
    int fd = mosquitto_socket(c->m);
    c->rd = new QSocketNotifier(fd, QSocketNotifier::Read);
    c->wr = new QSocketNotifier(fd, QSocketNotifier::Write);
    connect(c->rd, &QSocketNotifier::activated, this, [this, c] { readClient(c); });
    connect(c->wr, &QSocketNotifier::activated, this, [this, c] { writeClient(c); });
    updateWrite(c);
}

void MqttFanout::updateWrite(Client *c)
{
    if (!c->dead)
        c->wr->setEnabled(mosquitto_want_write(c->m));
}

void MqttFanout::readClient(Client *c)
{
    if (c->dead)
        return;
    int fd = mosquitto_socket(c->m);
    // The library takes one packet per call; drain what the kernel holds so
    // one wake-up serves many messages.
    for (;;) {
        int rc = mosquitto_loop_read(c->m, 1);
        if (rc != MOSQ_ERR_SUCCESS) {
            c->dead = true;
            c->rd->setEnabled(false);
            c->wr->setEnabled(false);
            fail(QStringLiteral("mosquitto client %1: %2").arg(c->index).arg(QString::fromUtf8(mosquitto_strerror(rc))));
            return;
        }
        int avail = 0;
        if (ioctl(fd, FIONREAD, &avail) != 0 || avail <= 0)
            break;
    }
    updateWrite(c);
    if (m_pumpPending)
        pump();
}

void MqttFanout::writeClient(Client *c)
{
    if (c->dead)
        return;
    int rc = mosquitto_loop_write(c->m, 1);
    if (rc != MOSQ_ERR_SUCCESS) {
        c->dead = true;
        c->rd->setEnabled(false);
        c->wr->setEnabled(false);
        fail(QStringLiteral("mosquitto write: %1").arg(QString::fromUtf8(mosquitto_strerror(rc))));
        return;
    }
    updateWrite(c);
}

void MqttFanout::onConnect(mosquitto *m, void *obj, int rc)
{
    auto *c = static_cast<Client *>(obj);
    if (rc != 0) {
        c->owner->fail(QStringLiteral("CONNACK %1").arg(rc));
        return;
    }
    if (c->index < 0)
        c->ready = true;
    else
        mosquitto_subscribe(m, nullptr, kTopic, 0);
}

void MqttFanout::onSubscribe(mosquitto *, void *obj, int, int qos_count, const int *granted)
{
    auto *c = static_cast<Client *>(obj);
    if (qos_count == 1 && granted[0] == 0)
        c->ready = true;
    else
        c->owner->fail(QStringLiteral("subscription refused"));
}

void MqttFanout::onMessage(mosquitto *, void *obj, const mosquitto_message *msg)
{
    auto *c = static_cast<Client *>(obj);
    MqttFanout *self = c->owner;
    if (!self->m_tracker || c->index < 0)
        return;
    self->m_tracker->deliver(c->index, static_cast<const char *>(msg->payload), msg->payloadlen, benchNowUs());
    // Publishing from inside a callback only queues; send after the read.
    self->m_pumpPending = true;
}

bool MqttFanout::growSubscribers(int total, int timeoutMs)
{
    while (int(m_subs.size()) < total) {
        int index = int(m_subs.size());
        Client *c = newClient(QByteArray("corvid-bench-sub-") + QByteArray::number(index), index);
        if (!c)
            return false;
        m_subs.emplace_back(c);
    }
    return benchWaitFor(
        [this] {
            if (!m_error.isEmpty())
                return true;
            for (auto &c : m_subs)
                if (!c->ready)
                    return false;
            return true;
        },
        timeoutMs) && m_error.isEmpty();
}

bool MqttFanout::connectPublisher(int timeoutMs)
{
    if (!m_pub) {
        Client *c = newClient(QByteArrayLiteral("corvid-bench-pub"), -1);
        if (!c)
            return false;
        m_pub.reset(c);
    }
    return benchWaitFor([this] { return m_pub->ready || !m_error.isEmpty(); }, timeoutMs) && m_error.isEmpty();
}

void MqttFanout::startRun(LoadTracker *tracker)
{
    m_tracker = tracker;
    pump();
}

void MqttFanout::pump()
{
    m_pumpPending = false;
    if (!m_tracker || !m_pub || m_pub->dead)
        return;
    while (m_tracker->canSend()) {
        quint32 seq = m_tracker->takeSeq();
        QByteArray payload = makeLoadPayload(seq, benchNowUs(), m_tracker->payloadSize());
        int rc = mosquitto_publish(m_pub->m, nullptr, kTopic, payload.size(), payload.constData(), 0, false);
        if (rc != MOSQ_ERR_SUCCESS) {
            fail(QStringLiteral("publish: %1").arg(QString::fromUtf8(mosquitto_strerror(rc))));
            break;
        }
    }
    updateWrite(m_pub.get());
}
