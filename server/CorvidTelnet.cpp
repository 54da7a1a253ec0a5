#include "server/CorvidTelnet.h"

#include "server/peer_text.h"

#include <QDateTime>
#include <QLoggingCategory>
#include <QTcpServer>
#include <QTcpSocket>
#include <cerrno>
#include <sys/socket.h>

// Trace of the data stream; off unless TELNET_DEBUG is set.
Q_LOGGING_CATEGORY(lcTelnet, "corvid.telnet", QtWarningMsg)

namespace {

// The longest message a CAN link carries; longer typed data goes in several.
constexpr int kMaxMessageData = 65533;
// Small items waiting for the terminal (negotiation replies above all) are
// joined up to this size, so that a flood of them costs no more than its
// bytes; below 64 KiB, so that the array's growth stays within a 64 KiB block.
constexpr int kJoinedItem = 60 * 1024;
// The trace shows this much of each read or write.
constexpr int kTraceBytes = 256;

QByteArray traceHex(const QByteArray &bytes)
{
    QByteArray out = bytes.left(kTraceBytes).toHex(' ');
    if (bytes.size() > kTraceBytes)
        out += " ...";
    return out;
}

}  // namespace

CorvidTelnet::CorvidTelnet(uint16_t deviceAddress, Links links, uint16_t ownAddress, uint16_t msgId, bool deEscape,
                           bool crRewrite, uint16_t pieceSize, uint16_t pieceDelay, bool debug,
                           const QHostAddress &listenAddress, QObject *parent)
    : QObject(parent),
      m_port(uint16_t(deviceAddress + 60000)),
      m_deviceAddress(deviceAddress),
      m_ownAddress(ownAddress),
      m_msgId(msgId),
      m_deEscape(deEscape),
      m_crRewrite(crRewrite),
      m_pieceLength(telnet::pieceLength(pieceSize)),
      m_pieceDelay(pieceDelay),
      m_links(std::move(links)),
      m_server(new QTcpServer(this)),
      m_input(deEscape, crRewrite)
{
    if (debug) {
        auto &category = const_cast<QLoggingCategory &>(lcTelnet());
        category.setEnabled(QtDebugMsg, true);
        category.setEnabled(QtInfoMsg, true);
    }
    if (pieceSize > 0 && m_pieceLength == 0)
        qWarning("%s", qPrintable(QStringLiteral("Telnet pacing piece size %1 leaves no room for data beside the 16 "
                                                 "bytes of framing, port: %2; typed data is sent without pacing")
                                      .arg(pieceSize)
                                      .arg(m_port)));
    connect(m_server, &QTcpServer::newConnection, this, &CorvidTelnet::slotNewConnection);
    connect(this, &CorvidTelnet::IAC_occured, this, &CorvidTelnet::on_IAC_occured);
    listenOn(listenAddress);
    if (m_pieceLength > 0)
        connect(&m_pacingTimer, &QTimer::timeout, this, &CorvidTelnet::on_UHF_send_timer);
}

CorvidTelnet::~CorvidTelnet()
{
    if (m_terminal) {
        disconnect(m_terminal, nullptr, this, nullptr);
        m_terminal->abort();
    }
}

bool CorvidTelnet::isListening() const
{
    return m_server->isListening();
}

bool CorvidTelnet::listenOn(const QHostAddress &address)
{
    if (m_terminal)
        closeTerminal();
    m_server->close();
    const bool ok = m_server->listen(address, m_port);
    if (ok) {
        qInfo("Telnet TCP server is started, port: %u", unsigned(m_port));
        return true;
    }
    qInfo("Telnet TCP server is not started, port: %u", unsigned(m_port));
    qWarning("%s", qPrintable(QStringLiteral("Telnet port %1 cannot listen on %2: %3")
                                  .arg(m_port)
                                  .arg(address.toString(), m_server->errorString())));
    return false;
}

void CorvidTelnet::slotNewConnection()
{
    if (!m_server->hasPendingConnections()) {
        qCritical("Telnet TCP client is not approved, port: %u", unsigned(m_port));
        return;
    }
    if (m_terminal && m_reading) {
        // Whether the terminal is still there shows only once its data is read.
        m_arrivedMeanwhile = true;
        return;
    }
    while (m_server->hasPendingConnections()) {
        QTcpSocket *socket = m_server->nextPendingConnection();
        if (!socket) {
            qInfo("Telnet TCP client is not actually approved, port: %u", unsigned(m_port));
            return;
        }
        if (m_terminal && !terminalGone()) {
            qCritical("Telnet TCP client is already approved, new client rejected");
            if (socket->isOpen())
                socket->close();
            socket->deleteLater();
            continue;
        }
        m_terminal = socket;
        qInfo("Telnet TCP client is approved, port: %u", unsigned(m_port));
        crd_client_info_t info;
        info.id = m_port;
        info.description = QStringLiteral("Telnet Client");
        info.app_name = QStringLiteral("Halcyon Telnet Client");
        info.socket = socket;
        info.identified = 1;
        info.observer = 0;
        info.since = QDateTime::currentDateTime();
        info.version = 0;
        emit newClientAdded(info);
        // Past what the bridge has taken, the kernel holds the data back and
        // the terminal has to wait.
        socket->setReadBufferSize(m_limits.read);
        connect(socket, &QTcpSocket::readyRead, this, &CorvidTelnet::slotServerRead);
        connect(socket, &QTcpSocket::disconnected, this, &CorvidTelnet::slotClientDisconnected);
        connect(socket, &QTcpSocket::bytesWritten, this, &CorvidTelnet::handleBytesWritten);
        // A fresh session: nothing left over from the one before.
        m_input = telnet::InputFilter(m_deEscape, m_crRewrite, m_limits.subnegotiation);
        if (socket->bytesAvailable() > 0)
            slotServerRead();
    }
}

// A terminal whose peer has closed may not have been noticed yet: its end of
// stream can wait in the loop behind the connection of its successor. What it
// sent is taken first, so it still reaches the device ahead of the newcomer's.
bool CorvidTelnet::terminalGone()
{
    const QTcpSocket *old = m_terminal;
    for (qint64 taken = 0; m_terminal == old && m_terminal->state() == QAbstractSocket::ConnectedState;) {
        if (m_terminal->bytesAvailable() > 0) {
            taken += m_terminal->bytesAvailable();
            readOnce();
            continue;
        }
        char byte;
        const ssize_t peeked = ::recv(int(m_terminal->socketDescriptor()), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
        if (peeked < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            return false;  // still there, nothing more to say
        // Still sending after as much as a terminal may hold: still there.
        if (peeked > 0 && taken > m_limits.held)
            return false;
        // Data comes in through the socket, which also sees an end of stream
        // or a reset and reports the terminal disconnected.
        if (peeked == 0 || peeked < 0 || !m_terminal->waitForReadyRead(0)) {
            slotClientDisconnected();
            break;
        }
    }
    if (m_terminal == old)
        slotClientDisconnected();
    return true;
}

void CorvidTelnet::slotServerRead()
{
    m_readScheduled = false;
    if (!m_terminal)
        return;
    if (m_reading)
        m_readMeanwhile = true;
    else
        readOnce();
}

// One read per wake-up, so that the other terminals and clients get their
// turn; what is left waits for the next pass of the loop.
void CorvidTelnet::readOnce()
{
    m_reading = true;
    takeInput(m_terminal->read(m_limits.read));
    m_reading = false;
    if (m_terminal && (m_readMeanwhile || m_terminal->bytesAvailable() > 0) && !m_readScheduled) {
        m_readScheduled = true;
        QMetaObject::invokeMethod(this, &CorvidTelnet::slotServerRead, Qt::QueuedConnection);
    }
    m_readMeanwhile = false;
    if (m_leftMeanwhile) {
        m_leftMeanwhile = false;
        slotClientDisconnected();
    }
    if (m_arrivedMeanwhile) {
        m_arrivedMeanwhile = false;
        QMetaObject::invokeMethod(this, &CorvidTelnet::slotNewConnection, Qt::QueuedConnection);
    }
}

void CorvidTelnet::takeInput(const QByteArray &raw)
{
    const telnet::Input in = m_input.feed(raw);
    if (lcTelnet().isDebugEnabled()) {
        qCDebug(lcTelnet, "CorvidTelnet::slotServerRead(), size: %d, %d: %s", in.rewrittenSize,
                int(in.data.size()), traceHex(in.data).constData());
        if (in.escapes > 0)
            qCDebug(lcTelnet, "DeESC: %d pairs", in.escapes);
        for (const QByteArray &sub : in.subnegotiations)
            qCDebug(lcTelnet, "subnegotiation: %s", traceHex(sub).constData());
        if (in.droppedSubnegotiations > 0)
            qCDebug(lcTelnet, "subnegotiations longer than %d bytes dropped: %d", m_limits.subnegotiation,
                    in.droppedSubnegotiations);
    }
    for (const QByteArray &command : in.commands) {
        if (!m_terminal)
            break;
        emit IAC_occured(command);
    }
    if (!m_terminal)
        return;  // cut off for not reading its replies
    const bool paced = m_pieceLength > 0;
    const qint64 held = m_input.pending() + (paced ? m_pacedBytes + in.data.size() : 0);
    if (held > m_limits.held) {
        m_pacingQueue.clear();
        m_pacedBytes = 0;
        m_pacingTimer.stop();
        cutOff(QStringLiteral("sends more than the bridge holds for the device (%1 bytes, at most %2); typed data "
                              "dropped")
                   .arg(held)
                   .arg(m_limits.held));
        return;
    }
    if (in.data.isEmpty())
        return;
    if (!paced) {
        for (const QByteArray &part : telnet::cutPieces(in.data, kMaxMessageData))
            sendToDevice(part);
        return;
    }
    if (m_pacingQueue.isEmpty())
        m_pacingTimer.start(m_pieceDelay);
    m_pacingQueue.append(telnet::cutPieces(in.data, m_pieceLength));
    m_pacedBytes += in.data.size();
}

void CorvidTelnet::sendToDevice(const QByteArray &data)
{
    QByteArray copy = data;
    corvid_message msg{};
    msg.msg_id = m_msgId;
    msg.address_from = m_ownAddress;
    msg.address_to = m_deviceAddress;
    msg.length = uint16_t(copy.size());
    msg.data = reinterpret_cast<uint8_t *>(copy.data());
    const int64_t sent = m_links.send ? m_links.send(&msg) : -1;
    quint32 status = 1;
    if (sent < int64_t(msg.length)) {
        qCritical("CorvidTelnet: message wasn't send. Bytes written: %lld, payload length: %u", (long long)sent,
                  unsigned(msg.length));
        status = 0;
    }
    qCDebug(lcTelnet) << "to device" << m_deviceAddress << msg.length << "bytes, status" << status;
    if (m_links.log)
        m_links.log(msg, status);
}

void CorvidTelnet::on_UHF_send_timer()
{
    if (m_pacingQueue.isEmpty()) {
        m_pacingTimer.stop();
        return;
    }
    const QByteArray piece = m_pacingQueue.takeFirst();
    m_pacedBytes -= piece.size();
    if (m_pacingQueue.isEmpty())
        m_pacingTimer.stop();
    sendToDevice(piece);
}

void CorvidTelnet::on_IAC_occured(QByteArray command)
{
    const QByteArray reply = telnet::negotiationReply(command);
    // Through the queue, so that replies and device data keep their order and
    // count against the same cap.
    if (!reply.isEmpty() && m_terminal)
        enqueue(reply);
}

qint64 CorvidTelnet::telnetWrite(const QByteArray &data, bool isNew)
{
    const QByteArray prepared = isNew ? telnet::prepareOutput(data, m_deEscape, m_crRewrite) : data;
    qCDebug(lcTelnet, "TELNET WRITE: %s", traceHex(prepared).constData());
    // A terminal that has gone gets nothing queued for it.
    if (!m_terminal || m_terminal->state() != QAbstractSocket::ConnectedState) {
        qCritical("CorvidTelnet client is not initialized!");
        return -1;
    }
    if (prepared.isEmpty())
        return -1;
    if (isNew)
        return enqueue(prepared) ? m_lastWritten : -1;
    return writeFirst();
}

bool CorvidTelnet::enqueue(const QByteArray &prepared)
{
    m_lastWritten = -1;
    if (m_queuedBytes + prepared.size() > m_limits.output) {
        cutOff(QStringLiteral("does not read, %1 bytes waiting (at most %2)")
                   .arg(m_queuedBytes + prepared.size())
                   .arg(m_limits.output));
        return false;
    }
    // The first item may be on its way; the ones behind it can still grow.
    if (m_writeQueue.size() > 1 && m_writeQueue.last().size() + prepared.size() <= kJoinedItem)
        m_writeQueue.last() += prepared;
    else
        m_writeQueue.append(prepared);
    m_queuedBytes += prepared.size();
    if (!m_writing)
        m_lastWritten = writeFirst();
    return true;
}

qint64 CorvidTelnet::writeFirst()
{
    const QByteArray &item = m_writeQueue.first();
    m_writing = true;
    m_inFlight = item.size();
    const qint64 written = m_terminal->write(item);
    if (written == -1)
        qCritical("%s", qPrintable(QStringLiteral("Failed to write all data to port %1, error: %2")
                                       .arg(m_port)
                                       .arg(m_terminal->errorString())));
    else if (written < item.size())
        qCritical("%s", qPrintable(QStringLiteral("Failed to write all the data to port %1, error: %2")
                                       .arg(m_port)
                                       .arg(m_terminal->errorString())));
    return written;
}

void CorvidTelnet::handleBytesWritten(qint64 bytes)
{
    if (m_writeQueue.isEmpty())
        return;
    // The socket reports its progress in steps of its own choosing; the item
    // is done once all of its bytes are reported.
    m_inFlight -= bytes;
    if (m_inFlight > 0)
        return;
    if (m_inFlight < 0)
        qCritical("Error: CorvidTelnet::handleBytesWritten: length of data and written bytes isn't the same.");
    m_writing = false;
    m_queuedBytes -= m_writeQueue.takeFirst().size();
    m_inFlight = 0;
    if (!m_writeQueue.isEmpty())
        telnetWrite(m_writeQueue.first(), false);
}

void CorvidTelnet::slotClientDisconnected()
{
    if (!m_terminal)
        return;
    if (m_reading) {
        m_leftMeanwhile = true;  // its last data is not read yet
        return;
    }
    // What the terminal sent before it left still goes to the device.
    while (m_terminal && m_terminal->bytesAvailable() > 0)
        readOnce();
    release();
}

void CorvidTelnet::cutOff(const QString &why)
{
    qCritical("%s", qPrintable(QStringLiteral("Telnet TCP client %1 %2, port: %3; client disconnected")
                                   .arg(peerText(m_terminal), why)
                                   .arg(m_port)));
    release();
}

void CorvidTelnet::release()
{
    if (!m_terminal)
        return;
    QTcpSocket *socket = m_terminal;
    m_terminal = nullptr;
    disconnect(socket, nullptr, this, nullptr);
    socket->abort();
    socket->deleteLater();
    m_writeQueue.clear();
    m_queuedBytes = 0;
    m_inFlight = 0;
    m_writing = false;
    m_input = telnet::InputFilter(m_deEscape, m_crRewrite, m_limits.subnegotiation);
    emit clientDisconnected(m_port);
    qInfo("Telnet TCP client disconnected, port: %u", unsigned(m_port));
}
