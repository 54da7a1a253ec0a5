#pragma once
// The serial CAN adapter's ASCII line protocol as plain byte work: command
// lines for the adapter and the replies cut out of what it sends back. Every
// line ends in CR; the adapter answers a refused command with BEL.

#include "engine/corvid_types.h"

#include <QByteArray>
#include <cstdint>

namespace usbtin {

// Commands of the opening sequence, the watchdog and closing.
inline const QByteArray kHardwareVersion = QByteArrayLiteral("V\r");
inline const QByteArray kFirmwareVersion = QByteArrayLiteral("v\r");
inline const QByteArray kBitRate1M = QByteArrayLiteral("S8\r");
inline const QByteArray kOpenChannel = QByteArrayLiteral("O\r");
inline const QByteArray kCloseChannel = QByteArrayLiteral("C\r");

// The longest line the adapter sends: 'T', 8 + 1 + 16 digits, CR.
constexpr int kLongestLine = 27;

enum class ReplyKind { Frame, FirmwareVersion, HardwareVersion, Ack };

struct Reply {
    ReplyKind kind = ReplyKind::Ack;
    can_message frame;   // ReplyKind::Frame
    QByteArray version;  // the 4 characters of a version reply
};

// The command line for one frame, upper-case hex. A length above 8 is clipped
// and the clipped value written back into the frame.
QByteArray frameLine(can_message *frame);
// Length of that line, CR included.
int frameLineSize(bool extended, bool remote, int dlc);
// Bytes of frame lines the engine makes of one message of `length` data bytes.
int64_t messageLineBytes(uint16_t length, bool extended);

// One line without its end: a reply at its end, anything in front of it is
// noise. Frame lines read the same in both directions.
bool parseLine(const char *line, int size, Reply &reply);

// Takes the next reply off the front of `buffer`. Lines that are no reply
// (noise, bare CR, BEL, malformed frames) are consumed and skipped; noise in
// front of a reply on the same line is skipped too. Returns false once no
// complete reply is left: an unfinished line stays in the buffer for the next
// read, and a run of bytes without any line end is cut to what could still
// begin a reply, so noise never makes the buffer grow without bound.
bool takeReply(QByteArray &buffer, Reply &reply);

}  // namespace usbtin
