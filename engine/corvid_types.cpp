#include "engine/corvid_types.h"

void corvid_register_metatypes() {
    static const bool done = [] {
        qRegisterMetaType<corvid_message>("corvid_message");
        qRegisterMetaType<can_message>("can_message");
        qRegisterMetaType<AX25HeaderOpt>("AX25HeaderOpt");
        return true;
    }();
    Q_UNUSED(done)
}
