#pragma once
// Shared by the radio fuzz targets: the piece size the first input byte
// picks for cutting the stream.

#include "fuzz/fuzz_check.h"

#include <QByteArray>
#include <cstdint>

// Feeds the input to `reader` cut into pieces of the size its first byte
// picks, and returns everything handed out.
template <typename Reader>
auto feedInPieces(Reader &reader, const QByteArray &input)
{
    const int piece = input.isEmpty() ? 1 : 1 + uint8_t(input[0]) % 64;
    decltype(reader.feed(input)) out;
    for (int pos = 0; pos < input.size(); pos += piece)
        out += reader.feed(input.mid(pos, piece));
    return out;
}
