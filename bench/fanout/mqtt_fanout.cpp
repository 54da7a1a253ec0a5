#include "bench/fanout/mqtt_fanout.h"

#include "bench/common/bench_clock.h"
#include "bench/fanout/load_tracker.h"

#include <QSocketNotifier>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

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

QByteArray connectPacket(const QByteArray &clientId)
{
    QByteArray body;
    putString(body, QByteArrayLiteral("MQTT"));
    body.append(char(4));    // protocol level 3.1.1
    body.append(char(0x02)); // clean session
    body.append(char(0)).append(char(0)); // no keep-alive: a run never idles long
    putString(body, clientId);
    QByteArray p(1, char(0x10));
    putLength(p, body.size());
    return p + body;
}

QByteArray subscribePacket()
{
    QByteArray body;
    body.append(char(0)).append(char(1)); // packet id
    putString(body, kTopic);
    body.append(char(0)); // QoS 0
    QByteArray p(1, char(0x82));
    putLength(p, body.size());
    return p + body;
}

void appendPublish(QByteArray &out, const QByteArray &payload)
{
    out.append(char(0x30));
    putLength(out, 2 + kTopic.size() + payload.size());
    putString(out, kTopic);
    out.append(payload);
}

} // namespace

MqttFanout::MqttFanout(quint16 port, QObject *parent) : QObject(parent), m_port(port) {}

MqttFanout::~MqttFanout()
{
    auto close = [](Client *c) {
        delete c->rd;
        delete c->wr;
        if (c->fd >= 0) {
            if (!c->dead)
                (void)::write(c->fd, "\xE0\x00", 2); // DISCONNECT, best effort
            ::close(c->fd);
        }
    };
    for (auto &c : m_subs)
        close(c.get());
    if (m_pub)
        close(m_pub.get());
}

void MqttFanout::fail(const QString &what)
{
    if (m_error.isEmpty())
        m_error = what;
}

void MqttFanout::drop(Client *c, const QString &why)
{
    if (c->dead)
        return;
    c->dead = true;
    c->rd->setEnabled(false);
    c->wr->setEnabled(false);
    fail(QStringLiteral("MQTT client %1: %2").arg(c->index).arg(why));
}

MqttFanout::Client *MqttFanout::newClient(const QByteArray &id, int index)
{
    auto c = std::make_unique<Client>();
    c->index = index;
    c->fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (c->fd < 0) {
        fail(QStringLiteral("socket: %1").arg(QString::fromLocal8Bit(strerror(errno))));
        return nullptr;
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(m_port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // On the loopback the connection is made at once; blocking keeps it simple.
    if (::connect(c->fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        fail(QStringLiteral("connect to the broker: %1").arg(QString::fromLocal8Bit(strerror(errno))));
        ::close(c->fd);
        return nullptr;
    }
    const int one = 1;
    ::setsockopt(c->fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::fcntl(c->fd, F_SETFL, ::fcntl(c->fd, F_GETFL) | O_NONBLOCK);
    Client *raw = c.get();
    c->rd = new QSocketNotifier(c->fd, QSocketNotifier::Read);
    c->wr = new QSocketNotifier(c->fd, QSocketNotifier::Write);
    c->wr->setEnabled(false);
    connect(c->rd, &QSocketNotifier::activated, this, [this, raw] { readClient(raw); });
    connect(c->wr, &QSocketNotifier::activated, this, [this, raw] { flush(raw); });
    send(raw, connectPacket(id));
    return c.release();
}

void MqttFanout::send(Client *c, const QByteArray &bytes)
{
    if (c->dead)
        return;
    if (!c->out.isEmpty()) {
        c->out.append(bytes);
        return;
    }
    const ssize_t n = ::write(c->fd, bytes.constData(), size_t(bytes.size()));
    if (n < 0 && errno != EAGAIN && errno != EINTR) {
        drop(c, QStringLiteral("write: %1").arg(QString::fromLocal8Bit(strerror(errno))));
        return;
    }
    const qsizetype done = n < 0 ? 0 : qsizetype(n);
    if (done < bytes.size()) {
        c->out = bytes.mid(done);
        c->wr->setEnabled(true);
    }
}

void MqttFanout::flush(Client *c)
{
    if (c->dead)
        return;
    const ssize_t n = ::write(c->fd, c->out.constData(), size_t(c->out.size()));
    if (n < 0 && errno != EAGAIN && errno != EINTR) {
        drop(c, QStringLiteral("write: %1").arg(QString::fromLocal8Bit(strerror(errno))));
        return;
    }
    if (n > 0)
        c->out.remove(0, int(n));
    c->wr->setEnabled(!c->out.isEmpty());
}

void MqttFanout::readClient(Client *c)
{
    if (c->dead)
        return;
    // As much as the kernel holds, in one call: at N = 100 one wake-up
    // serves hundreds of messages.
    static char buf[256 * 1024];
    const ssize_t n = ::read(c->fd, buf, sizeof buf);
    if (n == 0) {
        drop(c, QStringLiteral("the broker closed the connection"));
        return;
    }
    if (n < 0) {
        if (errno != EAGAIN && errno != EINTR)
            drop(c, QStringLiteral("read: %1").arg(QString::fromLocal8Bit(strerror(errno))));
        return;
    }
    if (c->in.isEmpty()) {
        packets(c, buf, n);
    } else {
        c->in.append(buf, int(n));
        const QByteArray all = std::move(c->in);
        c->in.clear();
        packets(c, all.constData(), all.size());
    }
    if (m_tracker && c->index >= 0)
        pump();
}

void MqttFanout::packets(Client *c, const char *data, qsizetype size)
{
    qsizetype at = 0;
    while (!c->dead && size - at >= 2) {
        // Fixed header: type and flags, then the remaining length in 1 to 4 bytes.
        int length = 0, shift = 0;
        qsizetype p = at + 1;
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
                drop(c, QStringLiteral("a malformed packet length"));
            break;
        }
        if (size - p < length)
            break;
        packet(c, quint8(data[at]), data + p, length);
        at = p + length;
    }
    if (at < size && !c->dead)
        c->in = QByteArray(data + at, int(size - at));
}

void MqttFanout::packet(Client *c, quint8 first, const char *body, int size)
{
    switch (first >> 4) {
    case kPublish: {
        if (size < 2)
            break;
        const int topicLength = quint8(body[0]) << 8 | quint8(body[1]);
        const int qos = (first >> 1) & 3;
        const int start = 2 + topicLength + (qos ? 2 : 0);
        if (start > size || c->index < 0) {
            drop(c, QStringLiteral("an unexpected PUBLISH"));
            break;
        }
        if (m_tracker)
            m_tracker->deliver(c->index, body + start, size - start, benchNowUs());
        break;
    }
    case kConnack:
        if (size != 2 || body[1] != 0) {
            drop(c, QStringLiteral("CONNACK refused"));
            break;
        }
        c->connected = true;
        if (c->index < 0)
            c->ready = true;
        else
            send(c, subscribePacket());
        break;
    case kSuback:
        if (size != 3 || body[2] != 0)
            drop(c, QStringLiteral("subscription refused"));
        else
            c->ready = true;
        break;
    case kPingresp:
        break;
    default:
        drop(c, QStringLiteral("an unexpected packet of type %1").arg(first >> 4));
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
                   if (!m_error.isEmpty())
                       return true;
                   for (auto &c : m_subs)
                       if (!c->ready)
                           return false;
                   return true;
               },
               timeoutMs) &&
           m_error.isEmpty();
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
    if (!m_tracker || !m_pub || m_pub->dead || m_pumping)
        return;
    m_pumping = true;
    // Everything the window or the schedule allows now, in one write.
    QByteArray batch;
    while (m_tracker->canSend()) {
        const quint32 seq = m_tracker->takeSeq();
        appendPublish(batch, makeLoadPayload(seq, benchNowUs(), m_tracker->payloadSize()));
    }
    if (!batch.isEmpty())
        send(m_pub.get(), batch);
    m_pumping = false;
}
