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
constexpr uint8_t CR = 0x0D;

// What one read from the terminal turned into.
struct Input {
    QByteArray data;               // for the device
    QVector<QByteArray> commands;  // IAC verb option, in the order they came
    QVector<int> escapes;          // where an IAC IAC pair stood in the rewritten bytes
    int rewrittenSize = 0;         // bytes of this read after the CR rewriting
};

// Turns the terminal's byte stream into device data. A command or a CR NUL
// pair cut by a read boundary is finished with the next read, so it never
// reaches the device as data.
class InputFilter {
public:
    InputFilter(bool deEscape, bool crRewrite) : m_deEscape(deEscape), m_crRewrite(crRewrite) {}

    Input feed(const QByteArray &raw);
    // Bytes of an unfinished command held back for the next read.
    int pending() const { return m_held.size(); }

private:
    bool m_deEscape = true;
    bool m_crRewrite = false;
    bool m_afterCr = false;  // the last byte of the previous read was CR
    QByteArray m_held;       // IAC, or IAC and a verb that takes an option
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
