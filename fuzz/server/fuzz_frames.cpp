// Arbitrary bytes, cut into arbitrary pieces, through the receive procedure of
// both ends and the parsers. Every frame handed out must be whole and
// self-consistent, and the buffer must never hold more than one frame's worth.

#include "server/corvid_wire.h"
#include "fuzz/fuzz_check.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

uint32_t le32(const QByteArray &b, int off)
{
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = (v << 8) | uint8_t(b.at(off + i));
    return v;
}

void run(CorvidFrameReceiver &rx, const QByteArray &input, int piece)
{
    for (int pos = 0; pos < input.size(); pos += piece) {
        rx.append(input.mid(pos, piece));
        crs_frame_t f;
        while (rx.takeFrame(f)) {
            check(f.bytes.size() >= CRS_FRAME_FIXED && f.bytes.size() <= CRS_MAX_FRAME_SIZE);
            check(uint8_t(f.bytes.at(0)) == 0x5E && uint8_t(f.bytes.at(1)) == 0xBA);
            check(le32(f.bytes, 2) == f.kind);
            check(int(le32(f.bytes, 6)) == f.bytes.size());
            switch (f.kind) {
            case FrameMsg2Sat: {
                const auto m = parseMsg2SatFrame(f.bytes);
                check(m.has_value());
                check(m->data.size() == m->header.length);
                const corvid_message msg = m->message();
                check(buildMsg2SatFrame(m->header.recId, msg).size() == 24 + m->data.size());
                break;
            }
            case FrameMsg2App: {
                const auto m = parseMsg2AppFrame(f.bytes);
                check(m.has_value());
                check(m->data.size() == m->header.length);
                const corvid_message msg = m->message();
                const QByteArray again = buildMsg2AppFrame(msg, m->header.stampId, m->header.status, m->header.dir,
                                                           m->header.tag, m->hasAx25 ? &m->ax25 : nullptr);
                check(parseMsg2AppFrame(again).has_value());
                break;
            }
            case FrameAppInfo:
                if (const auto a = parseAppInfoFrame(f.bytes))
                    check(a->name.size() <= CRS_NAME_SIZE);
                break;
            case FrameSrvInfo:
                if (const auto s = parseSrvInfoFrame(f.bytes))
                    check(s->name.size() <= CRS_NAME_SIZE);
                break;
            case FrameSrvState:
                check(parseSrvStateFrame(f.bytes).has_value());
                break;
            default:
                check(false);
            }
        }
        if (rx.state() == 0)
            check(rx.bufferedBytes() < CRS_HUNT_MIN);
        else
            check(rx.bufferedBytes() < rx.expectedLength() && rx.expectedLength() <= CRS_MAX_FRAME_SIZE);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const int piece = 1 + data[0] % 64;
    const QByteArray input(reinterpret_cast<const char *>(data + 1), int(size - 1));
    CorvidFrameReceiver server(CorvidFrameReceiver::serverKinds());
    CorvidFrameReceiver client(CorvidFrameReceiver::clientKinds());
    run(server, input, piece);
    run(client, input, piece == 1 ? int(input.size()) + 1 : piece - 1);
    // Whole inputs straight into the parsers as well.
    (void)parseMsg2SatFrame(input);
    (void)parseMsg2AppFrame(input);
    (void)parseAppInfoFrame(input);
    (void)parseSrvInfoFrame(input);
    (void)parseSrvStateFrame(input);
    return 0;
}
