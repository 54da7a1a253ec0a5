#pragma once
// Shared by the radio fuzz targets: an abort that libFuzzer reports as a crash,
// and the piece size the first input byte picks for cutting the stream.

#include <QByteArray>
#include <cstdint>
#include <cstdlib>

inline void check(bool ok)
{
    if (!ok)
        std::abort();
}

inline int pieceSize(const uint8_t *data, size_t size)
{
    return size ? 1 + data[0] % 64 : 1;
}
