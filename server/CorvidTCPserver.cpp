#include "server/CorvidTCPserver.h"

#include "server/descriptor_limit.h"
#include "server/TlsSettings.h"
#include "server/peer_text.h"

#include <QDateTime>
#include <QHostAddress>
#include <QLoggingCategory>
#include <QPointer>
#include <QSocketNotifier>
#include <QSslCipher>
#include <QSslSocket>
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

// What a connection still has to send. A TLS socket hands its data to the
// connection underneath as soon as it has encrypted it, so that counts too.
qint64 unsent(const QTcpSocket *socket)
{
    if (const auto *tls = qobject_cast<const QSslSocket *>(socket))
        return tls->bytesToWrite() + tls->encryptedBytesToWrite();
    return socket->bytesToWrite();
}

struct Recipient {
    QPointer<QTcpSocket> socket;
    uint32_t id;
};

} // namespace

CorvidTCPserver::CorvidTCPserver(uint16_t port_, QObject *parent) : QObject(parent), port(port_)
{
    m_plain.server = new QTcpServer(this);
    m_tls.server = new QTcpServer(this);
    m_tls.tls = true;
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
    closeListener(m_tls);
    closeListener(m_plain);
    delete m_plain.server;
}

bool CorvidTCPserver::startServer()
{
    if (m_listenRetry)
        m_listenRetry->stop();
    closeListener(m_plain);
    if (!m_plain.server->listen(listenAddress, port)) {
        // Which port on which addresses, for an operator who runs more than one service.
        m_error = QStringLiteral("%1, port %2: %3")
                      .arg(listenAddress == QHostAddress(QHostAddress::Any) ? QStringLiteral("all local addresses")
                                                                             : listenAddress.toString())
                      .arg(port)
                      .arg(m_plain.server->errorString());
        qCritical("%s", qPrintable(QStringLiteral("Unable to start the server: ") + m_error));
        m_plain.server->close();
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
    m_error.clear();
    wireListening(m_plain);
    return true;
}

void CorvidTCPserver::wireListening(Listener &listener)
{
    // The acceptor takes connections itself: Qt's own accepting spins on a
    // listening socket that stays readable once descriptors run out, and
    // says nothing.
    listener.server->pauseAccepting();
    delete listener.notifier;
    listener.notifier = new QSocketNotifier(listener.server->socketDescriptor(), QSocketNotifier::Read, this);
    if (listener.tls)
        connect(listener.notifier, &QSocketNotifier::activated, this, [this] { acceptPending(m_tls); });
    else
        connect(listener.notifier, &QSocketNotifier::activated, this, &CorvidTCPserver::slotNewConnection);
}

void CorvidTCPserver::closeListener(Listener &listener)
{
    // The notifier first: one on a closed descriptor spins.
    delete listener.notifier;
    listener.server->close();
}

void CorvidTCPserver::retryListening()
{
    if (!m_plain.server->listen(listenAddress, port)) {
        m_plain.server->close();
        return;
    }
    m_listenRetry->stop();
    m_error.clear();
    wireListening(m_plain);
    emit listeningResumed();
}

void CorvidTCPserver::onAcceptError(Listener &listener)
{
    if (!m_acceptErrorReported.isValid() || m_acceptErrorReported.elapsed() >= acceptErrorReportMs) {
        m_acceptErrorReported.start();
        qCritical("Unable to accept a TCP connection: no file descriptors or memory left");
    }
    // The waiting connections are taken again once a connection closes, or
    // at the latest in a second.
    listener.notifier->setEnabled(false);
    QPointer<QSocketNotifier> notifier = listener.notifier;
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
    return startServer();
}

void CorvidTCPserver::closeListening()
{
    closeListener(m_plain);
}

uint16_t CorvidTCPserver::serverPort() const
{
    return m_plain.server->serverPort();
}

bool CorvidTCPserver::startTls(uint16_t tlsPort, const QHostAddress &address, const QSslConfiguration &configuration)
{
    stopTls();
    m_tlsConfiguration = configuration;
    if (!m_tls.server->listen(address, tlsPort)) {
        qCritical("%s", qPrintable(QStringLiteral("Unable to start the TLS server at port %1: %2")
                                       .arg(tlsPort)
                                       .arg(m_tls.server->errorString())));
        m_tls.server->close();
        return false;
    }
    wireListening(m_tls);
    return true;
}

void CorvidTCPserver::stopTls()
{
    closeListener(m_tls);
    // Their certificates were checked against what no longer holds.
    const auto open = m_connections;
    for (auto it = open.cbegin(); it != open.cend(); ++it) {
        if (it.value()->tls)
            dropConnection(it.key());
    }
}

uint16_t CorvidTCPserver::tlsServerPort() const
{
    return m_tls.server->serverPort();
}

void CorvidTCPserver::setManagerHosts(const ManagerHosts &hosts)
{
    m_managerHosts = hosts;
    QVector<QPointer<QTcpSocket>> managers;
    for (const crd_client_info_t *rec : qAsConst(m_clients)) {
        if (rec->observer == 0 && rec->socket)
            managers.append(rec->socket);
    }
    for (const QPointer<QTcpSocket> &socket : qAsConst(managers)) {
        const crd_client_info_t *rec = socket ? recordOf(socket) : nullptr;
        if (rec && !mayCommand(socket, rec->app_name))
            dropConnection(socket);
    }
}

bool CorvidTCPserver::mayCommand(QTcpSocket *socket, const QString &appName)
{
    if (m_managerHosts.allows(socket->peerAddress()))
        return true;
    qCritical("%s", qPrintable(QStringLiteral("Manager refused: host not in ManagerHosts, application \"%1\" (%2)")
                                   .arg(appName, describe(socket))));
    // Every refusal ends the connection.
    countCutOff(CutRefusedHost);
    return false;
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
    m_pendingEstimate = std::max<int64_t>(0, m_pendingEstimate - unsent(socket));
    countCutOff(CutSlowReader);
    qCritical("%s", qPrintable(QStringLiteral("TCP client does not read (%1 bytes pending), disconnected (%2)")
                                   .arg(unsent(socket))
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
            m_pendingEstimate += unsent(it.key());
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
    if (maxPendingOutput > 0 && unsent(socket) + frame.size() > maxPendingOutput) {
        cutOff(socket, conn);
        return;
    }
    while (maxTotalPendingOutput > 0 && overTotalOutput(frame.size())) {
        QTcpSocket *worst = socket;
        for (auto it = m_connections.cbegin(); it != m_connections.cend(); ++it) {
            if (!it.value()->stalled && unsent(it.key()) > unsent(worst))
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
    if (conn && !conn->flushQueued && unsent(socket) > kFlushThreshold) {
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
    acceptPending(m_plain);
}

void CorvidTCPserver::acceptPending(Listener &listener)
{
    if (!listener.notifier)
        return;
    // A bounded number per wake-up: a storm of connections must not keep the
    // event loop from everything else.
    for (int i = 0; i < 64; ++i) {
        const int fd =
            ::accept4(int(listener.server->socketDescriptor()), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            if (errno != EMFILE && errno != ENFILE && errno != ENOBUFS && errno != ENOMEM)
                return;  // none waiting
            // A new connection is always taken: the oldest waiting one makes room.
            if (m_unidentified.isEmpty()) {
                onAcceptError(listener);
                return;
            }
            closeUnidentified(m_unidentified.first(), "Too many unidentified TCP connections, the oldest is closed",
                              CutLimit);
            continue;
        }
        QTcpSocket *socket = listener.tls ? new QSslSocket(m_plain.server) : new QTcpSocket(m_plain.server);
        if (!socket->setSocketDescriptor(fd)) {
            ::close(fd);
            delete socket;
            continue;
        }
        adoptConnection(socket);
        if (listener.tls)
            adoptTls(socket);
    }
}

void CorvidTCPserver::adoptTls(QTcpSocket *socket)
{
    // Until its handshake is done it waits like any connection that has not
    // identified, under the same time limit and the same bound.
    const auto conn = m_connections.value(socket);
    auto *tls = qobject_cast<QSslSocket *>(socket);
    if (!conn || !tls)
        return;
    conn->tls = true;
    if (m_tlsConfiguration)
        tls->setSslConfiguration(*m_tlsConfiguration);
    connect(tls, &QSslSocket::encrypted, this, [this, tls] {
        if (const auto c = m_connections.value(tls)) {
            c->encrypted = true;
            c->certificateName = corvid_certificate_name(tls->peerCertificate());
            qCDebug(lcAcceptor).noquote() << "TLS with" << describe(tls) << tls->sessionCipher().name();
        }
    });
    connect(tls, QOverload<const QList<QSslError> &>::of(&QSslSocket::sslErrors), this,
            [this, tls](const QList<QSslError> &errors) {
                if (const auto c = m_connections.value(tls)) {
                    for (const QSslError &e : errors)
                        c->tlsErrors << e.errorString();
                }
            });
    connect(tls, &QAbstractSocket::errorOccurred, this, [this, tls] { handshakeFailed(tls); });
    tls->startServerEncryption();
}

void CorvidTCPserver::handshakeFailed(QTcpSocket *socket)
{
    const auto conn = m_connections.value(socket);
    if (!conn || conn->encrypted)
        return;
    const QString why = conn->tlsErrors.isEmpty() ? socket->errorString() : conn->tlsErrors.join(QStringLiteral("; "));
    qCritical("%s", qPrintable(QStringLiteral("TLS handshake failed, disconnected (%1): %2").arg(conn->peer, why)));
    // One line for it: no "disconnected" notice follows.
    forgetConnection(socket);
    socket->abort();
}

void CorvidTCPserver::adoptConnection(QTcpSocket *socket)
{
    // Owned like an accepted one, so it goes with the acceptor at the latest.
    if (socket->parent() != m_plain.server)
        socket->setParent(m_plain.server);
    socket->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    // An echo and the bus answer that follows it must not wait for the
    // client's delayed ACK (Nagle): that alone costs 40 ms a round trip.
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    const QString peer = peerText(socket);
    if (maxClients != 0 && m_clients.size() >= int(maxClients)) {
        countCutOff(CutLimit);
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
        closeUnidentified(m_unidentified.first(), "Too many unidentified TCP connections, the oldest is closed",
                              CutLimit);
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
            closeUnidentified(socket, "TCP client did not identify itself in time, disconnected", CutIdle);
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

void CorvidTCPserver::closeUnidentified(QTcpSocket *socket, const char *why, CutOffReason reason)
{
    const auto conn = m_connections.value(socket);
    if (!conn || conn->identified)
        return;
    countCutOff(reason);
    qInfo("%s (%s)", why, qPrintable(conn->peer));
    m_unidentified.removeOne(socket);
    socket->abort();
    forgetConnection(socket);
}

QString CorvidTCPserver::describe(QTcpSocket *socket) const
{
    const auto conn = m_connections.value(socket);
    QString text = conn ? conn->peer : peerText(socket);
    if (conn && !conn->certificateName.isEmpty())
        text += QStringLiteral(", CN %1").arg(conn->certificateName);
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
    if (!conn->tls) {
        flushWritten();
        return;
    }
    // A TLS socket hands over what it has decrypted a few KiB at a time, a
    // read pass each: what they all wrote leaves together, in fewer and
    // larger records, once the event loop is back.
    if (!m_flushQueued) {
        m_flushQueued = true;
        QMetaObject::invokeMethod(
            this,
            [this] {
                m_flushQueued = false;
                flushWritten();
            },
            Qt::QueuedConnection);
    }
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
    const bool manager = info->observer != 1;
    if (manager && !mayCommand(sender, QString::fromLatin1(info->name))) {
        dropConnection(sender);
        return;
    }
    // One connection is one client: saying who it is again updates its record.
    if (crd_client_info_t *known = recordOf(sender)) {
        fillRecord(*known, *info);
        if (manager)
            logManager(sender, known->app_name);
        sendServerInfo(sender);
        emit clientUpdated(*known);
        sendServerState(sender);
        return;
    }
    if (maxClients != 0 && m_clients.size() >= int(maxClients)) {
        countCutOff(CutLimit);
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
        rec->certificateName = conn->certificateName;
        if (conn->idleTimer)
            conn->idleTimer->stop();
    }
    m_unidentified.removeOne(sender);

    sendServerInfo(sender);
    m_clients.append(rec);
    if (manager)
        logManager(sender, rec->app_name);
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
    if (auto *socket = qobject_cast<QTcpSocket *>(sender()))
        connectionClosed(socket);
    else
        qInfo("TCP client disconnected (unknown peer)");
}

void CorvidTCPserver::connectionClosed(QTcpSocket *socket)
{
    const QString who = describe(socket);
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
    qInfo("%s", qPrintable(QStringLiteral("TCP client disconnected (%1)").arg(who)));
}

void CorvidTCPserver::dropConnection(QTcpSocket *socket)
{
    QPointer<QTcpSocket> guard(socket);
    socket->abort();
    // Closed by the abort already, unless it was no longer connected.
    if (guard && m_connections.contains(socket))
        connectionClosed(socket);
}

void CorvidTCPserver::logManager(QTcpSocket *socket, const QString &appName)
{
    // Who was able to command, for the record.
    qInfo("%s", qPrintable(QStringLiteral("Manager identified: application \"%1\" (%2)").arg(appName, describe(socket))));
}

void CorvidTCPserver::forgetConnection(QTcpSocket *socket)
{
    m_unidentified.removeOne(socket);
    if (m_connections.remove(socket) == 0)
        return;
    // A descriptor has come back: accepting may go on.
    for (const Listener *l : {&m_plain, &m_tls}) {
        if (l->notifier && !l->notifier->isEnabled())
            l->notifier->setEnabled(true);
    }
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
