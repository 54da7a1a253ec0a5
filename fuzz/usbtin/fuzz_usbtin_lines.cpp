// The serial adapter's reply parser on arbitrary bytes, fed in reads of
// arbitrary sizes: it must keep its buffer bounded, never yield a frame
// longer than 8 bytes, and read back every frame line it writes.

#include "connectors/usbtin_protocol.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    // The first byte sets the read size, the rest is the adapter's output.
    const size_t chunk = size_t(data[0] % 32) + 1;
    QByteArray buffer;
    usbtin::Reply reply;
    for (size_t pos = 1; pos < size; pos += chunk) {
        buffer.append(reinterpret_cast<const char *>(data + pos), int(std::min(chunk, size - pos)));
        while (usbtin::takeReply(buffer, reply)) {
            if (reply.kind == usbtin::ReplyKind::Frame && reply.frame.can_dlc > 8)
                abort();
            if ((reply.kind == usbtin::ReplyKind::FirmwareVersion ||
                 reply.kind == usbtin::ReplyKind::HardwareVersion) && reply.version.size() != 4)
                abort();
        }
        if (buffer.size() >= usbtin::kLongestLine)
            abort();
    }

    // A frame made of the input's first bytes survives its own line.
    if (size >= 14) {
        can_message f;
        memcpy(&f.can_identifier, data + 1, 4);
        f.can_extbit = data[5] & 1;
        f.can_rtr = data[5] & 2;
        f.can_dlc = data[5] >> 4;
        memcpy(f.data, data + 6, 8);
        const QByteArray line = usbtin::frameLine(&f);
        if (line.size() != usbtin::frameLineSize(f.can_extbit, f.can_rtr, f.can_dlc) ||
            !usbtin::parseLine(line.constData(), line.size() - 1, reply) || reply.kind != usbtin::ReplyKind::Frame)
            abort();
        const can_message &g = reply.frame;
        const uint32_t mask = f.can_extbit ? 0x1FFFFFFFu : 0x7FFu;
        if (g.can_identifier != (f.can_identifier & mask) || !g.can_extbit != !f.can_extbit ||
            !g.can_rtr != !f.can_rtr || g.can_dlc != f.can_dlc ||
            (!f.can_rtr && memcmp(g.data, f.data, f.can_dlc) != 0))
            abort();
    }
    return 0;
}
