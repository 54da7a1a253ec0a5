#pragma once
// AGWPE framing without sockets: the 36-byte frame header, and a reader that
// cuts a byte stream into frames however the stream was split into reads.

#include <QByteArray>
#include <QVector>
#include <cstdint>

constexpr int AGWPE_HEADER_SIZE = 36;

struct agwpe_header {
    uint8_t port = 0;
    char kind = 0;        // data kind letter
    uint8_t pid = 0;
    QByteArray callFrom;  // up to 10 bytes, zero padding removed
    QByteArray callTo;
    uint32_t dataLength = 0;
    uint32_t user = 0;
};

// 36 bytes, integers little-endian, calls zero padded to 10 bytes (longer ones cut).
QByteArray agwpe_header_bytes(const agwpe_header &h);
// Reads the 36 bytes at `bytes`.
agwpe_header agwpe_parse_header(const char *bytes);

struct agwpe_frame {
    agwpe_header header;
    QByteArray data;
};

class AgwpeReader {
public:
    // maxData: the largest data length accepted; a larger one breaks the stream.
    explicit AgwpeReader(uint32_t maxData) : m_maxData(maxData) {}

    // Frames completed by these bytes, in order, of every kind. Returns what
    // was complete before a broken header; after one, broken() stays true and
    // nothing more is read until reset().
    QVector<agwpe_frame> feed(const QByteArray &bytes);
    void reset();

    bool broken() const { return m_broken; }
    bool awaitingData() const { return m_awaitingData; }
    // The header of the frame whose data is awaited, or of the broken frame.
    const agwpe_header &header() const { return m_header; }
    int pendingBytes() const { return m_buffer.size(); }

private:
    QByteArray m_buffer;
    agwpe_header m_header;
    bool m_awaitingData = false;
    bool m_broken = false;
    uint32_t m_maxData;
};
