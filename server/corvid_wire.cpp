#include "server/corvid_wire.h"

#include <QDateTime>
#include <cstring>

namespace {

void put16(char *p, uint16_t v)
{
    p[0] = char(v & 0xFF);
    p[1] = char(v >> 8);
}

void put32(char *p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = char((v >> (8 * i)) & 0xFF);
}

void put64(char *p, uint64_t v)
{
    for (int i = 0; i < 8; ++i)
        p[i] = char((v >> (8 * i)) & 0xFF);
}

uint16_t get16(const char *p)
{
    return uint16_t(uint8_t(p[0]) | (uint16_t(uint8_t(p[1])) << 8));
}

uint32_t get32(const char *p)
{
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = (v << 8) | uint8_t(p[i]);
    return v;
}

uint64_t get64(const char *p)
{
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = (v << 8) | uint8_t(p[i]);
    return v;
}

void putName(char *p, const QByteArray &name)
{
    std::memset(p, 0, CRS_NAME_SIZE);
    std::memcpy(p, name.constData(), size_t(qMin(name.size(), CRS_NAME_SIZE)));
}

// Smallest frame of each kind: fixed part plus its header or payload.
int minFrameSize(uint32_t kind)
{
    switch (kind) {
    case FrameMsg2Sat:
        return CRS_FRAME_FIXED + CRS_APP_TO_CORVID_SIZE;
    case FrameAppInfo:
        return CRS_FRAME_FIXED + CRS_APP_INFO_SIZE;
    case FrameMsg2App:
        return CRS_FRAME_FIXED + CRS_CORVID_TO_APP_SIZE;
    case FrameSrvInfo:
        return CRS_FRAME_FIXED + CRS_SERVER_INFO_SIZE;
    case FrameSrvState:
        return CRS_FRAME_FIXED + CRS_SERVER_STATE_SIZE;
    default:
        return CRS_FRAME_FIXED;
    }
}

// The data a message frame announces must lie inside the frame.
bool dataFits(uint32_t kind, const char *p, int size)
{
    if (kind == FrameMsg2Sat)
        return size >= minFrameSize(kind) && minFrameSize(kind) + int(get16(p + CRS_PAYLOAD_OFFSET + 10)) <= size;
    if (kind == FrameMsg2App)
        return size >= minFrameSize(kind) && minFrameSize(kind) + int(get16(p + CRS_PAYLOAD_OFFSET + 34)) <= size;
    return size >= minFrameSize(kind);
}

// Start marker, kind, length field equal to the bytes given, room for the payload.
bool frameOk(const QByteArray &frame, uint32_t kind)
{
    const int size = frame.size();
    if (size < minFrameSize(kind) || size > CRS_MAX_FRAME_SIZE)
        return false;
    const char *p = frame.constData();
    return get16(p) == CRS_START_MARKER && get32(p + 2) == kind && get32(p + 6) == uint32_t(size);
}

corvid_message messageOf(uint16_t id, uint16_t from, uint16_t to, const QByteArray &data)
{
    corvid_message m;
    m.msg_id = id;
    m.address_from = from;
    m.address_to = to;
    m.length = uint16_t(data.size());
    m.data = data.isEmpty() ? nullptr : reinterpret_cast<uint8_t *>(const_cast<char *>(data.constData()));
    return m;
}

} // namespace

corvid_message crs_msg2sat_t::message() const
{
    return messageOf(header.msg_id, header.address_from, header.address_to, data);
}

corvid_message crs_msg2app_t::message() const
{
    return messageOf(header.msg_id, header.address_from, header.address_to, data);
}

QByteArray crs_read_name(const char *field32)
{
    int n = 0;
    while (n < CRS_NAME_SIZE && field32[n] != '\0')
        ++n;
    return QByteArray(field32, n);
}

QByteArray encodeAppToCorvid(const crs_app_to_corvid_t &h)
{
    char p[CRS_APP_TO_CORVID_SIZE] = {};
    put32(p, h.recId);
    put16(p + 4, h.msg_id);
    put16(p + 6, h.address_from);
    put16(p + 8, h.address_to);
    put16(p + 10, h.length);
    return QByteArray(p, CRS_APP_TO_CORVID_SIZE);
}

QByteArray encodeCorvidToApp(const crs_corvid_to_app_t &h)
{
    char p[CRS_CORVID_TO_APP_SIZE] = {};
    put32(p, h.dir);
    put32(p + 4, h.status);
    put64(p + 8, uint64_t(h.time_ms));
    put64(p + 16, h.stampId);
    put32(p + 24, h.tag);
    put16(p + 28, h.msg_id);
    put16(p + 30, h.address_from);
    put16(p + 32, h.address_to);
    put16(p + 34, h.length);
    return QByteArray(p, CRS_CORVID_TO_APP_SIZE);
}

QByteArray encodeAppInfo(const crs_app_info_t &info)
{
    char p[CRS_APP_INFO_SIZE] = {};
    put32(p, info.version);
    putName(p + 4, info.name);
    p[36] = char(info.observer);
    return QByteArray(p, CRS_APP_INFO_SIZE);
}

QByteArray encodeServerInfo(const crs_server_info_t &info)
{
    char p[CRS_SERVER_INFO_SIZE] = {};
    put32(p, info.version);
    put32(p + 4, info.one);
    put64(p + 16, uint64_t(info.time_ms));
    putName(p + 24, info.name);
    return QByteArray(p, CRS_SERVER_INFO_SIZE);
}

QByteArray encodeServerState(const crs_server_state_t &state)
{
    char p[CRS_SERVER_STATE_SIZE] = {};
    put32(p + 4, state.hw_state);
    put32(p + 12, state.hw_error);
    return QByteArray(p, CRS_SERVER_STATE_SIZE);
}

QByteArray buildFrame(uint32_t kind, const QByteArray &payload)
{
    const int size = CRS_FRAME_FIXED + payload.size();
    QByteArray f(size, '\0');
    char *p = f.data();
    put16(p, CRS_START_MARKER);
    put32(p + 2, kind);
    put32(p + 6, uint32_t(size));
    std::memcpy(p + CRS_PAYLOAD_OFFSET, payload.constData(), size_t(payload.size()));
    put16(p + size - 2, CRS_END_MARKER);
    return f;
}

QByteArray buildMsgFrame(uint32_t kind, const QByteArray &header, const corvid_message &msg, const AX25Header *ax25)
{
    const int size = CRS_FRAME_FIXED + header.size() + int(msg.length) + (ax25 ? CRS_AX25_HEADER_SIZE : 0);
    QByteArray f(size, '\0');
    char *p = f.data();
    put16(p, CRS_START_MARKER);
    put32(p + 2, kind);
    put32(p + 6, uint32_t(size));
    char *q = p + CRS_PAYLOAD_OFFSET;
    std::memcpy(q, header.constData(), size_t(header.size()));
    q += header.size();
    if (msg.length && msg.data)
        std::memcpy(q, msg.data, msg.length);
    q += msg.length;  // null data: the zeros already there go out
    if (ax25)
        std::memcpy(q, ax25, CRS_AX25_HEADER_SIZE);
    put16(p + size - 2, CRS_END_MARKER);
    return f;
}

namespace {
crs_clock_fn g_clock = nullptr;
}

void crs_set_clock(crs_clock_fn clock)
{
    g_clock = clock;
}

int64_t crs_now_ms()
{
    return g_clock ? g_clock() : QDateTime::currentMSecsSinceEpoch();
}

QByteArray buildMsg2AppFrame(const corvid_message &msg, uint64_t stampId, uint32_t status, uint32_t dir,
                             uint32_t tag, const AX25Header *ax25)
{
    crs_corvid_to_app_t h;
    h.dir = dir;
    h.status = status;
    h.time_ms = crs_now_ms();
    h.stampId = stampId;
    h.tag = tag;
    h.msg_id = msg.msg_id;
    h.address_from = msg.address_from;
    h.address_to = msg.address_to;
    h.length = msg.length;
    return buildMsgFrame(FrameMsg2App, encodeCorvidToApp(h), msg, ax25);
}

QByteArray buildSrvInfoFrame()
{
    crs_server_info_t info;
    info.time_ms = crs_now_ms();
    info.name = QByteArray(CRS_SERVER_NAME);
    return buildFrame(FrameSrvInfo, encodeServerInfo(info));
}

QByteArray buildSrvStateFrame(uint32_t hw_state, uint32_t hw_error)
{
    crs_server_state_t s;
    s.hw_state = hw_state;
    s.hw_error = hw_error;
    return buildFrame(FrameSrvState, encodeServerState(s));
}

QByteArray buildMsg2SatFrame(uint32_t recId, const corvid_message &msg)
{
    crs_app_to_corvid_t h;
    h.recId = recId;
    h.msg_id = msg.msg_id;
    h.address_from = msg.address_from;
    h.address_to = msg.address_to;
    h.length = msg.length;
    return buildMsgFrame(FrameMsg2Sat, encodeAppToCorvid(h), msg);
}

QByteArray buildAppInfoFrame(uint32_t version, const QByteArray &name, bool observer)
{
    crs_app_info_t info;
    info.version = version;
    info.name = name;
    info.observer = observer ? 1 : 0;
    return buildFrame(FrameAppInfo, encodeAppInfo(info));
}

std::optional<crs_msg2sat_t> parseMsg2SatFrame(const QByteArray &frame)
{
    if (!frameOk(frame, FrameMsg2Sat) || !dataFits(FrameMsg2Sat, frame.constData(), frame.size()))
        return std::nullopt;
    const char *p = frame.constData() + CRS_PAYLOAD_OFFSET;
    crs_msg2sat_t m;
    m.header.recId = get32(p);
    m.header.msg_id = get16(p + 4);
    m.header.address_from = get16(p + 6);
    m.header.address_to = get16(p + 8);
    m.header.length = get16(p + 10);
    m.data = QByteArray(p + CRS_APP_TO_CORVID_SIZE, m.header.length);
    return m;
}

std::optional<crs_msg2app_t> parseMsg2AppFrame(const QByteArray &frame)
{
    if (!frameOk(frame, FrameMsg2App) || !dataFits(FrameMsg2App, frame.constData(), frame.size()))
        return std::nullopt;
    const char *p = frame.constData() + CRS_PAYLOAD_OFFSET;
    crs_msg2app_t m;
    m.header.dir = get32(p);
    m.header.status = get32(p + 4);
    m.header.time_ms = int64_t(get64(p + 8));
    m.header.stampId = get64(p + 16);
    m.header.tag = get32(p + 24);
    m.header.msg_id = get16(p + 28);
    m.header.address_from = get16(p + 30);
    m.header.address_to = get16(p + 32);
    m.header.length = get16(p + 34);
    const char *data = p + CRS_CORVID_TO_APP_SIZE;
    m.data = QByteArray(data, m.header.length);
    const int plain = CRS_FRAME_FIXED + CRS_CORVID_TO_APP_SIZE + int(m.header.length);
    if (frame.size() == plain + CRS_AX25_HEADER_SIZE) {
        m.hasAx25 = true;
        std::memcpy(&m.ax25, data + m.header.length, CRS_AX25_HEADER_SIZE);
    }
    return m;
}

std::optional<crs_app_info_t> parseAppInfoFrame(const QByteArray &frame)
{
    if (!frameOk(frame, FrameAppInfo) || get16(frame.constData() + frame.size() - 2) != CRS_END_MARKER)
        return std::nullopt;
    const char *p = frame.constData() + CRS_PAYLOAD_OFFSET;
    crs_app_info_t info;
    info.version = get32(p);
    info.name = crs_read_name(p + 4);
    info.observer = uint8_t(p[36]);
    return info;
}

std::optional<crs_server_info_t> parseSrvInfoFrame(const QByteArray &frame)
{
    if (!frameOk(frame, FrameSrvInfo))
        return std::nullopt;
    const char *p = frame.constData() + CRS_PAYLOAD_OFFSET;
    crs_server_info_t info;
    info.version = get32(p);
    info.one = get32(p + 4);
    info.time_ms = int64_t(get64(p + 16));
    info.name = crs_read_name(p + 24);
    return info;
}

std::optional<crs_server_state_t> parseSrvStateFrame(const QByteArray &frame)
{
    if (!frameOk(frame, FrameSrvState))
        return std::nullopt;
    const char *p = frame.constData() + CRS_PAYLOAD_OFFSET;
    crs_server_state_t s;
    s.hw_state = get32(p + 4);
    s.hw_error = get32(p + 12);
    return s;
}

// --- CorvidFrameReceiver ---

const QVector<uint32_t> &CorvidFrameReceiver::serverKinds()
{
    static const QVector<uint32_t> kinds{FrameAppInfo, FrameMsg2Sat, FrameMsg2App};
    return kinds;
}

const QVector<uint32_t> &CorvidFrameReceiver::clientKinds()
{
    static const QVector<uint32_t> kinds{FrameSrvInfo, FrameMsg2App, FrameSrvState};
    return kinds;
}

CorvidFrameReceiver::CorvidFrameReceiver(const QVector<uint32_t> &acceptedKinds) : m_kinds(acceptedKinds) {}

void CorvidFrameReceiver::append(const QByteArray &bytes)
{
    // Consumed bytes are given back before the buffer grows, so it never holds
    // more than one unfinished frame plus what the socket just delivered.
    if (m_head > 0) {
        m_buffer.remove(0, m_head);
        m_head = 0;
    }
    m_buffer.append(bytes);
}

void CorvidFrameReceiver::clear()
{
    m_buffer.clear();
    m_head = 0;
    m_state = 0;
    m_expected = 0;
}

bool CorvidFrameReceiver::hunt()
{
    const char *base = m_buffer.constData();
    while (m_buffer.size() - m_head >= CRS_HUNT_MIN) {
        const char *p = base + m_head;
        if (get16(p) == CRS_START_MARKER) {
            const uint32_t kind = get32(p + 2);
            if (m_kinds.contains(kind)) {
                const int32_t len = int32_t(get32(p + 6));
                if (len >= minFrameSize(kind) && len <= CRS_MAX_FRAME_SIZE) {
                    m_state = kind;
                    m_expected = len;
                    return true;
                }
            }
        }
        ++m_head;
    }
    return false;
}

bool CorvidFrameReceiver::takeFrame(crs_frame_t &frame)
{
    for (;;) {
        if (m_state == 0 && !hunt())
            return false;
        if (m_buffer.size() - m_head < m_expected)
            return false;
        const uint32_t kind = m_state;
        const char *p = m_buffer.constData() + m_head;
        const bool fits = dataFits(kind, p, m_expected);
        QByteArray bytes = fits ? QByteArray(p, m_expected) : QByteArray();
        m_head += m_expected;
        m_state = 0;
        m_expected = 0;
        if (m_head == m_buffer.size()) {
            m_buffer.clear();
            m_head = 0;
        }
        if (!fits) {
            ++m_rejected;
            continue;
        }
        frame.kind = kind;
        frame.bytes = bytes;
        return true;
    }
}

QVector<crs_frame_t> CorvidFrameReceiver::feed(const QByteArray &bytes)
{
    append(bytes);
    QVector<crs_frame_t> frames;
    crs_frame_t f;
    while (takeFrame(f))
        frames.append(f);
    return frames;
}
