#pragma once
// Byte work of a device terminal, without sockets: what a terminal program
// types is cleaned of Telnet commands before it reaches the device, and what
// the device sends is escaped for the terminal.

#include <QByteArray>
#include <QList>
#include <QVector>

namespace telnet {

constexpr uint8_t IAC = 0xFF;
constexpr uint8_t DONT = 0xFE;
constexpr uint8_t DO = 0xFD;
constexpr uint8_t WONT = 0xFC;
constexpr uint8_t WILL = 0xFB;
constexpr uint8_t SB = 0xFA;
constexpr uint8_t SE = 0xF0;
constexpr uint8_t CR = 0x0D;

// What one read from the terminal turned into.
struct Input {
    QByteArray data;                      // for the device
    QVector<QByteArray> commands;         // IAC verb option, in the order they came
    QVector<QByteArray> subnegotiations;  // option and data of each one finished, IAC IAC undone
    int droppedSubnegotiations = 0;       // finished ones too long to keep
    int escapes = 0;                      // IAC IAC pairs
    int rewrittenSize = 0;                // bytes of this read after the CR rewriting
};

// Turns the terminal's byte stream into device data. A command, a
// subnegotiation (IAC SB ... IAC SE) or a CR NUL pair cut by a read boundary
// is finished with the next read, so none of it reaches the device as data.
class InputFilter {
public:
    // Option and data a subnegotiation may carry; a longer one is dropped.
    static constexpr int kMaxSubnegotiation = 4096;

    InputFilter(bool deEscape, bool crRewrite, int maxSubnegotiation = kMaxSubnegotiation)
        : m_deEscape(deEscape), m_crRewrite(crRewrite), m_maxSubnegotiation(maxSubnegotiation)
    {
    }

    Input feed(const QByteArray &raw);
    // Bytes of the unfinished command or subnegotiation so far, all of them,
    // even where a subnegotiation has grown too long to be kept.
    qint64 pending() const;
    // Bytes of subnegotiation content kept for when it finishes.
    int kept() const { return m_sub.size(); }

private:
    enum class State { Data, Iac, Option, Sub, SubIac };
    void afterIac(uint8_t b, Input &out);
    void keep(uint8_t b);
    void endSubnegotiation(Input &out);

    bool m_deEscape = true;
    bool m_crRewrite = false;
    int m_maxSubnegotiation = kMaxSubnegotiation;
    bool m_afterCr = false;  // the last byte of the previous read was CR
    State m_state = State::Data;
    uint8_t m_verb = 0;      // of a command waiting for its option
    QByteArray m_sub;        // option and data of the subnegotiation in progress
    qint64 m_subLength = 0;  // its bytes so far, IAC SB included
    bool m_subTooLong = false;
};

// The negotiation reply to a three-byte command: empty when none is due.
QByteArray negotiationReply(const QByteArray &command);

// Device data prepared for the terminal: IAC doubled when de-escaping, then
// CR NUL written as CR IAC NUL NUL when rewriting.
QByteArray prepareOutput(const QByteArray &data, bool deEscape, bool crRewrite);

// Typed data cut into consecutive pieces of at most `length` bytes (> 0).
QList<QByteArray> cutPieces(const QByteArray &data, int length);

// Room for data in a paced piece of `pieceSize` bytes; 0 means no pacing
// (also for sizes that leave no room beside the 16 bytes of framing).
int pieceLength(uint16_t pieceSize);

}  // namespace telnet
