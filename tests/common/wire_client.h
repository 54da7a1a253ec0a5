#pragma once
// The framed TCP protocol as a control application speaks it, laid out by hand and not with the project's
// wire code, so that a fault there cannot hide itself. Little-endian throughout.

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QVector>
#include <QtTest>
#include <cstdint>
#include <optional>

namespace wire_ref {

inline QByteArray le16(uint16_t v) { return QByteArray(1, char(v & 0xFF)) + QByteArray(1, char(v >> 8)); }
inline QByteArray le32(uint32_t v) { return le16(uint16_t(v)) + le16(uint16_t(v >> 16)); }
inline QByteArray le64(uint64_t v) { return le32(uint32_t(v)) + le32(uint32_t(v >> 32)); }
inline uint16_t get16(const QByteArray &b, int at) { return uint16_t(uint8_t(b.at(at)) | uint8_t(b.at(at + 1)) << 8); }
inline uint32_t get32(const QByteArray &b, int at) { return get16(b, at) | uint32_t(get16(b, at + 2)) << 16; }
inline uint64_t get64(const QByteArray &b, int at) { return get32(b, at) | uint64_t(get32(b, at + 4)) << 32; }
inline QByteArray hex(const char *s) { return QByteArray::fromHex(QByteArray(s).replace(' ', "")); }
inline QByteArray name32(const QByteArray &n) { return QByteArray(n + QByteArray(32, '\0')).left(32); }

// 5E BA, kind, 0, total length, payload, 11 BA.
inline QByteArray frame(uint16_t kind, const QByteArray &payload)
{
    return hex("5E BA") + le16(kind) + hex("00 00") + le32(uint32_t(12 + payload.size())) + payload + hex("11 BA");
}
// `observer`: 1 Observer, anything else Manager.
inline QByteArray appInfo(const QByteArray &name, uint8_t observer, uint32_t version = 100)
{
    return frame(0x1001, le32(version) + name32(name) + QByteArray(1, char(observer)) + QByteArray(7, '\0'));
}
inline QByteArray msg2Sat(uint32_t recId, uint16_t id, uint16_t from, uint16_t to, const QByteArray &data)
{
    return frame(0x1000, le32(recId) + le16(id) + le16(from) + le16(to) + le16(uint16_t(data.size())) + data);
}
// A message frame as the server sends it, or as an application injects it.
inline QByteArray msg2App(uint32_t dir, uint32_t status, int64_t timeMs, uint64_t stamp, uint32_t tag, uint16_t id,
                          uint16_t from, uint16_t to, const QByteArray &data, const QByteArray &ax25 = {})
{
    return frame(0x2000, le32(dir) + le32(status) + le64(uint64_t(timeMs)) + le64(stamp) + le32(tag) + le16(id) +
                             le16(from) + le16(to) + le16(uint16_t(data.size())) + le32(0) + data + ax25);
}
inline QByteArray srvInfo(int64_t timeMs, const QByteArray &name = "Corvid dedicated server")
{
    return frame(0x2001, le32(100) + le32(1) + QByteArray(8, '\0') + le64(uint64_t(timeMs)) + name32(name) +
                             QByteArray(8, '\0'));
}
inline QByteArray srvState(uint32_t state, uint32_t error)
{
    return frame(0x2002, le32(0) + le32(state) + le32(0) + le32(error) + QByteArray(8, '\0'));
}

}  // namespace wire_ref

// A message frame read at the offsets of its layout.
struct WireMessage {
    uint32_t dir = 0, status = 0, tag = 0;
    int64_t timeMs = 0;
    uint64_t stamp = 0;
    uint16_t id = 0, from = 0, to = 0, length = 0;
    QByteArray data, ax25;

    // Every field but the time, for one QCOMPARE: "dir 1 status 1 stamp 2 tag 7 id 0x10 1->2 [aabb]".
    QString text() const
    {
        return QStringLiteral("dir %1 status %2 stamp %3 tag %4 id 0x%5 %6->%7 [%8]%9")
            .arg(dir).arg(status).arg(stamp).arg(tag).arg(id, 0, 16).arg(from).arg(to)
            .arg(QString::fromLatin1(data.toHex()))
            .arg(ax25.isEmpty() ? QString() : QStringLiteral(" ax25 ") + QString::fromLatin1(ax25.toHex()));
    }

    static WireMessage read(const QByteArray &f)
    {
        using namespace wire_ref;
        WireMessage m;
        m.dir = get32(f, 10);
        m.status = get32(f, 14);
        m.timeMs = int64_t(get64(f, 18));
        m.stamp = get64(f, 26);
        m.tag = get32(f, 34);
        m.id = get16(f, 38);
        m.from = get16(f, 40);
        m.to = get16(f, 42);
        m.length = get16(f, 44);
        m.data = f.mid(50, m.length);
        m.ax25 = f.mid(50 + m.length, f.size() - 52 - m.length);
        return m;
    }
};

// One application connection: cuts the server's frames by their length field, flags anything that breaks
// the layout, and records when the server closes.
class WireClient : public QObject {
public:
    QSslSocket socket;  // plain TCP unless opened with TLS
    QList<QByteArray> frames;
    bool closed = false;
    bool malformed = false;
    uint16_t localPort = 0;  // kept: the socket forgets it once closed

    explicit WireClient(uint16_t port = 0)
    {
        connect(&socket, &QTcpSocket::readyRead, this, [this] { pump(); });
        connect(&socket, &QTcpSocket::disconnected, this, [this] { closed = true; });
        if (port)
            open(port);
    }
    // From the source address `from` when one is given; with `tls`, until the handshake is done (the server
    // may run in this very process, so the wait runs the event loop).
    bool open(uint16_t port, const QHostAddress &from = {}, const std::optional<QSslConfiguration> &tls = {})
    {
        if (!from.isNull() && !socket.bind(from))
            return false;
        bool up = false;
        if (tls) {
            socket.setSslConfiguration(*tls);
            socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
            up = QTest::qWaitFor([&] { return socket.isEncrypted() || socket.state() == QAbstractSocket::UnconnectedState; },
                                 5000) && socket.isEncrypted();
        } else {
            socket.connectToHost(QHostAddress::LocalHost, port);
            up = socket.waitForConnected(5000);
        }
        localPort = socket.localPort();
        return up;
    }
    void write(const QByteArray &bytes)
    {
        socket.write(bytes);
        socket.flush();
    }
    // Sends the application information and waits for server info and state.
    bool identify(const QByteArray &name = "app", uint8_t observer = 0, uint32_t version = 100)
    {
        const int before = frames.size();
        write(wire_ref::appInfo(name, observer, version));
        return QTest::qWaitFor([&] { return frames.size() >= before + 2; }, 5000);
    }
    void send(uint32_t recId, uint16_t id, uint16_t from, uint16_t to, const QByteArray &data)
    {
        write(wire_ref::msg2Sat(recId, id, from, to, data));
    }
    QList<QByteArray> ofKind(uint16_t kind) const
    {
        QList<QByteArray> out;
        for (const QByteArray &f : frames)
            if (wire_ref::get16(f, 2) == kind)
                out << f;
        return out;
    }
    QVector<WireMessage> messages() const
    {
        QVector<WireMessage> out;
        for (const QByteArray &f : ofKind(0x2000))
            out << WireMessage::read(f);
        return out;
    }
    QVector<uint32_t> states() const
    {
        QVector<uint32_t> out;
        for (const QByteArray &f : ofKind(0x2002))
            out << wire_ref::get32(f, 14);
        return out;
    }
    int count(uint16_t id, uint32_t dir) const
    {
        int n = 0;
        for (const WireMessage &m : messages())
            n += m.id == id && m.dir == dir;
        return n;
    }

private:
    void pump()
    {
        using namespace wire_ref;
        m_buffer += socket.readAll();
        while (m_buffer.size() >= 10) {
            const int len = int(get32(m_buffer, 6));
            if (len < 12) {
                malformed = true;
                m_buffer.clear();
                return;
            }
            if (m_buffer.size() < len)
                return;
            const QByteArray f = m_buffer.left(len);
            if (get16(f, 0) != 0xBA5E || get16(f, len - 2) != 0xBA11 || get16(f, 4) != 0)
                malformed = true;
            frames << f;
            m_buffer.remove(0, len);
        }
    }
    QByteArray m_buffer;
};
