#include "bench/fanout/mqtt_fanout.h"

#include "bench/common/bench_clock.h"
#include "bench/fanout/load_tracker.h"

namespace {

const QByteArray kTopic = QByteArrayLiteral("corvid/bench");

// MQTT 3.1.1 packet types, high nibble of the first byte.
enum : quint8 { kConnack = 2, kPublish = 3, kSuback = 9, kPingresp = 13 };

void putLength(QByteArray &b, int n)
{
    do {
        quint8 digit = quint8(n % 128);
        n /= 128;
        if (n > 0)
            digit |= 0x80;
        b.append(char(digit));
    } while (n > 0);
}

void putString(QByteArray &b, const QByteArray &s)
{
    b.append(char(s.size() >> 8)).append(char(s.size() & 0xFF)).append(s);
}

QByteArray packet(quint8 first, const QByteArray &body)
{
    QByteArray p(1, char(first));
    putLength(p, body.size());
    return p + body;
}

QByteArray connectPacket(const QByteArray &clientId)
{
    QByteArray body;
    putString(body, QByteArrayLiteral("MQTT"));
    body.append(char(4));                 // protocol level 3.1.1
    body.append(char(0x02));              // clean session
    body.append(char(0)).append(char(0)); // no keep-alive: a run never idles long
    putString(body, clientId);
    return packet(0x10, body);
}

QByteArray subscribePacket()
{
    QByteArray body;
    body.append(char(0)).append(char(1)); // packet id
    putString(body, kTopic);
    body.append(char(0)); // QoS 0
    return packet(0x82, body);
}

void appendPublish(QByteArray &out, const QByteArray &payload)
{
    out.append(char(0x30));
    putLength(out, 2 + kTopic.size() + payload.size());
    putString(out, kTopic);
    out.append(payload);
}

} // namespace

MqttFanout::Client::Client(MqttFanout *owner, int index)
    : index(index), conn([owner, this](const char *data, int size) { owner->received(this, data, size); })
{
}

MqttFanout::MqttFanout(quint16 port, QObject *parent) : QObject(parent), m_port(port) {}

MqttFanout::~MqttFanout() = default;

void MqttFanout::fail(const QString &what)
{
    if (m_error.isEmpty())
        m_error = what;
}

QString MqttFanout::lastError() const
{
    if (!m_error.isEmpty())
        return m_error;
    auto said = [](const Client &c) {
        if (!c.refused.isEmpty())
            return QStringLiteral("MQTT client %1: %2").arg(c.index).arg(c.refused);
        return c.conn.failed() ? QStringLiteral("MQTT client %1: %2").arg(c.index).arg(c.conn.error()) : QString();
    };
    if (m_pub && !said(*m_pub).isEmpty())
        return said(*m_pub);
    for (const auto &c : m_subs)
        if (!said(*c).isEmpty())
            return said(*c);
    return QString();
}

MqttFanout::Client *MqttFanout::newClient(const QByteArray &id, int index)
{
    auto c = std::make_unique<Client>(this, index);
    if (!c->conn.open(m_port)) {
        fail(QStringLiteral("MQTT client %1: %2").arg(index).arg(c->conn.error()));
        return nullptr;
    }
    c->conn.send(connectPacket(id));
    return c.release();
}

void MqttFanout::received(Client *c, const char *data, int size)
{
    if (c->in.isEmpty()) {
        packets(c, data, size);
    } else {
        c->in.append(data, size);
        const QByteArray all = std::move(c->in);
        c->in.clear();
        packets(c, all.constData(), all.size());
    }
    if (m_tracker && c->index >= 0)
        pump();
}

void MqttFanout::packets(Client *c, const char *data, int size)
{
    int at = 0;
    while (c->refused.isEmpty() && size - at >= 2) {
        // Fixed header: type and flags, then the remaining length in 1 to 4 bytes.
        int length = 0, shift = 0, p = at + 1;
        bool complete = false;
        while (p < size && shift <= 21) {
            const quint8 digit = quint8(data[p++]);
            length |= (digit & 0x7F) << shift;
            shift += 7;
            if (!(digit & 0x80)) {
                complete = true;
                break;
            }
        }
        if (!complete) {
            if (shift > 21)
                c->refused = QStringLiteral("a malformed packet length");
            break;
        }
        if (size - p < length)
            break;
        packet(c, quint8(data[at]), data + p, length);
        at = p + length;
    }
    if (at < size && c->refused.isEmpty())
        c->in = QByteArray(data + at, size - at);
}

void MqttFanout::packet(Client *c, quint8 first, const char *body, int size)
{
    switch (first >> 4) {
    case kPublish: {
        const int topicLength = size < 2 ? 0 : quint8(body[0]) << 8 | quint8(body[1]);
        const int start = 2 + topicLength + (((first >> 1) & 3) ? 2 : 0);
        if (size < 2 || start > size || c->index < 0) {
            c->refused = QStringLiteral("an unexpected PUBLISH");
            break;
        }
        if (m_tracker)
            m_tracker->deliver(c->index, body + start, size - start, benchNowUs());
        break;
    }
    case kConnack:
        if (size != 2 || body[1] != 0)
            c->refused = QStringLiteral("CONNACK refused");
        else if (c->index < 0)
            c->ready = true;
        else
            c->conn.send(subscribePacket());
        break;
    case kSuback:
        if (size != 3 || body[2] != 0)
            c->refused = QStringLiteral("subscription refused");
        else
            c->ready = true;
        break;
    case kPingresp:
        break;
    default:
        c->refused = QStringLiteral("an unexpected packet of type %1").arg(first >> 4);
    }
}

bool MqttFanout::growSubscribers(int total, int timeoutMs)
{
    while (int(m_subs.size()) < total) {
        const int index = int(m_subs.size());
        Client *c = newClient(QByteArray("corvid-bench-sub-") + QByteArray::number(index), index);
        if (!c)
            return false;
        m_subs.emplace_back(c);
    }
    return benchWaitFor(
               [this] {
                   if (!lastError().isEmpty())
                       return true;
                   for (auto &c : m_subs)
                       if (!c->ready)
                           return false;
                   return true;
               },
               timeoutMs) &&
           lastError().isEmpty();
}

bool MqttFanout::connectPublisher(int timeoutMs)
{
    if (!m_pub) {
        Client *c = newClient(QByteArrayLiteral("corvid-bench-pub"), -1);
        if (!c)
            return false;
        m_pub.reset(c);
    }
    return benchWaitFor([this] { return m_pub->ready || !lastError().isEmpty(); }, timeoutMs) &&
           lastError().isEmpty();
}

void MqttFanout::startRun(LoadTracker *tracker)
{
    m_tracker = tracker;
    pump();
}

void MqttFanout::pump()
{
    if (!m_tracker || !m_pub || m_pub->conn.failed())
        return;
    // Everything the window or the schedule allows now; the connection sends
    // all of a pass in one write.
    QByteArray batch;
    while (m_tracker->canSend())
        appendPublish(batch, makeLoadPayload(m_tracker->takeSeq(), benchNowUs(), m_tracker->payloadSize()));
    if (!batch.isEmpty())
        m_pub->conn.send(batch);
}
