#pragma once
// What the engine needs of a CAN link: open it, close it, put one frame on
// the bus, take a message completed from its frames. The connectors implement
// it; the engine knows nothing else of them.

#include "engine/corvid_types.h"

#include <cstdint>

class CorvidEngine;

class CorvidCanPort {
public:
    CorvidCanPort() = default;
    // A port deleted while bound releases its engine, which must not call it again.
    virtual ~CorvidCanPort();
    CorvidCanPort(const CorvidCanPort &) = delete;
    CorvidCanPort &operator=(const CorvidCanPort &) = delete;

    virtual void HW_init() = 0;
    virtual void HW_close() = 0;
    // Returns the payload length queued, or a negative value when refused.
    virtual int32_t sendCANFrame(can_message *frame) = 0;
    // A message the engine completed while this port is bound; valid only during the call.
    virtual void messageFromBus(const corvid_message &message) { (void)message; }

private:
    friend class CorvidEngine;
    CorvidEngine *m_boundTo = nullptr;
};
