#include "server/telnet_stream.h"

namespace telnet {

namespace {

bool isNegotiation(uint8_t verb)
{
    return verb >= WILL && verb <= DONT;
}

}  // namespace

qint64 InputFilter::pending() const
{
    switch (m_state) {
    case State::Data:
        return 0;
    case State::Iac:
        return 1;
    case State::Option:
        return 2;
    case State::Sub:
    case State::SubIac:
        break;
    }
    return m_subLength;
}

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
    for (const char c : qAsConst(bytes)) {
        const uint8_t b = uint8_t(c);
        switch (m_state) {
        case State::Data:
            if (b == IAC)
                m_state = State::Iac;
            else
                out.data.append(c);
            break;
        case State::Iac:
            afterIac(b, out);
            break;
        case State::Option: {
            const char command[] = {char(IAC), char(m_verb), c};
            out.commands.append(QByteArray(command, int(sizeof command)));
            m_state = State::Data;
            break;
        }
        case State::Sub:
            ++m_subLength;
            if (b == IAC)
                m_state = State::SubIac;
            else
                keep(b);
            break;
        case State::SubIac:
            ++m_subLength;
            if (b == IAC) {
                keep(b);
                m_state = State::Sub;
                break;
            }
            endSubnegotiation(out);
            // IAC SE ends it; any other command ends it too and counts as itself.
            if (b != SE)
                afterIac(b, out);
            break;
        }
    }
    return out;
}

void InputFilter::afterIac(uint8_t b, Input &out)
{
    m_state = State::Data;
    if (b == IAC) {
        ++out.escapes;
        out.data.append(char(IAC));
    } else if (b == SB) {
        m_state = State::Sub;
        m_subLength = 2;
    } else if (isNegotiation(b)) {
        m_verb = b;
        m_state = State::Option;
    }
    // Any other verb (NOP, GA, a stray SE, ...) stands alone: no reply, no data.
}

void InputFilter::keep(uint8_t b)
{
    if (m_subTooLong)
        return;
    if (m_sub.size() < m_maxSubnegotiation) {
        m_sub.append(char(b));
        return;
    }
    m_subTooLong = true;
    m_sub = QByteArray();
}

void InputFilter::endSubnegotiation(Input &out)
{
    if (m_subTooLong)
        ++out.droppedSubnegotiations;
    else
        out.subnegotiations.append(m_sub);
    m_sub = QByteArray();
    m_subTooLong = false;
    m_subLength = 0;
    m_state = State::Data;
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
