#pragma once
// TCP side of the server for control applications: accepts connections,
// identifies each application, passes Managers' messages to the bus, echoes
// every message to the applications and sends them whatever the hub asks for.

#include "engine/corvid_types.h"
#include "server/ManagerHosts.h"
#include "server/corvid_wire.h"
#include "server/crd_client_info.h"

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QSslConfiguration>
#include <QTcpSocket>
#include <QVector>
#include <QString>
#include <cstdint>
#include <memory>
#include <optional>

class QSocketNotifier;
class QTcpServer;
class QTcpSocket;
class QTimer;

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

    // A second control port that speaks the same protocol inside TLS. Ends
    // the connections of the one before; false (said) when it cannot listen.
    bool startTls(uint16_t tlsPort, const QHostAddress &address, const QSslConfiguration &configuration);
    // Closes the TLS port and ends its connections.
    void stopTls();
    uint16_t tlsServerPort() const;

    // From now on; a Manager connected from a host the new rule leaves out is
    // disconnected.
    void setManagerHosts(const ManagerHosts &hosts);
    const ManagerHosts &managerHosts() const { return m_managerHosts; }

    void sendServerInfo(QTcpSocket *socket);
    void sendServerState(QTcpSocket *socket);
    void sendMsgToApp(QTcpSocket *socket, const corvid_message *msg, uint64_t stampId, unsigned status,
                      unsigned dir, unsigned tag, const AX25Header *hdr = nullptr);

    // A message sent to the link from outside the control protocol, shown to
    // every client as a Manager's echo (next stamp, status 1, dir 1, tag 0).
    void echoToClients(const corvid_message &msg);

    // Copies of the identified clients' records, in order of identification.
    QList<crd_client_info_t> clientList() const;
    int clientCount() const { return m_clients.size(); }
    // Open connections, identified or not.
    int connectionCount() const { return m_connections.size(); }
    // Takes over an open connection as if it had just been accepted: the
    // listening socket hands over each of its own this way, and a harness can
    // drive the acceptor over sockets of its own making.
    void adoptConnection(QTcpSocket *socket);
    // "address:port", ", CN name" for a TLS client with a certificate, and
    // ", client N" once the connection has a record.
    QString describe(QTcpSocket *socket) const;

    // Why a connection was ended by the server.
    enum CutOffReason { CutSlowReader, CutIdle, CutLimit, CutRefusedHost, CutOffReasons };
    // Counted for the metrics; the host check counts its refusals here too.
    void countCutOff(CutOffReason reason) { ++m_cutOffs[reason]; }
    quint64 cutOffCount(CutOffReason reason) const { return m_cutOffs[reason]; }

    uint32_t hw_state = 0;
    uint32_t hw_error = 0;
    uint16_t port = 0;
    // Where the plain port listens (taken by startServer and restartServer).
    QHostAddress listenAddress = QHostAddress(QHostAddress::Any);
    uint16_t maxClients = 0;  // 0 = no limit
    uint64_t stampId = 0;
    uint8_t restrictFakeSatTelemetry = 0;
    // A client whose unsent output would grow past this is disconnected.
    int64_t maxPendingOutput = 8 * 1024 * 1024;
    // How long after a new connection its notice is logged.
    int newConnectionNoticeMs = 10000;
    // Past this much unsent output over all clients together, the client
    // holding the most is disconnected.
    int64_t maxTotalPendingOutput = 256 * 1024 * 1024;
    // Connections that have not identified: closed after this long, and at
    // most this many held (the oldest goes first). By default a quarter of
    // the descriptor limit, at most 256, so that they never take them all.
    int unidentifiedTimeoutMs = 30000;
    int maxUnidentified = 256;
    // A failed listen is tried again this often (0: never).
    int listenRetryMs = 5000;
    // An accept that fails (no descriptors left) is reported at most this often.
    int acceptErrorReportMs = 60000;

signals:
    void signalCorvidToHW(corvid_message msg);
    void newClientAdded(crd_client_info_t client);
    // A client identified itself again; its one record now reads like this.
    void clientUpdated(crd_client_info_t client);
    // Listening works at last after a failed startServer().
    void listeningResumed();
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
        bool identified = false;
        bool tls = false;
        bool encrypted = false;
        QTimer *idleTimer = nullptr;  // owned by the socket
        QString peer;                 // address:port, kept for after the close
        QString certificateName;      // of a TLS client's certificate
        QStringList tlsErrors;        // why its certificate was not accepted
    };
    struct Listener {
        QTcpServer *server = nullptr;  // owned by the acceptor
        QPointer<QSocketNotifier> notifier;
        bool tls = false;
    };

    void handleFrame(QTcpSocket *sender, const crs_frame_t &frame);
    void handleAppInfo(QTcpSocket *sender, const QByteArray &frame);
    void handleMsg2Sat(QTcpSocket *sender, const QByteArray &frame);
    void handleMsg2App(QTcpSocket *sender, const QByteArray &frame);
    void writeToClient(QTcpSocket *socket, const QByteArray &frame);
    void forgetConnection(QTcpSocket *socket);
    void connectionClosed(QTcpSocket *socket);
    // Ends a connection at once, as if its peer had gone.
    void dropConnection(QTcpSocket *socket);
    bool mayCommand(QTcpSocket *socket, const QString &appName);
    void logManager(QTcpSocket *socket, const QString &appName);
    void acceptPending(Listener &listener);
    void adoptTls(QTcpSocket *socket);
    void handshakeFailed(QTcpSocket *socket);
    void flushWritten();
    crd_client_info_t *recordOf(QTcpSocket *socket) const;
    bool overTotalOutput(int64_t adding);
    void cutOff(QTcpSocket *socket, const std::shared_ptr<Connection> &conn);
    void closeUnidentified(QTcpSocket *socket, const char *why, CutOffReason reason);
    void retryListening();
    static void closeListener(Listener &listener);
    void wireListening(Listener &listener);
    void onAcceptError(Listener &listener);

    Listener m_plain;  // its listening socket is the parent of every connection
    Listener m_tls;
    // Only once a TLS port opens: making one loads OpenSSL.
    std::optional<QSslConfiguration> m_tlsConfiguration;
    ManagerHosts m_managerHosts;
    QList<crd_client_info_t *> m_clients;
    QHash<QTcpSocket *, std::shared_ptr<Connection>> m_connections;
    QString m_error;
    QList<QTcpSocket *> m_unidentified;  // oldest first
    QTimer *m_listenRetry = nullptr;
    QElapsedTimer m_acceptErrorReported;
    int64_t m_pendingEstimate = 0;  // over-estimate of all unsent output
    bool m_inReadPass = false;
    bool m_flushQueued = false;
    QVector<QPair<QPointer<QTcpSocket>, std::shared_ptr<Connection>>> m_written;
    quint64 m_cutOffs[CutOffReasons] = {};

    Q_DISABLE_COPY(CorvidTCPserver)
};
