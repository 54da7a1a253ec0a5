#pragma once
// The bus layout written out by hand, apart from the engine's code so that a fault cannot hide in both:
// a bitwise CRC-16/XMODEM and the CAN frames one message must become.

#include <QByteArray>
#include <QString>
#include <QVector>
#include <cstdint>

inline uint16_t reference_crc(const QByteArray &bytes)
{
    uint16_t crc = 0;
    for (const char c : bytes) {
        crc ^= uint16_t(uint8_t(c) << 8);
        for (int i = 0; i < 8; ++i)
            crc = (crc & 0x8000) ? uint16_t((crc << 1) ^ 0x1021) : uint16_t(crc << 1);
    }
    return crc;
}

// A 16-bit value as it stands on the bus and in datagrams: little-endian.
inline QByteArray le16(unsigned v)
{
    QByteArray b;
    b.append(char(v & 0xFF));
    b.append(char((v >> 8) & 0xFF));
    return b;
}

struct ReferenceCanFrame {
    uint32_t id = 0;
    bool extended = false;
    QByteArray payload;
    bool operator==(const ReferenceCanFrame &o) const
    {
        return id == o.id && extended == o.extended && payload == o.payload;
    }
    QString text() const
    {
        return QStringLiteral("%1 %2 [%3]")
            .arg(QLatin1String(extended ? "X" : "S"))
            .arg(id, extended ? 8 : 3, 16, QLatin1Char('0'))
            .arg(QString::fromLatin1(payload.toHex(' ')));
    }
};

// Identifier of a message between two addresses: 5 bits each while both fit, else 14 bits each (extended).
inline ReferenceCanFrame reference_address(uint16_t from, uint16_t to)
{
    const bool ext = from > 31 || to > 31;
    return {ext ? (uint32_t(from) << 14 | to) : (uint32_t(from) << 5 | to), ext, {}};
}

// The frames of one message on identifier `id`. Up to 6 bytes: one frame of msg_id and data. Longer: a header
// frame (0xFFFE, msg_id, length + 2), then data and CRC 8 bytes a frame with the data flag.
inline QVector<ReferenceCanFrame> reference_frames_on(uint32_t id, bool ext, uint16_t msgId, const QByteArray &data)
{
    if (data.size() <= 6 && msgId != 0xFFFE)
        return {{id, ext, le16(msgId) + data}};
    QVector<ReferenceCanFrame> out{{id, ext, le16(0xFFFE) + le16(msgId) +
                                                 le16(uint16_t(data.size() + 2))}};
    const uint32_t dataFlag = ext ? (1u << 28) : (1u << 10);
    const QByteArray stream = data + le16(reference_crc(data));
    for (int pos = 0; pos < stream.size(); pos += 8)
        out.push_back({id | dataFlag, ext, stream.mid(pos, 8)});
    return out;
}

inline QVector<ReferenceCanFrame> reference_frames(uint16_t msgId, uint16_t from, uint16_t to, const QByteArray &data)
{
    const ReferenceCanFrame a = reference_address(from, to);
    return reference_frames_on(a.id, a.extended, msgId, data);
}

// A test payload that differs per size and seed.
inline QByteArray reference_pattern(int size, int seed)
{
    QByteArray b(size, '\0');
    for (int i = 0; i < size; ++i)
        b[i] = char((i * 7 + seed * 13 + (i >> 8)) & 0xFF);
    return b;
}
