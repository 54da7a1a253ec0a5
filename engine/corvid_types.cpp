#include "engine/corvid_types.h"

void corvid_register_metatypes() {
    static const bool done = [] {
        qRegisterMetaType<corvid_message>("corvid_message");
        qRegisterMetaType<corvid_owned_message>("corvid_owned_message");
        qRegisterMetaType<can_message>("can_message");
        qRegisterMetaType<AX25HeaderOpt>("AX25HeaderOpt");
        return true;
    }();
    Q_UNUSED(done)
}

corvid_owned_message corvid_owned_message::copyOf(const corvid_message &message) {
    corvid_owned_message m;
    m.msg_id = message.msg_id;
    m.address_from = message.address_from;
    m.address_to = message.address_to;
    if (message.length)
        m.data = message.data ? QByteArray(reinterpret_cast<const char *>(message.data), message.length)
                              : QByteArray(message.length, '\0');
    return m;
}

corvid_message corvid_owned_message::record() const {
    corvid_message m;
    m.msg_id = msg_id;
    m.address_from = address_from;
    m.address_to = address_to;
    m.length = uint16_t(data.size());
    m.data = m.length ? reinterpret_cast<uint8_t *>(const_cast<char *>(data.constData())) : nullptr;
    return m;
}
