#pragma once
// A USB CAN adapter that shows up as a serial port and speaks the adapter's
// ASCII line protocol. Frames wait in a transmit queue and leave strictly one
// after another, each once the adapter has acknowledged the one before (or
// its acknowledgement timed out), so frames of two messages never interleave
// on the bus and the event loop is never re-entered. The link is ready once
// the adapter has told its hardware version, which also tells its kind. A
// watchdog polls that version and re-initialises the link when the adapter
// stops answering.

#include "connectors/AbstractConnector.h"
#include "engine/CorvidEngine.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QPointer>
#include <QSerialPort>
#include <QString>
#include <QTimer>
#include <deque>

class USBtinConnector : public AbstractConnector {
    Q_OBJECT
public:
    enum HWDevice { HW_DevBusbridge = 0, HW_DevSRXsniffer = 1 };
    Q_ENUM(HWDevice)
    enum can_rx_state { IDLE = 0, RXSTD, RXEXT, RTRSTD, RTREXT, VERSW, VERHW, TXACK };
    Q_ENUM(can_rx_state)

    // Times of the acknowledgement wait and the watchdog; tests shorten them.
    struct Timings {
        int ackTimeoutMs = 500;
        int checkMs = 1000;
        int noAckMs = 1000;
    };

    // The engine cuts and joins the link's frames; it must outlive the connector.
    USBtinConnector(CorvidEngine &engine, const QString &portName, QObject *parent = nullptr);
    USBtinConnector(CorvidEngine &engine, const QString &portName, int32_t baudRate, QObject *parent = nullptr);
    ~USBtinConnector() override;

    // The adapter's port: the configured name, a listed adapter, or a
    // configured character-device path the listing does not show (a
    // pseudo-terminal, a /dev/serial/by-id link). Empty when none is found.
    // Not silent: with several adapters the operator is asked to pick one.
    static QString findPort(const QString &configured, bool silent);
    // "No serial devices available!" naming the port looked for.
    static QString noSerialDevicesText(const QString &port);

    void setTimings(const Timings &timings);

    QString portName() const { return m_portName; }
    HWDevice deviceKind() const { return m_device; }
    QString firmwareVersion() const { return m_firmware; }
    int32_t pendingAcks() const { return m_pendingAcks; }
    uint32_t noAckCount() const { return m_noAckCount; }
    int queuedLines() const { return int(m_queue.size()); }
    int64_t queuedBytes() const { return m_queueBytes; }

    // USBtinPortName.
    bool applySetting(const QString &name, const QString &value) override;
    // The port is open and the adapter has not told its hardware version yet.
    bool awaitingDevice() const override { return m_awaitingVersion && m_port.isOpen(); }

public slots:
    void HW_init() override;
    void HW_close() override;
    uint32_t rxCurrentBytesCount() override { return uint32_t(m_rxBuffer.size()); }
    int64_t sendCorvidMessage(corvid_message *message) override;
    void setPortName(QString name) override { m_portName = name; }
    int32_t sendCANFrame(can_message *frame) override;
    void setHWState(AbstractConnector::HWState newState) override { setHWState(newState, 0); }
    void setHWState(AbstractConnector::HWState newState, uint32_t error);

signals:
    void can_message_ready(can_message msg);

private slots:
    void handleReadyRead();
    void handleError(QSerialPort::SerialPortError error);
    void handleTimeoutNoAck();
    void handleBytesWritten(qint64 bytes);
    void handleTimeoutCheckHw();
    void handleTimeoutTxAck();
    void enableAutoReconnect(bool enable) { m_autoReconnect = enable; }
    void enableAutoReconnect() { m_autoReconnect = true; }

private:
    struct Line {
        QByteArray bytes;
        bool frame = false;  // waits for the adapter's acknowledgement
    };

    bool openPort();
    void readPort();
    void enqueue(const QByteArray &bytes, bool frame);
    void writeHead();
    // Bytes of `bytes` the device took at once, written past the port's buffer.
    qint64 writeToDevice(const QByteArray &bytes);
    void headDone();
    void clearQueue();
    void frameAnswered();

    CorvidEngine &m_engine;
    QSerialPort m_port;
    QByteArray m_rxBuffer;
    QTimer m_noAckTimer;
    QTimer m_checkTimer;
    QTimer m_ackTimer;
    QElapsedTimer m_clock;
    qint64 m_ackDeadline = 0;  // on m_clock, for the frame awaiting its acknowledgement
    uint32_t m_noAckCount = 0;
    std::deque<Line> m_queue;
    int64_t m_queueBytes = 0;
    bool m_writing = false;       // the head was written, its bytesWritten is due
    bool m_awaitingAck = false;   // the head is a frame the adapter has not answered
    bool m_closePending = false;
    bool m_inBytesWritten = false;  // the device is gone; the port closes next
    qint64 m_headWritten = 0;
    uint32_t m_versionReplies = 0;
    bool m_awaitingVersion = false;  // opened, no hardware version reply yet
    QString m_portName;
    int32_t m_baudRate = 115200;
    HWDevice m_device = HW_DevBusbridge;
    QString m_firmware;
    int32_t m_pendingAcks = 0;
    bool m_autoReconnect = true;
    int m_noAdapterNotice = 0;
    bool m_ignoreNoAdapter = false;
    Timings m_timings;

    Q_DISABLE_COPY(USBtinConnector)
};
