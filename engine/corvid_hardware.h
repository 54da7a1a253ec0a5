#pragma once
// The binding of the engine to the current CAN link and to the hub.
// The binding owns a bound link: releasing it closes and deletes it.

#include "engine/CorvidCanPort.h"
#include "engine/corvid_types.h"
#include <QString>
#include <cstdint>
#include <functional>

void corvid_set_hardware(CorvidCanPort *connector);
void corvid_clear_hardware();
CorvidCanPort *corvid_get_hardware();
// Called by a dying link: if it is the bound one, the engine goes offline
// and the binding forgets it (no HW_close, no delete), so nothing dangles.
void corvid_release_hardware(CorvidCanPort *connector);
void corvid_init();
void corvid_deinit();
void corvid_hw_init();
void corvid_hw_close();
// The connector's sendCANFrame result; -1 when no connector is bound.
int32_t corvid_hw_tx_frame(const can_message *frame);

// Where completed messages and engine errors go (the hub registers itself).
// Until set, or after clearing with empty functions, both do nothing.
using corvid_message_handler = std::function<void(const corvid_message *, const AX25Header *)>;
using corvid_error_handler = std::function<void(uint16_t)>;
void corvid_set_callbacks(corvid_message_handler onMessage, corvid_error_handler onError);

void corvid_on_message(const corvid_message *message);
void corvid_on_message(const corvid_message *message, const AX25Header *header);
void corvid_on_error(uint16_t code);
// The same for a message the engine refuses to send: while the handler runs,
// corvid_error_subject() returns that message (null for any other error).
void corvid_on_error(uint16_t code, const corvid_message *subject);
const corvid_message *corvid_error_subject();

// Name of an engine error code ("WRONG_CRC"); empty for unassigned codes.
QString corvid_error_name(uint16_t code);
// "Corvid error occured <code>: <name>", as the hub prints it; with a subject
// followed by " (message id 0x.., from 0x.., to 0x.., length N)".
QString corvid_error_text(uint16_t code, const corvid_message *subject = nullptr);

// sprintf into dest with at most 16,384 characters, zero-terminated (dest holds
// CORVID_SPRINTF_MAX + 1 bytes); returns the length written.
int corvid_sprintf(char *dest, const char *format, ...) __attribute__((format(printf, 2, 3)));
constexpr int CORVID_SPRINTF_MAX = 16384;
