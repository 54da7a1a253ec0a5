#pragma once
// Base of every hardware link. The hub and the window only talk to a link
// through these operations and signals, so they never know which one is in use.

#include "engine/CorvidCanPort.h"
#include "engine/corvid_types.h"
#include <QObject>
#include <QString>
#include <QTimer>
#include <cstdint>

class AbstractConnector : public QObject, public CorvidCanPort {
    Q_OBJECT
public:
    enum HWState { HW_ERROR = 0, HW_NOTINIT = 1, HW_READY = 2 };
    Q_ENUM(HWState)

    explicit AbstractConnector(QObject *parent = nullptr);

    QTimer reconnectTimer;
    uint32_t lastError = 0;
    QString interfaceName = QStringLiteral("nullreader");
    uint64_t m_rxCANCount = 0;
    uint64_t m_rxBytesCount = 0;
    uint64_t m_txBytesCount = 0;
    uint32_t rxCurrentBytes = 0;
    HWState state = HW_NOTINIT;
    bool guiMode = true;

    // No device and no window to ask: closes the link, reports HW_ERROR and
    // emits abort_app, on which the start-up ends the program. The signal
    // leaves from the event loop, so whoever takes the link over hears it
    // even when the stop came while the link was being built. Returns; the
    // caller stops what it was doing.
    void fatalStop();

    // A live setting by its configuration name (matched ignoring case), used
    // from the next HW_init on; false for a name this link does not take.
    virtual bool applySetting(const QString &name, const QString &value);
    // Opened and waiting for the device's first answer: not ready yet, and
    // not to be rebuilt for that; the link gives up on its own.
    virtual bool awaitingDevice() const { return false; }
    // The stand-in used while no real link can be built, and a new one.
    virtual bool isPlaceholder() const { return false; }
    static AbstractConnector *createPlaceholder();

    // A message the engine completed from this link's frames goes to the hub.
    void messageFromBus(const corvid_message &message) override;

protected slots:
    // Declared first so its meta-object index follows the signals.
    void handleReconnectTimeout();

public slots:
    void HW_init() override = 0;
    void HW_close() override = 0;
    virtual uint32_t rxCurrentBytesCount() { return rxCurrentBytes; }
    virtual uint64_t rxBytesCount() { return m_rxBytesCount; }
    virtual uint64_t rxCANCount() { return m_rxCANCount; }
    virtual uint64_t txBytesCount() { return m_txBytesCount; }
    // Success is a result equal to the message's length.
    virtual int64_t sendCorvidMessage(corvid_message *message) = 0;
    virtual void setPortName(QString name) { Q_UNUSED(name) }
    int32_t sendCANFrame(can_message *frame) override { Q_UNUSED(frame) return 0; }
    virtual void setHWState(AbstractConnector::HWState newState);

signals:
    void can_message_ready(can_message msg);
    void stateChanges(AbstractConnector::HWState newState);
    void signalCANRx();
    void abort_app();
    // Every complete message from the link, with the radio header where it
    // came over the air; the only way a message reaches the hub.
    void messageReceived(corvid_owned_message msg, AX25HeaderOpt hdr);

protected:
    // Hands a message on as messageReceived; copies the data only when
    // someone listens.
    void deliver(const corvid_message &message, const AX25HeaderOpt &hdr = {});

private:
    Q_DISABLE_COPY(AbstractConnector)
};

Q_DECLARE_METATYPE(AbstractConnector::HWState)
