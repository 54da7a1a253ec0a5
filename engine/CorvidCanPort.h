#pragma once
// What the binding needs of a CAN link: open it, close it, put one frame on
// the bus. The connectors implement it; the engine knows nothing else of them.

#include "engine/corvid_types.h"

#include <cstdint>

class CorvidCanPort {
public:
    virtual ~CorvidCanPort() = default;

    virtual void HW_init() = 0;
    virtual void HW_close() = 0;
    // Returns the payload length queued, or a negative value when refused.
    virtual int32_t sendCANFrame(can_message *frame) = 0;
};
