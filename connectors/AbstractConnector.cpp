#include "connectors/AbstractConnector.h"

#include <QCoreApplication>
#include <cstdlib>

AbstractConnector::AbstractConnector(QObject *parent) : QObject(parent) {
    corvid_register_metatypes();
}

AbstractConnector::~AbstractConnector() = default;

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
