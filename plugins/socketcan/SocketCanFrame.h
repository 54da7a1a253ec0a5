#pragma once
// Conversion between Qt's CAN frames and the kernel's classic `struct
// can_frame` as a raw CAN socket reads and writes it.

#include <QCanBusFrame>
#include <QString>

struct can_frame;

namespace socketcan {

// Fills `out` for a data frame or remote request with an 11-bit or 29-bit
// identifier and at most 8 bytes. Anything else (error frames, CAN FD, ids
// that do not fit their format) is refused with a reason in `why`.
bool toKernelFrame(const QCanBusFrame &frame, can_frame *out, QString *why = nullptr);

// A frame as read from the socket. Frames with the error flag become error
// frames carrying the kernel's error classes; the timestamp is left unset.
QCanBusFrame fromKernelFrame(const can_frame &in);

// Readable text for an error frame of fromKernelFrame.
QString describeErrorFrame(const QCanBusFrame &frame);

}  // namespace socketcan
