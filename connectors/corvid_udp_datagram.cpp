#include "connectors/corvid_udp_datagram.h"

#include <QtEndian>

corvid_udp_cut_t corvid_udp_cut(const QByteArray &datagram)
{
    corvid_udp_cut_t out;
    const auto *bytes = reinterpret_cast<const uchar *>(datagram.constData());
    const int size = datagram.size();
    int pos = 0;
    while (size - pos >= CORVID_UDP_HEADER_SIZE) {
        const int length = qFromLittleEndian<quint16>(bytes + pos + 6);
        if (length > size - pos - CORVID_UDP_HEADER_SIZE)
            break;
        corvid_owned_message m;
        m.msg_id = qFromLittleEndian<quint16>(bytes + pos);
        m.address_from = qFromLittleEndian<quint16>(bytes + pos + 2);
        m.address_to = qFromLittleEndian<quint16>(bytes + pos + 4);
        m.data = datagram.mid(pos + CORVID_UDP_HEADER_SIZE, length);
        out.messages.append(m);
        pos += CORVID_UDP_HEADER_SIZE + length;
    }
    out.leftover = size - pos;
    return out;
}

QByteArray corvid_udp_payload(const corvid_message &msg)
{
    if (msg.length && !msg.data)
        return QByteArray();
    QByteArray out(CORVID_UDP_HEADER_SIZE + msg.length, Qt::Uninitialized);
    auto *p = reinterpret_cast<uchar *>(out.data());
    qToLittleEndian<quint16>(msg.msg_id, p);
    qToLittleEndian<quint16>(msg.address_from, p + 2);
    qToLittleEndian<quint16>(msg.address_to, p + 4);
    qToLittleEndian<quint16>(msg.length, p + 6);
    if (msg.length)
        memcpy(p + CORVID_UDP_HEADER_SIZE, msg.data, msg.length);
    return out;
}
