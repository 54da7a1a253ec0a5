#include "connectors/AbstractConnector.h"

#include "connectors/NullReader.h"

#include <QMetaMethod>

AbstractConnector::AbstractConnector(QObject *parent) : QObject(parent) {
    corvid_register_metatypes();
}

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
    QMetaObject::invokeMethod(this, [this] { emit abort_app(); }, Qt::QueuedConnection);
}

AbstractConnector *AbstractConnector::createPlaceholder() { return new NullReader(); }

bool AbstractConnector::applySetting(const QString &name, const QString &value) {
    Q_UNUSED(name)
    Q_UNUSED(value)
    return false;
}

void AbstractConnector::messageFromBus(const corvid_message &message) { deliver(message); }

void AbstractConnector::deliver(const corvid_message &message, const AX25HeaderOpt &hdr) {
    static const QMetaMethod received = QMetaMethod::fromSignal(&AbstractConnector::messageReceived);
    if (isSignalConnected(received))
        emit messageReceived(corvid_owned_message::copyOf(message), hdr);
}
