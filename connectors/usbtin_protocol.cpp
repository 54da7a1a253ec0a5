#include "connectors/usbtin_protocol.h"


namespace usbtin {

namespace {

constexpr char kCR = '\r';
constexpr char kBEL = '\a';

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Value of `count` hex digits at `p`; false when one is not a hex digit.
bool hexValue(const char *p, int count, uint32_t &value)
{
    value = 0;
    for (int i = 0; i < count; ++i) {
        const int d = hexDigit(p[i]);
        if (d < 0)
            return false;
        value = value << 4 | uint32_t(d);
    }
    return true;
}

// A frame reply filling exactly `size` bytes at `p`.
bool parseFrame(const char *p, int size, Reply &reply)
{
    const char kind = p[0];
    const bool extended = kind == 'T' || kind == 'R';
    const bool remote = kind == 'r' || kind == 'R';
    const int idDigits = extended ? 8 : 3;
    if (size < 2 + idDigits)
        return false;
    uint32_t id = 0, dlc = 0;
    if (!hexValue(p + 1, idDigits, id) || !hexValue(p + 1 + idDigits, 1, dlc))
        return false;
    if (dlc > 8)
        dlc = 8;
    const int dataDigits = remote ? 0 : int(2 * dlc);
    if (size != 2 + idDigits + dataDigits)
        return false;
    can_message frame;
    frame.can_identifier = id;
    frame.can_extbit = extended ? 1 : 0;
    frame.can_rtr = remote ? 1 : 0;
    frame.can_dlc = uint8_t(dlc);
    for (int i = 0; i < dataDigits / 2; ++i) {
        uint32_t byte = 0;
        if (!hexValue(p + 2 + idDigits + 2 * i, 2, byte))
            return false;
        frame.data[i] = uint8_t(byte);
    }
    reply.kind = ReplyKind::Frame;
    reply.frame = frame;
    return true;
}

// A reply that fills exactly `size` bytes at `p`.
bool parseItem(const char *p, int size, Reply &reply)
{
    switch (p[0]) {
    case 'z':
        if (size != 1)
            return false;
        reply.kind = ReplyKind::Ack;
        return true;
    case 'v':
    case 'V':
        if (size != 5)
            return false;
        reply.kind = p[0] == 'v' ? ReplyKind::FirmwareVersion : ReplyKind::HardwareVersion;
        reply.version = QByteArray(p + 1, 4);
        return true;
    case 't':
    case 'T':
    case 'r':
    case 'R':
        return parseFrame(p, size, reply);
    default:
        return false;
    }
}

}  // namespace

// Only the few lengths a reply can have are tried, longest first, so that a
// version text ending in 'z' is not taken for an acknowledgement.
bool parseLine(const char *line, int size, Reply &reply)
{
    static const int kSizes[] = {26, 24, 22, 21, 20, 19, 18, 17, 16, 15, 14, 13, 12, 11, 10, 9, 7, 5, 1};
    for (const int n : kSizes) {
        if (n <= size && parseItem(line + size - n, n, reply))
            return true;
    }
    return false;
}

QByteArray frameLine(can_message *frame)
{
    if (frame->can_dlc > 8)
        frame->can_dlc = 8;
    const bool extended = frame->can_extbit != 0;
    const bool remote = frame->can_rtr != 0;
    // Every frame of every message passes here: digits by hand, not printf.
    static const char kHex[] = "0123456789ABCDEF";
    QByteArray line(frameLineSize(extended, remote, frame->can_dlc), Qt::Uninitialized);
    char *p = line.data();
    *p++ = extended ? (remote ? 'R' : 'T') : (remote ? 'r' : 't');
    const uint32_t id = frame->can_identifier & (extended ? 0x1FFFFFFFu : 0x7FFu);
    for (int shift = extended ? 28 : 8; shift >= 0; shift -= 4)
        *p++ = kHex[(id >> shift) & 0xF];
    *p++ = char('0' + frame->can_dlc);
    if (!remote) {
        for (int i = 0; i < frame->can_dlc; ++i) {
            *p++ = kHex[frame->data[i] >> 4];
            *p++ = kHex[frame->data[i] & 0xF];
        }
    }
    *p = kCR;
    return line;
}

int frameLineSize(bool extended, bool remote, int dlc)
{
    return (extended ? 11 : 6) + (remote ? 0 : 2 * (dlc > 8 ? 8 : dlc));
}

int64_t messageLineBytes(uint16_t length, bool extended)
{
    if (length <= 6)
        return frameLineSize(extended, false, length + 2);
    const int64_t stream = int64_t(length) + 2;  // data and checksum
    const int64_t dataFrames = (stream + 7) / 8;
    return frameLineSize(extended, false, 6) + dataFrames * frameLineSize(extended, false, 0) + 2 * stream;
}

bool takeReply(QByteArray &buffer, Reply &reply)
{
    for (;;) {
        int end = -1;
        for (int i = 0; i < buffer.size(); ++i) {
            if (buffer[i] == kCR || buffer[i] == kBEL) {
                end = i;
                break;
            }
        }
        if (end < 0) {
            if (buffer.size() >= kLongestLine)
                buffer.remove(0, buffer.size() - (kLongestLine - 1));
            return false;
        }
        const bool found = parseLine(buffer.constData(), end, reply);
        buffer.remove(0, end + 1);
        if (found)
            return true;
    }
}

}  // namespace usbtin
