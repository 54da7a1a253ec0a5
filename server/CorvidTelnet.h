#pragma once
// A terminal for one bus device: listens on port 60000 plus the device
// address, accepts one Telnet terminal at a time, sends what is typed to the
// device and writes the device's Telnet messages back to the terminal.

#include "engine/corvid_types.h"
#include "server/crd_client_info.h"
#include "server/telnet_stream.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <cstdint>
#include <functional>

class QTcpServer;
class QTcpSocket;

class CorvidTelnet : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY(CorvidTelnet)
public:
    // What the bridge needs of its owner: the current link's send (returns
    // the data bytes sent) and the message log (status 1 = sent whole).
    struct Links {
        std::function<int64_t(corvid_message *)> send;
        std::function<void(const corvid_message &, quint32 status)> log;
    };

    // What one terminal may make the bridge hold. A terminal that goes past
    // `held` or `output` is disconnected.
    struct Limits {
        // Typed data not yet sent to the device: the pacing queue and an
        // unfinished command or subnegotiation.
        qint64 held = 1024 * 1024;
        // Device data and negotiation replies the terminal has not taken.
        qint64 output = 4 * 1024 * 1024;
        // Content of one subnegotiation; a longer one is dropped.
        int subnegotiation = telnet::InputFilter::kMaxSubnegotiation;
        // Taken from the terminal per wake-up; the kernel holds back the rest.
        qint64 read = 16 * 1024;
    };

    // A device console has no login: it listens on this machine only unless
    // told otherwise.
    CorvidTelnet(uint16_t deviceAddress, Links links, uint16_t ownAddress, uint16_t msgId, bool deEscape,
                 bool crRewrite, uint16_t pieceSize, uint16_t pieceDelay, bool debug,
                 const QHostAddress &listenAddress = QHostAddress(QHostAddress::LocalHost), QObject *parent = nullptr);
    ~CorvidTelnet() override;

    qint64 telnetWrite(const QByteArray &data, bool isNew);
    uint16_t getAddrTo() const { return m_deviceAddress; }
    // For the terminals that connect from now on.
    void setLimits(const Limits &limits) { m_limits = limits; }
    const Limits &limits() const { return m_limits; }
    qint64 heldBytes() const { return m_pacedBytes + m_input.pending(); }
    qint64 outputBytes() const { return m_queuedBytes; }
    uint16_t port() const { return m_port; }
    bool isListening() const;
    // Listens there from now on; the terminal in place, which came in the
    // old way, is let go.
    bool listenOn(const QHostAddress &address);
    bool hasTerminal() const { return !m_terminal.isNull(); }
    // Ends the terminal's session as if it had left.
    void closeTerminal() { slotClientDisconnected(); }
    // The pacing timer, so a test can read its interval and tick it itself.
    QTimer &pacingTimer() { return m_pacingTimer; }

signals:
    void IAC_occured(QByteArray command);
    void newClientAdded(crd_client_info_t client);
    void clientDisconnected(quint32 clientId);

public slots:
    void slotNewConnection();
    void slotServerRead();
    void slotClientDisconnected();
    void handleBytesWritten(qint64 bytes);
    void on_IAC_occured(QByteArray command);
    void on_UHF_send_timer();

private:
    void readOnce();
    void takeInput(const QByteArray &raw);
    bool terminalGone();
    void cutOff(const QString &why);
    void release();
    void sendToDevice(const QByteArray &data);
    bool enqueue(const QByteArray &prepared);
    qint64 writeFirst();

    uint16_t m_port = 0;
    uint16_t m_deviceAddress = 0;
    uint16_t m_ownAddress = 1;
    uint16_t m_msgId = 0xFFF1;
    bool m_deEscape = true;
    bool m_crRewrite = false;
    Limits m_limits;
    int m_pieceLength = 0;  // 0: no pacing
    uint16_t m_pieceDelay = 0;
    Links m_links;
    QTcpServer *m_server = nullptr;
    QPointer<QTcpSocket> m_terminal;
    telnet::InputFilter m_input{true, false};
    QList<QByteArray> m_writeQueue;
    qint64 m_queuedBytes = 0;
    qint64 m_inFlight = 0;  // bytes of the first queue item not yet reported written
    bool m_writing = false;
    qint64 m_lastWritten = -1;
    // Reading may run a nested event loop (sending to a serial adapter waits
    // for its acknowledgement); what happens meanwhile waits for the pass to end.
    bool m_reading = false;
    bool m_readMeanwhile = false;
    bool m_readScheduled = false;
    bool m_leftMeanwhile = false;
    bool m_arrivedMeanwhile = false;
    QList<QByteArray> m_pacingQueue;
    qint64 m_pacedBytes = 0;
    QTimer m_pacingTimer;
};
