#pragma once
// Test-side helpers for bus messages: a bitwise CRC-16/XMODEM kept apart from
// the engine's table-driven one, so that a fault there cannot hide in both,
// and a message record over a test's own bytes.

#include "engine/corvid_types.h"

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

// `data` must outlive the record.
inline corvid_message message_over(uint16_t id, uint16_t from, uint16_t to, QByteArray &data)
{
    corvid_message m;
    m.msg_id = id;
    m.address_from = from;
    m.address_to = to;
    m.length = uint16_t(data.size());
    m.data = reinterpret_cast<uint8_t *>(data.data());
    return m;
}
