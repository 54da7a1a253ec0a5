#pragma once
// KISS framing without sockets: escaping, whole frames, and a deframer that
// cuts a byte stream into frames however the stream was split into reads.

#include <QByteArray>
#include <QString>
#include <QVector>
#include <cstdint>

constexpr uint8_t KISS_FEND = 0xC0;
constexpr uint8_t KISS_FESC = 0xDB;
constexpr uint8_t KISS_TFEND = 0xDC;
constexpr uint8_t KISS_TFESC = 0xDD;

// Escapes every byte from `first` on in place: FEND -> FESC TFEND, FESC -> FESC TFESC.
void kissEscape(QByteArray &bytes, int first);
// Undoes the escaping in place; bare FEND bytes are removed, a FESC before any
// other byte is dropped and the byte kept.
void kissUnescape(QByteArray &bytes);

// FEND, the command byte, `content` escaped, FEND.
QByteArray kiss_frame(uint8_t command, const QByteArray &content);

class KissDeframer {
public:
    // maxFrame: the largest unescaped frame (command byte included) accepted.
    explicit KissDeframer(int maxFrame) : m_maxFrame(maxFrame) {}

    // Data frames completed by these bytes, each starting with its command
    // byte. Empty frames and frames of other commands are skipped; bytes before
    // the first FEND are noise. A frame that grows past the limit is dropped
    // (counted in oversized()) and reading resumes at the next FEND.
    QVector<QByteArray> feed(const char *data, int size);
    QVector<QByteArray> feed(const QByteArray &bytes) { return feed(bytes.constData(), bytes.size()); }
    void reset();

    int oversized() const { return m_oversized; }
    int pendingBytes() const { return m_frame.size(); }

private:
    enum class State { Hunting, InFrame, Dropping };
    QByteArray m_frame;
    State m_state = State::Hunting;
    bool m_escape = false;
    int m_maxFrame;
    int m_oversized = 0;
};
