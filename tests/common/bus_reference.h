#pragma once
// A bitwise CRC-16/XMODEM for the tests, kept apart from the engine's
// table-driven one so that a fault there cannot hide in both.

#include <QByteArray>
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
