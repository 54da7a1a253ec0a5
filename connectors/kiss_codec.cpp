#include "connectors/kiss_codec.h"

void kissEscape(QByteArray &bytes, int first)
{
    QByteArray out;
    out.reserve(bytes.size() + 8);
    out.append(bytes.constData(), qBound(0, first, bytes.size()));
    for (int i = qMax(first, 0); i < bytes.size(); ++i) {
        const uint8_t b = uint8_t(bytes[i]);
        if (b == KISS_FEND) {
            out.append(char(KISS_FESC));
            out.append(char(KISS_TFEND));
        } else if (b == KISS_FESC) {
            out.append(char(KISS_FESC));
            out.append(char(KISS_TFESC));
        } else {
            out.append(char(b));
        }
    }
    bytes = out;
}

void kissUnescape(QByteArray &bytes)
{
    int w = 0;
    for (int r = 0; r < bytes.size(); ++r) {
        const uint8_t b = uint8_t(bytes[r]);
        if (b == KISS_FEND)
            continue;
        if (b == KISS_FESC) {
            if (r + 1 >= bytes.size())
                break;
            const uint8_t next = uint8_t(bytes[++r]);
            bytes[w++] = char(next == KISS_TFEND ? KISS_FEND : next == KISS_TFESC ? KISS_FESC : next);
            continue;
        }
        bytes[w++] = char(b);
    }
    bytes.truncate(w);
}

QByteArray kiss_frame(uint8_t command, const QByteArray &content)
{
    QByteArray frame;
    frame.reserve(content.size() + content.size() / 8 + 3);
    frame.append(char(KISS_FEND));
    frame.append(char(command));
    frame.append(content);
    kissEscape(frame, 2);
    frame.append(char(KISS_FEND));
    return frame;
}

QVector<QByteArray> KissDeframer::feed(const char *data, int size)
{
    QVector<QByteArray> frames;
    for (int i = 0; i < size; ++i) {
        const uint8_t b = uint8_t(data[i]);
        if (b == KISS_FEND) {
            // Data frames only: the low nibble of the command byte is 0.
            if (m_state == State::InFrame && !m_frame.isEmpty() && (uint8_t(m_frame[0]) & 0x0F) == 0)
                frames.append(m_frame);
            m_frame.clear();
            m_escape = false;
            m_state = State::InFrame;
            continue;
        }
        if (m_state != State::InFrame)
            continue;
        if (m_escape) {
            m_escape = false;
            m_frame.append(char(b == KISS_TFEND ? KISS_FEND : b == KISS_TFESC ? KISS_FESC : b));
        } else if (b == KISS_FESC) {
            m_escape = true;
            continue;
        } else {
            m_frame.append(char(b));
        }
        if (m_frame.size() > m_maxFrame) {
            ++m_oversized;
            m_frame.clear();
            m_state = State::Dropping;
        }
    }
    return frames;
}

void KissDeframer::reset()
{
    m_frame.clear();
    m_state = State::Hunting;
    m_escape = false;
}
