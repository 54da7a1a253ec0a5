#include "server/CorvidTelnet.h"

#include <QDateTime>
#include <QLoggingCategory>
#include <QTcpServer>
#include <QTcpSocket>

Q_LOGGING_CATEGORY(lcTelnet, "corvid.telnet", QtWarningMsg)

namespace {

// The longest message a CAN link carries; longer typed data goes in several.
constexpr int kMaxMessageData = 65533;

}  // namespace

CorvidTelnet::CorvidTelnet(uint16_t deviceAddress, Links links, uint16_t ownAddress, uint16_t msgId, bool deEscape,
                           bool crRewrite, uint16_t pieceSize, uint16_t pieceDelay, bool debug, QObject *parent)
    : QObject(parent),
      m_port(uint16_t(deviceAddress + 60000)),
      m_deviceAddress(deviceAddress),
      m_ownAddress(ownAddress),
      m_msgId(msgId),
      m_deEscape(deEscape),
      m_crRewrite(crRewrite),
      m_debug(debug),
      m_pieceLength(telnet::pieceLength(pieceSize)),
      m_pieceDelay(pieceDelay),
      m_links(std::move(links)),
      m_server(new QTcpServer(this)),
      m_input(deEscape, crRewrite)
{
    if (pieceSize > 0 && m_pieceLength == 0)
        qWarning("%s", qPrintable(QStringLiteral("Telnet pacing piece size %1 leaves no room for data beside the 16 "
                                                 "bytes of framing, port: %2; typed data is sent without pacing")
                                      .arg(pieceSize)
                                      .arg(m_port)));
    connect(m_server, &QTcpServer::newConnection, this, &CorvidTelnet::slotNewConnection);
    connect(this, &CorvidTelnet::IAC_occured, this, &CorvidTelnet::on_IAC_occured);
    if (m_server->listen(QHostAddress::Any, m_port))
        qInfo("Telnet TCP server is started, port: %u", unsigned(m_port));
    else
        qInfo("Telnet TCP server is not started, port: %u", unsigned(m_port));
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

void CorvidTelnet::slotNewConnection()
{
    if (!m_server->hasPendingConnections()) {
        qCritical("Telnet TCP client is not approved, port: %u", unsigned(m_port));
        return;
    }
    while (m_server->hasPendingConnections()) {
        QTcpSocket *socket = m_server->nextPendingConnection();
        if (!socket) {
            qInfo("Telnet TCP client is not actually approved, port: %u", unsigned(m_port));
            return;
        }
        if (m_terminal) {
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
        connect(socket, &QTcpSocket::readyRead, this, &CorvidTelnet::slotServerRead);
        connect(socket, &QTcpSocket::disconnected, this, &CorvidTelnet::slotClientDisconnected);
        connect(socket, &QTcpSocket::bytesWritten, this, &CorvidTelnet::handleBytesWritten);
        // A fresh session: nothing left over from the one before.
        m_input = telnet::InputFilter(m_deEscape, m_crRewrite);
        if (socket->bytesAvailable() > 0)
            slotServerRead();
    }
}

void CorvidTelnet::slotServerRead()
{
    // Sending may run a nested event loop (a serial adapter waits for its
    // acknowledgement); the outer pass picks up what arrives meanwhile.
    if (m_reading)
        return;
    m_reading = true;
    while (m_terminal && m_terminal->bytesAvailable() > 0) {
        const telnet::Input in = m_input.feed(m_terminal->readAll());
        if (in.escapes > 0)
            qCDebug(lcTelnet, "DeESC: %d pairs", in.escapes);
        for (const QByteArray &command : in.commands)
            emit IAC_occured(command);
        if (m_debug) {
            qInfo("CorvidTelnet::slotServerRead(), size: %d, %d", in.rewrittenSize, int(in.data.size()));
            dump(in.data);
        }
        if (in.data.isEmpty())
            continue;
        if (m_pieceLength == 0) {
            for (const QByteArray &part : telnet::cutPieces(in.data, kMaxMessageData))
                sendToDevice(part);
            continue;
        }
        if (m_pacingQueue.isEmpty())
            m_pacingTimer.start(m_pieceDelay);
        m_pacingQueue.append(telnet::cutPieces(in.data, m_pieceLength));
    }
    m_reading = false;
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
    if (m_pacingQueue.isEmpty())
        m_pacingTimer.stop();
    sendToDevice(piece);
}

void CorvidTelnet::on_IAC_occured(QByteArray command)
{
    const QByteArray reply = telnet::negotiationReply(command);
    if (reply.isEmpty() || !m_terminal)
        return;
    // Through the queue, so that replies and device data keep their order.
    if (!enqueue(reply))
        qCritical("Error: on_IAC_occured: incorrect bytes written length.");
}

qint64 CorvidTelnet::telnetWrite(const QByteArray &data, bool isNew)
{
    const QByteArray prepared = isNew ? telnet::prepareOutput(data, m_deEscape, m_crRewrite) : data;
    if (m_debug) {
        qInfo("TELNET WRITE: ");
        dump(prepared);
    }
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
    if (m_queuedBytes + prepared.size() > kMaxPendingWrite) {
        qCritical("%s", qPrintable(QStringLiteral("Telnet TCP client does not read, port: %1, %2 bytes waiting; "
                                                  "client disconnected")
                                       .arg(m_port)
                                       .arg(m_queuedBytes + prepared.size())));
        slotClientDisconnected();
        return false;
    }
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
    QTcpSocket *socket = m_terminal;
    m_terminal = nullptr;
    disconnect(socket, nullptr, this, nullptr);
    socket->abort();
    socket->deleteLater();
    m_writeQueue.clear();
    m_queuedBytes = 0;
    m_inFlight = 0;
    m_writing = false;
    emit clientDisconnected(m_port);
    qInfo("Telnet TCP client disconnected, port: %u", unsigned(m_port));
}

void CorvidTelnet::dump(const QByteArray &bytes)
{
    for (const char c : bytes)
        qInfo("%02x ", unsigned(uint8_t(c)));
}
