#pragma once
// The HTTP endpoint a monitoring system scrapes: GET /metrics answers with the
// registry's exposition, everything else with a short error. Each connection
// carries one request and is closed after the answer; what a peer can make it
// hold is bounded: the head it may send, the time it may take, and the
// connections open at once. Runs in the thread of the registry's owners.

#include <QHostAddress>
#include <QObject>
#include <QString>
#include <cstdint>

class CorvidMetrics;
class QTcpServer;
class QTcpSocket;
class QTimer;

class CorvidMetricsServer : public QObject {
    Q_OBJECT
public:
    CorvidMetricsServer(const CorvidMetrics &metrics, QObject *parent = nullptr);
    ~CorvidMetricsServer() override;

    // Listens at once; a failure is said and tried again every retryMs.
    void start(const QHostAddress &address, uint16_t port);
    bool isListening() const;
    uint16_t serverPort() const;
    int openConnections() const { return m_open; }

    // A request's head may be at most this long.
    int maxHeadBytes = 8192;
    // From the connection to its close, answer included.
    int connectionTimeoutMs = 5000;
    // Past this many open connections a new one is closed at once.
    int maxConnections = 16;
    int retryMs = 5000;

private:
    void listen();
    void onNewConnection();
    void serve(QTcpSocket *socket);
    void answer(QTcpSocket *socket, int status);

    const CorvidMetrics &m_metrics;
    QTcpServer *m_server = nullptr;
    QTimer *m_retry = nullptr;
    QHostAddress m_address;
    uint16_t m_port = 0;
    int m_open = 0;
    bool m_failureSaid = false;
};
