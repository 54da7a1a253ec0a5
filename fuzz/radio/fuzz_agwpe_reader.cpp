// Arbitrary bytes through the AGWPE reader, whole and cut into pieces: the
// same frames either way, each with exactly its header's data length, and a
// length over the limit always breaks the stream.

#include "connectors/agwpe_codec.h"
#include "fuzz/radio/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), int(size));
    constexpr uint32_t limit = 1000;
    AgwpeReader whole(limit);
    const QVector<agwpe_frame> frames = whole.feed(input);

    AgwpeReader cut(limit);
    const QVector<agwpe_frame> pieces = feedInPieces(cut, input);
    check(pieces.size() == frames.size());
    check(cut.broken() == whole.broken());

    int consumed = 0;
    for (int i = 0; i < frames.size(); ++i) {
        const agwpe_frame &f = frames[i];
        check(uint32_t(f.data.size()) == f.header.dataLength && f.header.dataLength <= limit);
        check(pieces[i].data == f.data && pieces[i].header.kind == f.header.kind);
        // The header written back reads as the one read.
        const QByteArray h = agwpe_header_bytes(f.header);
        check(h.size() == AGWPE_HEADER_SIZE);
        const agwpe_header back = agwpe_parse_header(h.constData());
        check(back.dataLength == f.header.dataLength && back.callFrom == f.header.callFrom &&
              back.callTo == f.header.callTo && back.kind == f.header.kind);
        check(input.mid(consumed + AGWPE_HEADER_SIZE, f.data.size()) == f.data);
        consumed += AGWPE_HEADER_SIZE + f.data.size();
    }
    if (whole.broken())
        check(whole.header().dataLength > limit);
    else
        check(whole.pendingBytes() == input.size() - consumed - (whole.awaitingData() ? AGWPE_HEADER_SIZE : 0));
    return 0;
}
