#pragma once
// The binding of the engine to its CAN link and to the hub, by the C-style
// names, which act on the current CorvidEngine (see CorvidEngine.h).

#include "engine/CorvidEngine.h"
#include "engine/corvid_types.h"
#include <QString>
#include <cstdint>

void corvid_set_hardware(CorvidCanPort *connector);
void corvid_clear_hardware();
CorvidCanPort *corvid_get_hardware();
void corvid_init();
void corvid_deinit();
void corvid_hw_init();
void corvid_hw_close();
// The connector's sendCANFrame result; -1 when no connector is bound.
int32_t corvid_hw_tx_frame(const can_message *frame);

// Where completed messages and engine errors go. Until set, or after clearing
// with empty functions, both do nothing.
void corvid_set_callbacks(CorvidEngine::MessageHandler onMessage, CorvidEngine::ErrorHandler onError);

void corvid_on_message(const corvid_message *message);
void corvid_on_error(uint16_t code);
// While the error handler runs: the message the engine refused to send, or null.
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
