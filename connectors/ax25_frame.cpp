#include "connectors/ax25_frame.h"

#include <cstring>

namespace {

void putCallsign(uint8_t (&field)[6], const QByteArray &callsign)
{
    for (int i = 0; i < AX25_CALLSIGN_CHARS; ++i) {
        const char c = i < callsign.size() ? callsign[i] : ' ';
        field[i] = uint8_t(uint8_t(c) << 1);
    }
    field[AX25_CALLSIGN_CHARS] = uint8_t(' ' << 1);
}

void putLe16(char *to, uint16_t v)
{
    to[0] = char(v & 0xFF);
    to[1] = char(v >> 8);
}

uint16_t le16(const char *from)
{
    return uint16_t(uint8_t(from[0]) | uint16_t(uint8_t(from[1])) << 8);
}

}  // namespace

AX25Header ax25_build_header(const QByteArray &groundCallsign, const QByteArray &boardCallsign, uint8_t groundSsid,
                             uint8_t boardSsid)
{
    AX25Header h;
    h.port = 0x00;
    putCallsign(h.dest_callsign, boardCallsign);
    // SSIDs are 4 bits; a larger value must not spill into the reserved bits.
    h.dest_ssid = uint8_t(uint8_t((boardSsid & 0x0F) << 1) | 0x60);
    putCallsign(h.src_callsign, groundCallsign);
    h.src_ssid = uint8_t(uint8_t((groundSsid & 0x0F) << 1) | 0x61);
    h.control = 0x00;
    h.pid = 0xF0;
    return h;
}

QByteArray ax25_header_bytes(const AX25Header &header)
{
    return QByteArray(reinterpret_cast<const char *>(&header), AX25_HEADER_SIZE);
}

QByteArray ax25_message_payload(const corvid_message &msg)
{
    QByteArray out(AX25_MESSAGE_HEADER_SIZE + msg.length, '\0');
    char *p = out.data();
    putLe16(p, msg.msg_id);
    putLe16(p + 2, msg.address_from);
    putLe16(p + 4, msg.address_to);
    putLe16(p + 6, msg.length);
    if (msg.length && msg.data)
        std::memcpy(p + AX25_MESSAGE_HEADER_SIZE, msg.data, msg.length);
    return out;
}

ax25_packet ax25_cut_packet(const QByteArray &frame)
{
    ax25_packet out;
    const int size = frame.size();
    std::memcpy(&out.header, frame.constData(), size_t(qMin(size, AX25_HEADER_SIZE)));
    out.complete = size >= AX25_HEADER_SIZE;
    if (!out.complete)
        return out;
    const char *p = frame.constData();
    int pos = AX25_HEADER_SIZE;
    while (size - pos >= AX25_MESSAGE_HEADER_SIZE) {
        corvid_message m;
        m.msg_id = le16(p + pos);
        m.address_from = le16(p + pos + 2);
        m.address_to = le16(p + pos + 4);
        m.length = le16(p + pos + 6);
        if (int(m.length) > size - pos - AX25_MESSAGE_HEADER_SIZE)
            break;
        pos += AX25_MESSAGE_HEADER_SIZE;
        m.data = m.length ? reinterpret_cast<uint8_t *>(const_cast<char *>(p + pos)) : nullptr;
        pos += m.length;
        out.messages.append(m);
    }
    return out;
}

QByteArray ax25_source_callsign(const QByteArray &frame)
{
    uint8_t field[6] = {};
    const int n = qBound(0, frame.size() - 8, 6);
    if (n > 0)
        std::memcpy(field, frame.constData() + 8, size_t(n));
    return corvid_ax25_callsign(field);
}
