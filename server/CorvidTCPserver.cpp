#include "server/CorvidTCPserver.h"

#include "server/descriptor_limit.h"
#include "server/peer_text.h"

#include <QDateTime>
#include <QHostAddress>
#include <QLoggingCategory>
#include <QPointer>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

namespace {

Q_LOGGING_CATEGORY(lcAcceptor, "corvid.acceptor", QtWarningMsg)

constexpr qint64 kFlushThreshold = 64 * 1024;
constexpr qint64 kReadBufferSize = 256 * 1024;

struct Recipient {
    QPointer<QTcpSocket> socket;
    uint32_t id;
};

} // namespace

CorvidTCPserver::CorvidTCPserver(uint16_t port_, QObject *parent)
    : QObject(parent), port(port_), m_server(new QTcpServer(this))
{
    if (const int limit = corvid_descriptor_limit())
        maxUnidentified = std::max(1, std::min(maxUnidentified, limit / 4));
    qRegisterMetaType<crd_client_info_t>("crd_client_info_t");
    qRegisterMetaType<corvid_message>("corvid_message");
}

CorvidTCPserver::~CorvidTCPserver()
{
    // Sockets die with the listening socket below; none of them may call back
    // into this half-destroyed object on the way.
    for (auto it = m_connections.cbegin(); it != m_connections.cend(); ++it)
        QObject::disconnect(it.key(), nullptr, this, nullptr);
    m_connections.clear();
    qDeleteAll(m_clients);
    m_clients.clear();
    stopAccepting();
    delete m_server;
}

bool CorvidTCPserver::startServer()
{
    if (m_listenRetry)
        m_listenRetry->stop();
    stopAccepting();
    if (!m_server->listen(QHostAddress::Any, port)) {
        // Which port on which addresses, for an operator who runs more than one service.
        m_error = QStringLiteral("all local addresses, port %1: %2").arg(port).arg(m_server->errorString());
        qCritical("%s", qPrintable(QStringLiteral("Unable to start the server: ") + m_error));
        m_server->close();
        // A restart that raced its predecessor for the port must not leave the
        // server unreachable for good: try again, quietly, until it works.
        if (listenRetryMs > 0) {
            if (!m_listenRetry) {
                m_listenRetry = new QTimer(this);
                connect(m_listenRetry, &QTimer::timeout, this, &CorvidTCPserver::retryListening);
            }
            m_listenRetry->start(listenRetryMs);
        }
        return false;
    }
    wireListening();
    return true;
}

void CorvidTCPserver::wireListening()
{
    m_error.clear();
    // The acceptor takes connections itself: Qt's own accepting spins on a
    // listening socket that stays readable once descriptors run out, and
    // says nothing.
    m_server->pauseAccepting();
    stopAccepting();
    m_acceptNotifier = new QSocketNotifier(m_server->socketDescriptor(), QSocketNotifier::Read, this);
    connect(m_acceptNotifier, &QSocketNotifier::activated, this, &CorvidTCPserver::slotNewConnection);
}

void CorvidTCPserver::stopAccepting()
{
    // Before the listening socket closes: a notifier on a closed descriptor spins.
    delete m_acceptNotifier;
}

void CorvidTCPserver::retryListening()
{
    if (!m_server->listen(QHostAddress::Any, port)) {
        m_server->close();
        return;
    }
    m_listenRetry->stop();
    wireListening();
    emit listeningResumed();
}

void CorvidTCPserver::onAcceptError()
{
    if (!m_acceptErrorReported.isValid() || m_acceptErrorReported.elapsed() >= acceptErrorReportMs) {
        m_acceptErrorReported.start();
        qCritical("Unable to accept a TCP connection: no file descriptors or memory left");
    }
    // The waiting connections are taken again once a connection closes, or
    // at the latest in a second.
    m_acceptNotifier->setEnabled(false);
    QPointer<QSocketNotifier> notifier = m_acceptNotifier;
    QTimer::singleShot(1000, this, [notifier] {
        if (notifier)
            notifier->setEnabled(true);
    });
}

bool CorvidTCPserver::restartServer()
{
    QList<crd_client_info_t *> former;
    former.swap(m_clients);
    for (crd_client_info_t *rec : qAsConst(former)) {
        if (rec->socket)
            rec->socket->disconnectFromHost();
        emit signalDisconnected(rec->id);
    }
    qDeleteAll(former);
    // Connections that never identified belong to the old port as well.
    const auto open = m_connections.keys();
    for (QTcpSocket *socket : open) {
        // One that stopped reading would never finish a graceful close.
        const auto conn = m_connections.value(socket);
        if (conn && conn->stalled)
            socket->abort();
        else
            socket->disconnectFromHost();
    }
    stopAccepting();
    m_server->close();
    return startServer();
}

void CorvidTCPserver::closeListening()
{
    stopAccepting();
    m_server->close();
}

uint16_t CorvidTCPserver::serverPort() const
{
    return m_server->serverPort();
}

QList<crd_client_info_t> CorvidTCPserver::clientList() const
{
    QList<crd_client_info_t> list;
    list.reserve(m_clients.size());
    for (const crd_client_info_t *rec : m_clients)
        list.append(*rec);
    return list;
}

void CorvidTCPserver::sendServerInfo(QTcpSocket *socket)
{
    if (socket)
        writeToClient(socket, buildSrvInfoFrame());
}

void CorvidTCPserver::sendServerState(QTcpSocket *socket)
{
    if (socket)
        writeToClient(socket, buildSrvStateFrame(hw_state, hw_error));
}

void CorvidTCPserver::sendMsgToApp(QTcpSocket *socket, const corvid_message *msg, uint64_t stamp, unsigned status,
                                   unsigned dir, unsigned tag, const AX25Header *hdr)
{
    if (socket && msg)
        writeToClient(socket, buildMsg2AppFrame(*msg, stamp, status, dir, tag, hdr));
}

void CorvidTCPserver::cutOff(QTcpSocket *socket, const std::shared_ptr<Connection> &conn)
{
    if (conn)
        conn->stalled = true;
    m_pendingEstimate = std::max<int64_t>(0, m_pendingEstimate - socket->bytesToWrite());
    qCritical("%s", qPrintable(QStringLiteral("TCP client does not read (%1 bytes pending), disconnected (%2)")
                                   .arg(socket->bytesToWrite())
                                   .arg(describe(socket))));
    // Not from inside a send loop: the disconnection edits the client list.
    QPointer<QTcpSocket> guard(socket);
    QTimer::singleShot(0, this, [guard] {
        if (guard)
            guard->abort();
    });
}

bool CorvidTCPserver::overTotalOutput(int64_t adding)
{
    // The estimate only grows between recounts, so it never undercounts.
    if (m_pendingEstimate + adding <= maxTotalPendingOutput)
        return false;
    m_pendingEstimate = 0;
    for (auto it = m_connections.cbegin(); it != m_connections.cend(); ++it) {
        if (!it.value()->stalled)
            m_pendingEstimate += it.key()->bytesToWrite();
    }
    return m_pendingEstimate + adding > maxTotalPendingOutput;
}

void CorvidTCPserver::writeToClient(QTcpSocket *socket, const QByteArray &frame)
{
    if (socket->state() != QAbstractSocket::ConnectedState)
        return;
    const auto conn = m_connections.value(socket);
    if (conn && conn->stalled)
        return;
    if (maxPendingOutput > 0 && socket->bytesToWrite() + frame.size() > maxPendingOutput) {
        cutOff(socket, conn);
        return;
    }
    while (maxTotalPendingOutput > 0 && overTotalOutput(frame.size())) {
        QTcpSocket *worst = socket;
        for (auto it = m_connections.cbegin(); it != m_connections.cend(); ++it) {
            if (!it.value()->stalled && it.key()->bytesToWrite() > worst->bytesToWrite())
                worst = it.key();
        }
        cutOff(worst, m_connections.value(worst));
        if (worst == socket)
            return;
    }
    socket->write(frame);
    m_pendingEstimate += frame.size();
    if (m_inReadPass && conn) {
        if (!conn->flushQueued) {
            conn->flushQueued = true;
            m_written.append({QPointer<QTcpSocket>(socket), conn});
        }
        return;
    }
    // The socket hands the kernel one buffered block per write notification;
    // a burst of echoes would pile up behind that although the peer reads.
    // Push it all out once per pass of the event loop instead.
    if (conn && !conn->flushQueued && socket->bytesToWrite() > kFlushThreshold) {
        conn->flushQueued = true;
        QPointer<QTcpSocket> guard(socket);
        QTimer::singleShot(0, this, [guard, conn] {
            conn->flushQueued = false;
            if (guard && guard->state() == QAbstractSocket::ConnectedState)
                guard->flush();
        });
    }
}

void CorvidTCPserver::slotNewConnection()
{
    if (!m_acceptNotifier)
        return;
    // A bounded number per wake-up: a storm of connections must not keep the
    // event loop from everything else.
    for (int i = 0; i < 64; ++i) {
        const int fd = ::accept4(int(m_server->socketDescriptor()), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            if (errno != EMFILE && errno != ENFILE && errno != ENOBUFS && errno != ENOMEM)
                return;  // none waiting
            // A new connection is always taken: the oldest waiting one makes room.
            if (m_unidentified.isEmpty()) {
                onAcceptError();
                return;
            }
            closeUnidentified(m_unidentified.first(), "Too many unidentified TCP connections, the oldest is closed");
            continue;
        }
        auto *socket = new QTcpSocket(m_server);
        if (!socket->setSocketDescriptor(fd)) {
            ::close(fd);
            delete socket;
            continue;
        }
        adoptConnection(socket);
    }
}

void CorvidTCPserver::adoptConnection(QTcpSocket *socket)
{
    // Owned like an accepted one, so it goes with the acceptor at the latest.
    if (socket->parent() != m_server)
        socket->setParent(m_server);
    socket->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    // An echo and the bus answer that follows it must not wait for the
    // client's delayed ACK (Nagle): that alone costs 40 ms a round trip.
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    const QString peer = peerText(socket);
    if (maxClients != 0 && m_clients.size() >= int(maxClients)) {
        qCritical("%s", qPrintable(QStringLiteral("Connection limit (%1) reached, client rejected (%2)")
                                       .arg(maxClients)
                                       .arg(peer)));
        if (socket->isOpen())
            socket->close();
        socket->deleteLater();
        return;
    }
    // Idle connections hold descriptors that real clients need.
    while (maxUnidentified > 0 && m_unidentified.size() >= maxUnidentified)
        closeUnidentified(m_unidentified.first(), "Too many unidentified TCP connections, the oldest is closed");
    // Input beyond this stays in the kernel until the frames before it are
    // handled, so a fast sender cannot make the server buffer without end.
    socket->setReadBufferSize(kReadBufferSize);
    qCDebug(lcAcceptor).noquote() << "connection from" << peer;
    auto conn = std::make_shared<Connection>();
    conn->peer = peer;
    if (unidentifiedTimeoutMs > 0) {
        conn->idleTimer = new QTimer(socket);
        conn->idleTimer->setSingleShot(true);
        connect(conn->idleTimer, &QTimer::timeout, this, [this, socket] {
            closeUnidentified(socket, "TCP client did not identify itself in time, disconnected");
        });
        conn->idleTimer->start(unidentifiedTimeoutMs);
    }
    m_connections.insert(socket, conn);
    m_unidentified.append(socket);
    connect(socket, &QTcpSocket::disconnected, this, &CorvidTCPserver::slotDisconnected);
    connect(socket, &QTcpSocket::readyRead, this, &CorvidTCPserver::slotReadClient);
    // Reported later rather than waited for: a burst of connections must
    // not stack up waits inside each other. One already gone was said then.
    QPointer<QTcpSocket> guard(socket);
    QTimer::singleShot(newConnectionNoticeMs, this, [guard, peer] {
        if (guard && guard->state() == QAbstractSocket::ConnectedState)
            qInfo("%s", qPrintable(QStringLiteral("New TCP connection (%1)").arg(peer)));
    });
}

void CorvidTCPserver::closeUnidentified(QTcpSocket *socket, const char *why)
{
    const auto conn = m_connections.value(socket);
    if (!conn || conn->identified)
        return;
    qInfo("%s (%s)", why, qPrintable(conn->peer));
    m_unidentified.removeOne(socket);
    socket->abort();
    forgetConnection(socket);
}

QString CorvidTCPserver::describe(QTcpSocket *socket) const
{
    const auto conn = m_connections.value(socket);
    QString text = conn ? conn->peer : peerText(socket);
    if (const crd_client_info_t *rec = recordOf(socket))
        text += QStringLiteral(", client %1").arg(rec->id);
    return text;
}

void CorvidTCPserver::slotReadClient()
{
    QPointer<QTcpSocket> socket = qobject_cast<QTcpSocket *>(sender());
    if (!socket)
        return;
    const auto conn = m_connections.value(socket);
    if (!conn || conn->stalled) {
        socket->readAll();
        return;
    }
    // What is there, not readAll(): that sizes a 16 KiB array for every read.
    conn->rx.append(socket->read(socket->bytesAvailable()));
    crs_frame_t frame;
    // Each frame may change the client list or end this connection.
    m_inReadPass = true;
    while (socket && m_connections.value(socket) == conn && !conn->stalled && conn->rx.takeFrame(frame))
        handleFrame(socket, frame);
    m_inReadPass = false;
    flushWritten();
}

void CorvidTCPserver::flushWritten()
{
    // What this pass wrote leaves now, one write per client for everything the
    // pass produced, rather than one event loop turn later.
    const auto written = std::move(m_written);
    m_written.clear();
    for (const auto &w : written) {
        w.second->flushQueued = false;
        if (w.first && w.first->state() == QAbstractSocket::ConnectedState && !w.second->stalled)
            w.first->flush();
    }
}

void CorvidTCPserver::handleFrame(QTcpSocket *sender, const crs_frame_t &frame)
{
    qCDebug(lcAcceptor, "frame kind 0x%04x, %d bytes", unsigned(frame.kind), int(frame.bytes.size()));
    switch (frame.kind) {
    case FrameAppInfo:
        handleAppInfo(sender, frame.bytes);
        break;
    case FrameMsg2Sat:
        handleMsg2Sat(sender, frame.bytes);
        break;
    case FrameMsg2App:
        handleMsg2App(sender, frame.bytes);
        break;
    default:
        break;
    }
}

crd_client_info_t *CorvidTCPserver::recordOf(QTcpSocket *socket) const
{
    for (crd_client_info_t *rec : m_clients) {
        if (rec->socket == socket)
            return rec;
    }
    return nullptr;
}

namespace {

void fillRecord(crd_client_info_t &rec, const crs_app_info_t &info)
{
    const QString known = ((info.version >> 16) & 0xFF) == 0 ? QStringLiteral("Corvid control app (ver: %2)")
                                                              : QStringLiteral("Unknown client! (ver: %2)");
    rec.description = known.arg(info.version);
    rec.app_name = QString::fromLatin1(info.name);
    rec.observer = info.observer == 1 ? 1 : 0;
    rec.version = info.version;
}

} // namespace

void CorvidTCPserver::handleAppInfo(QTcpSocket *sender, const QByteArray &frame)
{
    const auto info = parseAppInfoFrame(frame);
    if (!info)
        return;
    // One connection is one client: saying who it is again updates its record.
    if (crd_client_info_t *known = recordOf(sender)) {
        fillRecord(*known, *info);
        sendServerInfo(sender);
        emit clientUpdated(*known);
        sendServerState(sender);
        return;
    }
    if (maxClients != 0 && m_clients.size() >= int(maxClients)) {
        qCritical("%s", qPrintable(QStringLiteral("Connection limit (%1) reached, client rejected (%2)")
                                       .arg(maxClients)
                                       .arg(describe(sender))));
        m_unidentified.removeOne(sender);
        sender->abort();
        forgetConnection(sender);
        return;
    }
    auto *rec = new crd_client_info_t;
    if (!m_clients.isEmpty()) {
        const uint32_t last = m_clients.last()->id;
        rec->id = (last == 0xFFFFFFFEu || last == 0xFFFFFFFFu) ? 0 : last + 1;
    }
    fillRecord(*rec, *info);
    rec->socket = sender;
    rec->identified = 1;
    rec->since = QDateTime::fromMSecsSinceEpoch(crs_now_ms(), Qt::UTC);
    if (const auto conn = m_connections.value(sender)) {
        conn->identified = true;
        if (conn->idleTimer)
            conn->idleTimer->stop();
    }
    m_unidentified.removeOne(sender);

    sendServerInfo(sender);
    m_clients.append(rec);
    emit newClientAdded(*rec);
    sendServerState(sender);
}

void CorvidTCPserver::handleMsg2Sat(QTcpSocket *sender, const QByteArray &frame)
{
    const auto parsed = parseMsg2SatFrame(frame);
    const crd_client_info_t *rec = recordOf(sender);
    // A connection that has not said who it is has no role to act in.
    if (!parsed || !rec)
        return;
    const uint32_t senderId = rec->id;
    const bool manager = rec->observer == 0;
    const corvid_message msg = parsed->message();

    if (manager)
        emit signalCorvidToHW(msg);
    ++stampId;
    const unsigned echo = manager ? 1 : 0;

    // One frame for all, another for the sender: its echo carries its recId.
    const QByteArray copy = buildMsg2AppFrame(msg, stampId, echo, echo, 0);
    QByteArray own;
    QVector<Recipient> to;
    for (const crd_client_info_t *c : qAsConst(m_clients))
        to.append({c->socket, c->id});
    for (const Recipient &r : qAsConst(to)) {
        if (!r.socket)
            continue;
        if (r.id == senderId && own.isEmpty())
            own = buildMsg2AppFrame(msg, stampId, echo, echo, parsed->header.recId);
        writeToClient(r.socket, r.id == senderId ? own : copy);
    }
}

void CorvidTCPserver::echoToClients(const corvid_message &msg)
{
    ++stampId;
    const QByteArray frame = buildMsg2AppFrame(msg, stampId, 1, 1, 0);
    QVector<QPointer<QTcpSocket>> to;
    for (const crd_client_info_t *c : qAsConst(m_clients))
        to.append(c->socket);
    for (const QPointer<QTcpSocket> &socket : qAsConst(to)) {
        if (socket)
            writeToClient(socket, frame);
    }
}

void CorvidTCPserver::handleMsg2App(QTcpSocket *sender, const QByteArray &frame)
{
    const auto parsed = parseMsg2AppFrame(frame);
    const crd_client_info_t *rec = recordOf(sender);
    if (!parsed || !rec)
        return;
    if (restrictFakeSatTelemetry != 0) {
        ++stampId;
        return;
    }
    const uint32_t senderId = rec->id;
    const bool manager = rec->observer == 0;
    const corvid_message msg = parsed->message();

    if (manager)
        emit signalCorvidToHW(msg);
    ++stampId;

    QVector<Recipient> to;
    for (const crd_client_info_t *c : qAsConst(m_clients)) {
        if (c->id != senderId)
            to.append({c->socket, c->id});
    }
    const QByteArray out = buildMsg2AppFrame(msg, stampId, 1, 0, parsed->header.tag);
    for (const Recipient &r : qAsConst(to)) {
        if (r.socket)
            writeToClient(r.socket, out);
    }
}

void CorvidTCPserver::slotDisconnected()
{
    auto *socket = qobject_cast<QTcpSocket *>(sender());
    QString who = QStringLiteral("unknown peer");
    if (socket) {
        who = describe(socket);
        for (int i = 0; i < m_clients.size();) {
            crd_client_info_t *rec = m_clients.at(i);
            if (rec->socket != socket) {
                ++i;
                continue;
            }
            m_clients.removeAt(i);
            const uint32_t id = rec->id;
            delete rec;
            emit signalDisconnected(id);
        }
        forgetConnection(socket);
    }
    qInfo("%s", qPrintable(QStringLiteral("TCP client disconnected (%1)").arg(who)));
}

void CorvidTCPserver::forgetConnection(QTcpSocket *socket)
{
    m_unidentified.removeOne(socket);
    if (m_connections.remove(socket) == 0)
        return;
    // A descriptor has come back: accepting may go on.
    if (m_acceptNotifier && !m_acceptNotifier->isEnabled())
        m_acceptNotifier->setEnabled(true);
    QObject::disconnect(socket, nullptr, this, nullptr);
    socket->deleteLater();
}

void CorvidTCPserver::slotCloseServer() {}

void CorvidTCPserver::slotHardwareStatusHandler(unsigned newState)
{
    hw_state = newState;
    const auto clients = clientList();
    for (const crd_client_info_t &c : clients)
        sendServerState(c.socket);
}

void CorvidTCPserver::slotIncrementStampID()
{
    ++stampId;
}
