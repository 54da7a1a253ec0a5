#include "engine/corvid_hardware.h"

#include <QCoreApplication>
#include <cstdarg>
#include <cstdio>
#include <utility>

void corvid_set_hardware(CorvidCanPort *connector) {
    corvid_on_current([connector](CorvidEngine &e) { e.setHardware(connector); });
}
void corvid_clear_hardware() { corvid_deinit(); }
CorvidCanPort *corvid_get_hardware() {
    return corvid_on_current<CorvidCanPort *>(nullptr, [](CorvidEngine &e) { return e.hardware(); });
}
void corvid_init() {
    corvid_on_current([](CorvidEngine &e) { e.init(); });
}
void corvid_deinit() {
    corvid_on_current([](CorvidEngine &e) { e.deinit(); });
}
void corvid_hw_init() {
    corvid_on_current([](CorvidEngine &e) { e.hwInit(); });
}
void corvid_hw_close() {
    corvid_on_current([](CorvidEngine &e) { e.hwClose(); });
}
int32_t corvid_hw_tx_frame(const can_message *frame) {
    return corvid_on_current(int32_t(-1), [frame](CorvidEngine &e) { return e.hwTxFrame(frame); });
}

void corvid_set_callbacks(CorvidEngine::MessageHandler onMessage, CorvidEngine::ErrorHandler onError) {
    corvid_on_current([&](CorvidEngine &e) {
        e.setMessageHandler(std::move(onMessage));
        e.setErrorHandler(std::move(onError));
    });
}
void corvid_on_message(const corvid_message *message) {
    corvid_on_current([message](CorvidEngine &e) { e.onMessage(message); });
}
void corvid_on_error(uint16_t code) {
    corvid_on_current([code](CorvidEngine &e) { e.onError(code); });
}
const corvid_message *corvid_error_subject() {
    return corvid_on_current<const corvid_message *>(nullptr, [](CorvidEngine &e) { return e.errorSubject(); });
}

QString corvid_error_name(uint16_t code) {
    switch (code) {
    case Ok: return QStringLiteral("Ok");
    case OFFLINE: return QStringLiteral("OFFLINE");
    case BUFFER_OVERWRITE: return QStringLiteral("BUFFER_OVERWRITE");
    case WRONG_CRC: return QStringLiteral("WRONG_CRC");
    case NO_FREE_BUFFER: return QStringLiteral("NO_FREE_BUFFER");
    case DATA_WITHOUT_START: return QStringLiteral("DATA_WITHOUT_START");
    case WARNING_UNEXPECTED_DATA: return QStringLiteral("WARNING_UNEXPECTED_DATA");
    case CAN_MESSAGE_TOO_SHORT: return QStringLiteral("CAN_MESSAGE_TOO_SHORT");
    case CAN_MESSAGE_TOO_LONG: return QStringLiteral("CAN_MESSAGE_TOO_LONG");
    case CAN_IDENTIFIER_TOO_LONG: return QStringLiteral("CAN_IDENTIFIER_TOO_LONG");
    case CAN_CAN_IDENTIFIER_EXT_TOO_LONG: return QStringLiteral("CAN_CAN_IDENTIFIER_EXT_TOO_LONG");
    case HEADER_TOO_SHORT: return QStringLiteral("HEADER_TOO_SHORT");
    case CANT_ALLOCATE_NODE: return QStringLiteral("CANT_ALLOCATE_NODE");
    case CANT_HW_ERROR: return QStringLiteral("CANT_HW_ERROR");
    default: return QString();
    }
}

QString corvid_error_text(uint16_t code, const corvid_message *subject) {
    QString text = QCoreApplication::translate("corvid", "Corvid error occured %1: %2")
                       .arg(code)
                       .arg(corvid_error_name(code));
    if (subject) {
        text += QStringLiteral(" (message id 0x%1, from 0x%2, to 0x%3, length %4)")
                    .arg(subject->msg_id, 0, 16)
                    .arg(subject->address_from, 0, 16)
                    .arg(subject->address_to, 0, 16)
                    .arg(subject->length);
    }
    return text;
}

int corvid_sprintf(char *dest, const char *format, ...) {
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(dest, CORVID_SPRINTF_MAX + 1, format, args);
    va_end(args);
    if (n < 0) {
        dest[0] = '\0';
        return 0;
    }
    return n > CORVID_SPRINTF_MAX ? CORVID_SPRINTF_MAX : n;
}
