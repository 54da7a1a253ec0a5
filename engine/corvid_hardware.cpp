#include "engine/corvid_hardware.h"

#include "engine/corvid_engine.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <cstdarg>
#include <cstdio>
#include <utility>

namespace {
Q_LOGGING_CATEGORY(lcBinding, "corvid.binding", QtWarningMsg)

CorvidCanPort *g_hardware = nullptr;
corvid_message_handler g_on_message;
corvid_error_handler g_on_error;
bool g_closing = false;
const corvid_message *g_error_subject = nullptr;
} // namespace

void corvid_set_hardware(CorvidCanPort *connector) {
    qCDebug(lcBinding) << "binding link" << static_cast<const void *>(connector);
    if (connector && connector == g_hardware) {
        // Binding the bound connector again restarts it; deleting it here
        // would leave the binding dangling.
        corvid_storage_deinit();
        connector->HW_close();
    } else {
        corvid_deinit();
        g_hardware = connector;
    }
    corvid_init();
}

void corvid_clear_hardware() { corvid_deinit(); }

CorvidCanPort *corvid_get_hardware() { return g_hardware; }

void corvid_release_hardware(CorvidCanPort *connector) {
    if (connector && connector == g_hardware) {
        qCDebug(lcBinding) << "bound link" << static_cast<const void *>(connector) << "went away";
        corvid_storage_deinit();
        g_hardware = nullptr;
    }
}

void corvid_init() {
    corvid_storage_init();
    corvid_hw_init();
}

void corvid_deinit() {
    corvid_storage_deinit();
    corvid_hw_close();
}

void corvid_hw_init() {
    if (g_hardware)
        g_hardware->HW_init();
}

void corvid_hw_close() {
    CorvidCanPort *connector = g_hardware;
    // A connector whose HW_close de-initialises the engine must not recurse here.
    if (!connector || g_closing)
        return;
    g_closing = true;
    connector->HW_close();
    g_closing = false;
    if (g_hardware == connector) {
        qCDebug(lcBinding) << "closed and deleted link" << static_cast<const void *>(connector);
        // Cleared first, so a corvid_deinit from the destructor finds nothing bound.
        g_hardware = nullptr;
        delete connector;
    }
}

int32_t corvid_hw_tx_frame(const can_message *frame) {
    if (!g_hardware)
        return -1;
    return g_hardware->sendCANFrame(const_cast<can_message *>(frame));
}

void corvid_set_callbacks(corvid_message_handler onMessage, corvid_error_handler onError) {
    g_on_message = std::move(onMessage);
    g_on_error = std::move(onError);
}

void corvid_on_message(const corvid_message *message) { corvid_on_message(message, nullptr); }

void corvid_on_message(const corvid_message *message, const AX25Header *header) {
    if (g_on_message)
        g_on_message(message, header);
}

void corvid_on_error(uint16_t code) {
    qCDebug(lcBinding, "engine error %u", unsigned(code));
    if (g_on_error)
        g_on_error(code);
}

void corvid_on_error(uint16_t code, const corvid_message *subject) {
    const corvid_message *outer = g_error_subject;
    g_error_subject = subject;
    corvid_on_error(code);
    g_error_subject = outer;
}

const corvid_message *corvid_error_subject() { return g_error_subject; }

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
