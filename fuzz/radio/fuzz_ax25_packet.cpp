// Arbitrary received radio frames through the packet cutter: the header and
// the messages written back are exactly the frame's leading bytes, every
// message's data lies inside the frame, and nothing is read past its end.

#include "connectors/ax25_frame.h"
#include "fuzz/radio/fuzz_check.h"
#include "log/corvid_log_format.h"

#include <QRegularExpression>

#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // An exact-size copy: a read past the end is caught by the sanitizer.
    std::unique_ptr<char[]> exact(new char[size ? size : 1]);
    if (size)
        memcpy(exact.get(), data, size);
    const QByteArray frame = QByteArray::fromRawData(exact.get(), int(size));
    const ax25_packet p = ax25_cut_packet(frame);
    check(p.complete == (frame.size() >= AX25_HEADER_SIZE));
    if (!p.complete) {
        check(p.messages.isEmpty());
        const QByteArray h = ax25_header_bytes(p.header);
        check(h.left(frame.size()) == frame && h.mid(frame.size()).count('\0') == AX25_HEADER_SIZE - frame.size());
    }
    QByteArray rebuilt = ax25_header_bytes(p.header);
    for (const corvid_message &m : p.messages) {
        if (m.length) {
            const char *d = reinterpret_cast<const char *>(m.data);
            check(d >= frame.constData() && d + m.length <= frame.constData() + frame.size());
        }
        rebuilt += ax25_message_payload(m);
    }
    if (p.complete) {
        check(frame.startsWith(rebuilt));
        check(frame.size() - rebuilt.size() < AX25_MESSAGE_HEADER_SIZE ||
              (frame.size() - rebuilt.size()) - AX25_MESSAGE_HEADER_SIZE <
                  int(uint8_t(frame[rebuilt.size() + 6]) | uint8_t(frame[rebuilt.size() + 7]) << 8));
    }
    const QByteArray callsign = ax25_source_callsign(frame);
    check(callsign.size() <= 6);
    // Whatever the air brings, the file name part is plain.
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9_-]{0,6}$"));
    check(plain.match(corvid_log_file_callsign(QString::fromLatin1(callsign))).hasMatch());
    return 0;
}
