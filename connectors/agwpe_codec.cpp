#include "connectors/agwpe_codec.h"

#include <cstring>

namespace {

void putLe32(char *to, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        to[i] = char((v >> (8 * i)) & 0xFF);
}

uint32_t le32(const char *from)
{
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
        v |= uint32_t(uint8_t(from[i])) << (8 * i);
    return v;
}

QByteArray call(const char *field)
{
    return QByteArray(field, int(strnlen(field, 10)));
}

}  // namespace

QByteArray agwpe_header_bytes(const agwpe_header &h)
{
    char p[AGWPE_HEADER_SIZE] = {};
    p[0] = char(h.port);
    p[4] = h.kind;
    p[6] = char(h.pid);
    std::memcpy(p + 8, h.callFrom.constData(), size_t(qMin(h.callFrom.size(), 10)));
    std::memcpy(p + 18, h.callTo.constData(), size_t(qMin(h.callTo.size(), 10)));
    putLe32(p + 28, h.dataLength);
    putLe32(p + 32, h.user);
    return QByteArray(p, AGWPE_HEADER_SIZE);
}

agwpe_header agwpe_parse_header(const char *bytes)
{
    agwpe_header h;
    h.port = uint8_t(bytes[0]);
    h.kind = bytes[4];
    h.pid = uint8_t(bytes[6]);
    h.callFrom = call(bytes + 8);
    h.callTo = call(bytes + 18);
    h.dataLength = le32(bytes + 28);
    h.user = le32(bytes + 32);
    return h;
}

QVector<agwpe_frame> AgwpeReader::feed(const QByteArray &bytes)
{
    QVector<agwpe_frame> frames;
    if (m_broken)
        return frames;
    m_buffer.append(bytes);
    int pos = 0;
    for (;;) {
        if (!m_awaitingData) {
            if (m_buffer.size() - pos < AGWPE_HEADER_SIZE)
                break;
            m_header = agwpe_parse_header(m_buffer.constData() + pos);
            pos += AGWPE_HEADER_SIZE;
            if (m_header.dataLength > m_maxData) {
                m_broken = true;
                m_buffer.clear();
                return frames;
            }
            m_awaitingData = true;
        }
        if (uint32_t(m_buffer.size() - pos) < m_header.dataLength)
            break;
        frames.append({m_header, m_buffer.mid(pos, int(m_header.dataLength))});
        pos += int(m_header.dataLength);
        m_awaitingData = false;
    }
    m_buffer.remove(0, pos);
    return frames;
}

void AgwpeReader::reset()
{
    m_buffer.clear();
    m_header = agwpe_header();
    m_awaitingData = false;
    m_broken = false;
}
