#pragma once
// Base of every hardware link. The hub and the window only talk to a link
// through these operations and signals, so they never know which one is in use.

#include "engine/CorvidCanPort.h"
#include "engine/corvid_types.h"
#include <QByteArray>
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
    ~AbstractConnector() override;

    QTimer reconnectTimer;
    uint32_t lastError = 0;
    QString interfaceName = QStringLiteral("nullreader");
    uint64_t m_rxCANCount = 0;
    uint64_t m_rxBytesCount = 0;
    uint64_t m_txBytesCount = 0;
    uint32_t rxCurrentBytes = 0;
    HWState state = HW_NOTINIT;
    bool guiMode = true;

    // Ends the program when no device can be found and there is no window to ask.
    [[noreturn]] void fatalStop();

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
    void signalSendCorvidToClient(corvid_message msg, QByteArray data, quint64 stampId, unsigned status,
                                  unsigned dir, unsigned tag, AX25HeaderOpt hdr);

private:
    Q_DISABLE_COPY(AbstractConnector)
};

Q_DECLARE_METATYPE(AbstractConnector::HWState)
