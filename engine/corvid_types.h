#pragma once
// Records shared by the whole server: the bus message, one CAN frame and the
// 17-byte AX.25 radio header. Plain data, passed by value through Qt signals.

#include <QByteArray>
#include <QMetaType>
#include <cstdint>
#include <optional>

// A bus message. `data` is never owned by the record: whoever fills it owns
// the bytes and keeps them alive as long as the record is in use.
struct corvid_message {
    uint16_t msg_id = 0;
    uint16_t address_from = 0;
    uint16_t address_to = 0;
    uint16_t length = 0;
    uint8_t *data = nullptr;
};

// A message record over `data`, which must outlive it; senders only read the
// bytes. A temporary would leave the record dangling, so it is refused.
inline corvid_message corvid_message_over(uint16_t msg_id, uint16_t from, uint16_t to, const QByteArray &data)
{
    corvid_message m;
    m.msg_id = msg_id;
    m.address_from = from;
    m.address_to = to;
    m.length = uint16_t(data.size());
    m.data = reinterpret_cast<uint8_t *>(const_cast<char *>(data.constData()));
    return m;
}
corvid_message corvid_message_over(uint16_t, uint16_t, uint16_t, QByteArray &&) = delete;

// A bus message that owns its data bytes: how a link hands a received message
// to the hub, so it may be kept beyond the call that produced it.
struct corvid_owned_message {
    uint16_t msg_id = 0;
    uint16_t address_from = 0;
    uint16_t address_to = 0;
    QByteArray data;  // at most 65,535 bytes

    // Copies the record's `length` data bytes (zeros where it has no data).
    static corvid_owned_message copyOf(const corvid_message &message);
    // A record over `data`: valid while this lives and `data` is not changed.
    corvid_message record() const;
};

// One CAN frame as exchanged between the engine and the CAN connectors.
struct can_message {
    uint32_t can_identifier = 0;
    uint8_t can_rtr = 0;
    uint8_t can_extbit = 0;   // 0 standard; non-zero extended (the engine writes 4)
    uint8_t can_dlc = 0;      // 0..8
    uint8_t data[8] = {};
};

// AX.25 address and control header of a radio frame, byte for byte as on the air.
#pragma pack(push, 1)
struct AX25Header {
    uint8_t port = 0;               // modem port / KISS command byte
    uint8_t dest_callsign[6] = {};  // characters shifted left by one bit
    uint8_t dest_ssid = 0;
    uint8_t src_callsign[6] = {};
    uint8_t src_ssid = 0;
    uint8_t control = 0;
    uint8_t pid = 0;
};
#pragma pack(pop)
static_assert(sizeof(AX25Header) == 17, "AX25Header must be 17 bytes");

// The radio header as it travels with a message through signals and into the
// log's threads: a copy, so it lives exactly as long as the message does.
// Empty for messages that did not come over a radio link.
using AX25HeaderOpt = std::optional<AX25Header>;

// A callsign field of the header (6 bytes, characters shifted left by one bit)
// as text: ends at the first 0x00 or 0x40 (a shifted blank).
inline QByteArray corvid_ax25_callsign(const uint8_t (&field)[6])
{
    QByteArray callsign;
    for (const uint8_t byte : field) {
        if (byte == 0x00 || byte == 0x40)
            break;
        callsign += char(byte >> 1);
    }
    return callsign;
}

Q_DECLARE_METATYPE(corvid_message)
Q_DECLARE_METATYPE(corvid_owned_message)
Q_DECLARE_METATYPE(can_message)
Q_DECLARE_METATYPE(AX25HeaderOpt)

// Registers the records with Qt's meta-type system (under the names
// "corvid_message", "corvid_owned_message", "can_message", "AX25HeaderOpt");
// safe to call more than once.
void corvid_register_metatypes();
