// Received datagrams of the UDP link: cut into messages, the messages written
// back must give the datagram's bytes up to the leftover, and nothing is lost
// or invented.
#include "connectors/corvid_udp_datagram.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray datagram(reinterpret_cast<const char *>(data), int(size));
    const corvid_udp_cut_t cut = corvid_udp_cut(datagram);
    if (cut.leftover < 0 || cut.leftover > datagram.size())
        abort();
    QByteArray rebuilt;
    for (const auto &m : cut.messages) {
        const corvid_message record = m.record();
        if (record.length != m.data.size())
            abort();
        rebuilt += corvid_udp_payload(record);
    }
    if (rebuilt.size() + cut.leftover != datagram.size() || !datagram.startsWith(rebuilt))
        abort();
    // Leftover starts with a header that does not fit, or is shorter than one.
    if (cut.leftover >= CORVID_UDP_HEADER_SIZE) {
        const auto *rest = reinterpret_cast<const uint8_t *>(datagram.constData()) + rebuilt.size();
        if (rest[6] + (rest[7] << 8) + CORVID_UDP_HEADER_SIZE <= cut.leftover)
            abort();
    }
    return 0;
}
