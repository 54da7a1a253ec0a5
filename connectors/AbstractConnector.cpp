#include "connectors/AbstractConnector.h"

#include "engine/corvid_hardware.h"

#include <QCoreApplication>
#include <cstdlib>

AbstractConnector::AbstractConnector(QObject *parent) : QObject(parent) {
    corvid_register_metatypes();
}

// A bound connector deleted by anyone but the binding must not stay bound.
AbstractConnector::~AbstractConnector() { corvid_release_hardware(this); }

void AbstractConnector::setHWState(AbstractConnector::HWState newState) {
    state = newState;
    emit stateChanges(newState);
}

void AbstractConnector::handleReconnectTimeout() {
    if (state == HW_ERROR)
        HW_init();
}

void AbstractConnector::fatalStop() {
    HW_close();
    setHWState(HW_ERROR);
    emit abort_app();
    std::exit(-1);
}
