// Kernel CAN frames of any content: converting them must not fault, and a
// data frame or remote request read from the socket must convert back to the
// bytes the kernel would take for it.

#include "plugins/socketcan/SocketCanFrame.h"

#include <linux/can.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    for (size_t at = 0; at + sizeof(can_frame) <= size; at += sizeof(can_frame)) {
        can_frame in;
        memcpy(&in, data + at, sizeof(in));
        const QCanBusFrame frame = socketcan::fromKernelFrame(in);
        if (frame.frameType() == QCanBusFrame::ErrorFrame) {
            if (socketcan::describeErrorFrame(frame).isEmpty())
                __builtin_trap();
            continue;
        }
        can_frame out;
        if (!socketcan::toKernelFrame(frame, &out))
            __builtin_trap();
        const uint8_t length = in.can_dlc > CAN_MAX_DLEN ? CAN_MAX_DLEN : in.can_dlc;
        const bool remote = in.can_id & CAN_RTR_FLAG;
        const canid_t idMask = (in.can_id & CAN_EFF_FLAG) ? (CAN_EFF_FLAG | CAN_EFF_MASK) : CAN_SFF_MASK;
        if (out.can_id != (in.can_id & (idMask | CAN_RTR_FLAG)) || out.can_dlc != length ||
            out.__pad || out.__res0 || out.len8_dlc || (!remote && memcmp(out.data, in.data, length) != 0))
            __builtin_trap();
        for (uint8_t i = remote ? 0 : length; i < CAN_MAX_DLEN; ++i) {
            if (out.data[i])
                __builtin_trap();
        }
    }
    return 0;
}
