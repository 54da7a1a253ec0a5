#include "server/telnet_stream.h"

namespace telnet {

namespace {

// Verbs followed by an option byte; every other verb stands alone.
bool takesOption(uint8_t verb)
{
    return verb >= SB && verb <= DONT;
}

}  // namespace

Input InputFilter::feed(const QByteArray &raw)
{
    Input out;
    QByteArray bytes;
    bytes.reserve(raw.size());
    for (const char c : raw) {
        const bool dropNul = m_crRewrite && m_afterCr && c == '\0';
        m_afterCr = uint8_t(c) == CR;
        if (!dropNul)
            bytes.append(c);
    }
    out.rewrittenSize = bytes.size();
    if (!m_deEscape) {
        out.data = bytes;
        return out;
    }

    out.data.reserve(bytes.size());
    for (int i = 0; i < bytes.size(); ++i) {
        const uint8_t b = uint8_t(bytes.at(i));
        if (m_held.isEmpty()) {
            if (b == IAC)
                m_held.append(char(b));
            else
                out.data.append(char(b));
            continue;
        }
        if (m_held.size() == 1) {
            if (b == IAC) {
                out.escapes.append(i - 1);  // -1: the pair began in the previous read
                out.data.append(char(IAC));
                m_held.clear();
            } else if (takesOption(b)) {
                m_held.append(char(b));
            } else {
                m_held.clear();  // a command of its own (NOP, GA, SE, ...): no reply, no data
            }
            continue;
        }
        m_held.append(char(b));
        out.commands.append(m_held);
        m_held.clear();
    }
    return out;
}

QByteArray negotiationReply(const QByteArray &command)
{
    if (command.size() != 3)
        return QByteArray();
    const uint8_t option = uint8_t(command.at(2));
    auto reply = [option](uint8_t first, uint8_t second) {
        const char bytes[] = {char(IAC), char(first), char(option), char(IAC), char(second), char(option)};
        return QByteArray(bytes, int(sizeof bytes));
    };
    switch (option) {
    case 0:
        return reply(DO, WILL);
    case 24:
    case 31:
    case 39:
    case 44:
    case 47:
        return reply(DONT, WONT);
    default:
        return QByteArray();
    }
}

QByteArray prepareOutput(const QByteArray &data, bool deEscape, bool crRewrite)
{
    QByteArray out;
    out.reserve(data.size() + 16);
    for (const char c : data) {
        out.append(c);
        if (deEscape && uint8_t(c) == IAC)
            out.append(c);
    }
    if (!crRewrite)
        return out;
    QByteArray rewritten;
    rewritten.reserve(out.size() + 16);
    for (int i = 0; i < out.size(); ++i) {
        rewritten.append(out.at(i));
        if (uint8_t(out.at(i)) == CR && i + 1 < out.size() && out.at(i + 1) == '\0') {
            rewritten.append(char(IAC));
            rewritten.append('\0');
            rewritten.append('\0');
            ++i;
        }
    }
    return rewritten;
}

QList<QByteArray> cutPieces(const QByteArray &data, int length)
{
    QList<QByteArray> pieces;
    for (int pos = 0; pos < data.size(); pos += length)
        pieces.append(data.mid(pos, length));
    return pieces;
}

int pieceLength(uint16_t pieceSize)
{
    return pieceSize > 16 ? pieceSize - 16 : 0;
}

}  // namespace telnet
