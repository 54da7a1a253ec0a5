// Arbitrary bytes through the KISS deframer, whole and cut into pieces: the
// same data frames either way, each within the limit, starting with a data
// command, and each framed again and deframed to itself.

#include "connectors/kiss_codec.h"
#include "fuzz/radio/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), int(size));
    constexpr int limit = 300;
    KissDeframer whole(limit);
    const QVector<QByteArray> frames = whole.feed(input);

    KissDeframer cut(limit);
    check(feedInPieces(cut, input) == frames);
    check(cut.oversized() == whole.oversized());

    for (const QByteArray &f : frames) {
        check(!f.isEmpty() && f.size() <= limit && (uint8_t(f[0]) & 0x0F) == 0);
        QByteArray escaped = f;
        kissEscape(escaped, 0);
        check(!escaped.contains(char(KISS_FEND)));
        QByteArray framed(1, char(KISS_FEND));
        framed.append(escaped).append(char(KISS_FEND));
        KissDeframer again(limit);
        check(again.feed(framed) == QVector<QByteArray>{f});
        // The command byte goes out as it is; a data command is never FEND.
        if (uint8_t(f[0]) != KISS_FEND)
            check(kiss_frame(uint8_t(f[0]), f.mid(1)) == framed);
        kissUnescape(escaped);
        check(escaped == f);
    }
    QByteArray loose = input;
    kissUnescape(loose);
    check(loose.size() <= input.size());
    return 0;
}
