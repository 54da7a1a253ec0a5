#include "server/CorvidMetricsServer.h"

#include "server/CorvidMetrics.h"
#include "server/metrics_http.h"

#include <QLoggingCategory>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <algorithm>
#include <memory>
#include <sys/socket.h>

namespace {

Q_LOGGING_CATEGORY(lcMetrics, "corvid.metrics", QtWarningMsg)

// What is read and thrown away after an answer, until the peer closes: a
// close with unread input would reset the connection and lose the answer.
constexpr qint64 kDrainBytes = 64 * 1024;

struct Exchange {
    QByteArray head;
    bool answered = false;
    bool shutDown = false;
    qint64 drained = 0;
    QTimer *deadline = nullptr;  // owned by the socket
};

} // namespace

CorvidMetricsServer::CorvidMetricsServer(const CorvidMetrics &metrics, QObject *parent)
    : QObject(parent), m_metrics(metrics), m_server(new QTcpServer(this)), m_retry(new QTimer(this))
{
    m_server->setMaxPendingConnections(maxConnections);
    connect(m_server, &QTcpServer::newConnection, this, &CorvidMetricsServer::onNewConnection);
    m_retry->setSingleShot(true);
    connect(m_retry, &QTimer::timeout, this, &CorvidMetricsServer::listen);
}

CorvidMetricsServer::~CorvidMetricsServer()
{
    // Its connections go while this object still counts them.
    delete m_server;
}

void CorvidMetricsServer::start(const QHostAddress &address, uint16_t port)
{
    m_address = address;
    m_port = port;
    listen();
}

bool CorvidMetricsServer::isListening() const
{
    return m_server->isListening();
}

uint16_t CorvidMetricsServer::serverPort() const
{
    return m_server->serverPort();
}

void CorvidMetricsServer::listen()
{
    if (m_server->listen(m_address, m_port)) {
        qInfo("%s", qPrintable(QStringLiteral("Metrics served at http://%1/metrics")
                                   .arg(m_address.protocol() == QAbstractSocket::IPv6Protocol
                                            ? QStringLiteral("[%1]:%2").arg(m_address.toString()).arg(serverPort())
                                            : QStringLiteral("%1:%2").arg(m_address.toString()).arg(serverPort()))));
        m_failureSaid = false;
        return;
    }
    // Said once while it lasts; a port taken at start-up may come free later.
    if (!m_failureSaid)
        qCritical("%s", qPrintable(QStringLiteral("Metrics endpoint: unable to listen at %1 port %2: %3; trying "
                                                  "again every %4 s")
                                       .arg(m_address.toString())
                                       .arg(m_port)
                                       .arg(m_server->errorString())
                                       .arg(retryMs / 1000.0)));
    m_failureSaid = true;
    if (retryMs > 0)
        m_retry->start(retryMs);
}

void CorvidMetricsServer::onNewConnection()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        if (m_open >= maxConnections) {
            qCDebug(lcMetrics) << "too many connections, one closed at once";
            socket->abort();
            socket->deleteLater();
            continue;
        }
        ++m_open;
        connect(socket, &QObject::destroyed, this, [this] { --m_open; });
        serve(socket);
    }
}

void CorvidMetricsServer::serve(QTcpSocket *socket)
{
    // Input past the head stays in the kernel, never in this process.
    socket->setReadBufferSize(maxHeadBytes);
    auto ex = std::make_shared<Exchange>();
    ex->deadline = new QTimer(socket);
    ex->deadline->setSingleShot(true);
    connect(ex->deadline, &QTimer::timeout, socket, [this, socket, ex] {
        if (ex->answered) {
            socket->abort();
            socket->deleteLater();
            return;
        }
        ex->answered = true;
        answer(socket, 408);
        ex->deadline->start(std::min(1000, connectionTimeoutMs));
    });
    ex->deadline->start(connectionTimeoutMs);

    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    // After the answer, input is thrown away (a bounded amount) until the peer closes.
    auto drain = [socket, ex] {
        ex->drained += socket->read(kDrainBytes).size();
        if (ex->drained >= kDrainBytes) {
            socket->abort();
            socket->deleteLater();
        }
    };
    connect(socket, &QTcpSocket::readyRead, socket, [this, socket, ex, drain] {
        if (ex->answered) {
            drain();
            return;
        }
        ex->head += socket->read(qMax(0, maxHeadBytes - ex->head.size()));
        const int status = corvid_http_request_status(ex->head, maxHeadBytes, "/metrics");
        if (status == 0)
            return;
        ex->answered = true;
        answer(socket, status);
    });
    // Once the answer is out, the sending side closes; the peer then closes its own.
    connect(socket, &QTcpSocket::bytesWritten, socket, [socket, ex, drain] {
        if (!ex->answered || ex->shutDown || socket->bytesToWrite() != 0 || socket->socketDescriptor() < 0)
            return;
        ex->shutDown = true;
        ::shutdown(int(socket->socketDescriptor()), SHUT_WR);
        drain();
    });
}

void CorvidMetricsServer::answer(QTcpSocket *socket, int status)
{
    qCDebug(lcMetrics) << "answer" << status << "to" << socket->peerAddress().toString();
    socket->write(status == 200 ? corvid_http_response(200, m_metrics.render(), CorvidMetrics::contentType())
                                : corvid_http_response(status));
}
