#pragma once
// TCP side of the server for control applications: accepts connections,
// identifies each application, passes Managers' messages to the bus, echoes
// every message to the applications and sends them whatever the hub asks for.

#include "engine/corvid_types.h"
#include "server/corvid_wire.h"
#include "server/crd_client_info.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QTcpSocket>
#include <QVector>
#include <QString>
#include <cstdint>
#include <memory>

class QTcpServer;
class QTcpSocket;

enum SrvRxState { RxIdle = 0, RxMsg2Sat = 1, RxMsg2App = 2, RxAppInfo = 3 };

class CorvidTCPserver : public QObject {
    Q_OBJECT
public:
    explicit CorvidTCPserver(uint16_t port, QObject *parent = nullptr);
    ~CorvidTCPserver() override;

    bool startServer();
    // Ends every connection, then listens again at `port`.
    bool restartServer();
    void closeListening();
    // Why the last startServer() failed.
    QString errorString() const { return m_error; }
    // The port actually listened on (the one the system chose when `port` is 0).
    uint16_t serverPort() const;

    void sendServerInfo(QTcpSocket *socket);
    void sendServerState(QTcpSocket *socket);
    void sendMsgToApp(QTcpSocket *socket, const corvid_message *msg, uint64_t stampId, unsigned status,
                      unsigned dir, unsigned tag, const AX25Header *hdr = nullptr);

    // Copies of the identified clients' records, in order of identification.
    QList<crd_client_info_t> clientList() const;
    int clientCount() const { return m_clients.size(); }
    // Open connections, identified or not.
    int connectionCount() const { return m_connections.size(); }
    // Receive state of one connection (RxIdle for an unknown one).
    SrvRxState rxState(QTcpSocket *socket) const;

    uint32_t hw_state = 0;
    uint32_t hw_error = 0;
    uint16_t port = 0;
    uint16_t maxClients = 0;  // 0 = no limit
    uint64_t stampId = 0;
    uint8_t restrictFakeSatTelemetry = 0;
    // A client whose unsent output would grow past this is disconnected.
    int64_t maxPendingOutput = 8 * 1024 * 1024;
    // How long after a new connection its notice is logged.
    int newConnectionNoticeMs = 10000;

signals:
    void signalCorvidToHW(corvid_message msg);
    void newClientAdded(crd_client_info_t client);
    void signalDisconnected(quint32 clientId);

public slots:
    virtual void slotNewConnection();
    void slotReadClient();
    void slotDisconnected();
    void slotCloseServer();
    void slotHardwareStatusHandler(unsigned newState);
    void slotIncrementStampID();

private:
    struct Connection {
        Connection() : rx(CorvidFrameReceiver::serverKinds()) {}
        CorvidFrameReceiver rx;
        bool stalled = false;  // over the output cap, being dropped
        bool flushQueued = false;  // a flush is due: queued, or at the end of this read pass
    };

    void handleFrame(QTcpSocket *sender, const crs_frame_t &frame);
    void handleAppInfo(QTcpSocket *sender, const QByteArray &frame);
    void handleMsg2Sat(QTcpSocket *sender, const QByteArray &frame);
    void handleMsg2App(QTcpSocket *sender, const QByteArray &frame);
    const crd_client_info_t *senderRecord(QTcpSocket *sender) const;
    void writeToClient(QTcpSocket *socket, const QByteArray &frame);
    void forgetConnection(QTcpSocket *socket);
    void flushWritten();

    QTcpServer *m_server = nullptr;
    QList<crd_client_info_t *> m_clients;
    QHash<QTcpSocket *, std::shared_ptr<Connection>> m_connections;
    QString m_error;
    bool m_inReadPass = false;
    QVector<QPair<QPointer<QTcpSocket>, std::shared_ptr<Connection>>> m_written;

    Q_DISABLE_COPY(CorvidTCPserver)
};
