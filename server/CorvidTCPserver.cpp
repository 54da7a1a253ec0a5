#include "server/CorvidTCPserver.h"

#include <QDateTime>
#include <QHostAddress>
#include <QLoggingCategory>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace {

Q_LOGGING_CATEGORY(lcAcceptor, "corvid.acceptor", QtWarningMsg)

SrvRxState rxStateOf(uint32_t kind)
{
    switch (kind) {
    case FrameAppInfo:
        return RxAppInfo;
    case FrameMsg2Sat:
        return RxMsg2Sat;
    case FrameMsg2App:
        return RxMsg2App;
    default:
        return RxIdle;
    }
}

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
    delete m_server;
}

bool CorvidTCPserver::startServer()
{
    if (!m_server->listen(QHostAddress::Any, port)) {
        m_error = m_server->errorString();
        qCritical("%s", qPrintable(QStringLiteral("Unable to start the server: ") + m_error));
        m_server->close();
        return false;
    }
    m_error.clear();
    connect(m_server, &QTcpServer::newConnection, this, &CorvidTCPserver::slotNewConnection, Qt::UniqueConnection);
    return true;
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
    m_server->close();
    return startServer();
}

void CorvidTCPserver::closeListening()
{
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

SrvRxState CorvidTCPserver::rxState(QTcpSocket *socket) const
{
    const auto conn = m_connections.value(socket);
    return conn ? rxStateOf(conn->rx.state()) : RxIdle;
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

void CorvidTCPserver::writeToClient(QTcpSocket *socket, const QByteArray &frame)
{
    if (socket->state() != QAbstractSocket::ConnectedState)
        return;
    const auto conn = m_connections.value(socket);
    if (conn && conn->stalled)
        return;
    if (maxPendingOutput > 0 && socket->bytesToWrite() + frame.size() > maxPendingOutput) {
        if (conn)
            conn->stalled = true;
        qCritical("%s", qPrintable(QStringLiteral("TCP client does not read (%1 bytes pending), disconnected")
                                       .arg(socket->bytesToWrite())));
        // Not from inside a send loop: the disconnection edits the client list.
        QPointer<QTcpSocket> guard(socket);
        QTimer::singleShot(0, this, [guard] {
            if (guard)
                guard->abort();
        });
        return;
    }
    socket->write(frame);
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
    while (m_server->hasPendingConnections()) {
        QTcpSocket *socket = m_server->nextPendingConnection();
        if (!socket)
            return;
        socket->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
        // An echo and the bus answer that follows it must not wait for the
        // client's delayed ACK (Nagle): that alone costs 40 ms a round trip.
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        if (maxClients != 0 && m_clients.size() >= int(maxClients)) {
            qCritical("%s", qPrintable(QStringLiteral("Connection limit (%1) reached, client rejected").arg(maxClients)));
            if (socket->isOpen())
                socket->close();
            socket->deleteLater();
            continue;
        }
        // Input beyond this stays in the kernel until the frames before it are
        // handled, so a fast sender cannot make the server buffer without end.
        socket->setReadBufferSize(kReadBufferSize);
        qCDebug(lcAcceptor).noquote() << "connection from" << socket->peerAddress().toString() << socket->peerPort();
        m_connections.insert(socket, std::make_shared<Connection>());
        connect(socket, &QTcpSocket::disconnected, this, &CorvidTCPserver::slotDisconnected);
        connect(socket, &QTcpSocket::readyRead, this, &CorvidTCPserver::slotReadClient);
        // Reported later rather than waited for: a burst of connections must
        // not stack up waits inside each other.
        QTimer::singleShot(newConnectionNoticeMs, this, [] { qInfo("New TCP connection"); });
    }
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
    conn->rx.append(socket->readAll());
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

const crd_client_info_t *CorvidTCPserver::senderRecord(QTcpSocket *sender) const
{
    for (int i = m_clients.size() - 1; i >= 0; --i) {
        if (m_clients.at(i)->socket == sender)
            return m_clients.at(i);
    }
    return nullptr;
}

void CorvidTCPserver::handleAppInfo(QTcpSocket *sender, const QByteArray &frame)
{
    const auto info = parseAppInfoFrame(frame);
    if (!info)
        return;
    auto *rec = new crd_client_info_t;
    if (!m_clients.isEmpty()) {
        const uint32_t last = m_clients.last()->id;
        rec->id = (last == 0xFFFFFFFEu || last == 0xFFFFFFFFu) ? 0 : last + 1;
    }
    const QString known = ((info->version >> 16) & 0xFF) == 0 ? QStringLiteral("Corvid control app (ver: %2)")
                                                               : QStringLiteral("Unknown client! (ver: %2)");
    rec->description = known.arg(info->version);
    rec->app_name = QString::fromLatin1(info->name);
    rec->socket = sender;
    rec->identified = 1;
    rec->observer = info->observer == 1 ? 1 : 0;
    rec->since = QDateTime::fromMSecsSinceEpoch(crs_now_ms(), Qt::UTC);
    rec->version = info->version;

    sendServerInfo(sender);
    m_clients.append(rec);
    emit newClientAdded(*rec);
    sendServerState(sender);
}

void CorvidTCPserver::handleMsg2Sat(QTcpSocket *sender, const QByteArray &frame)
{
    const auto parsed = parseMsg2SatFrame(frame);
    const crd_client_info_t *rec = senderRecord(sender);
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

void CorvidTCPserver::handleMsg2App(QTcpSocket *sender, const QByteArray &frame)
{
    const auto parsed = parseMsg2AppFrame(frame);
    const crd_client_info_t *rec = senderRecord(sender);
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
    if (socket) {
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
    qInfo("TCP client disconnected");
}

void CorvidTCPserver::forgetConnection(QTcpSocket *socket)
{
    if (m_connections.remove(socket) == 0)
        return;
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
