#include "connectors/UDP_PacketSender.h"

#include <QDebug>
#include <QLoggingCategory>
#include <QNetworkInterface>
#include <QUdpSocket>

Q_LOGGING_CATEGORY(lcUdp, "corvid.udp", QtInfoMsg)  // its debug output is the per-datagram trace

namespace {

constexpr int kMulticastTtl = 128;

// The datagram as text for the log, up to its first zero byte; control bytes
// are escaped so that a datagram cannot forge lines of the log.
QString printable(const QByteArray &datagram)
{
    const int end = datagram.indexOf('\0');
    const QByteArray text = end < 0 ? datagram : datagram.left(end);
    QString out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto b = uchar(c);
        if (b < 0x20 || b == 0x7F)
            out += QStringLiteral("\\x%1").arg(b, 2, 16, QLatin1Char('0'));
        else
            out += QChar(b);
    }
    return out;
}

}  // namespace

UDP_PacketSender::UDP_PacketSender(QObject *parent)
    : QObject(parent), m_socket(new QUdpSocket()), m_sendSocket(new QUdpSocket())
{
    connect(m_socket, &QUdpSocket::connected, this, &UDP_PacketSender::OnConnected);
    connect(m_socket, &QUdpSocket::readyRead, this, &UDP_PacketSender::OnReadyRead);
    connect(m_socket, &QUdpSocket::errorOccurred, this, &UDP_PacketSender::error);
    // A datagram the network cannot carry fails that one send (its result
    // says so); it is no reason to take the link down.
    connect(m_sendSocket, &QUdpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError err) {
        if (err != QAbstractSocket::DatagramTooLargeError)
            error(err);
    });
    // Datagrams sent to us directly by a peer on the sending port are not
    // part of the link: drop them so they never pile up.
    connect(m_sendSocket, &QUdpSocket::readyRead, this, [this] {
        while (m_sendSocket->hasPendingDatagrams())
            m_sendSocket->readDatagram(nullptr, 0);
    });
}

UDP_PacketSender::~UDP_PacketSender()
{
    delete m_socket;
    delete m_sendSocket;
}

void UDP_PacketSender::bindAndJoin(const QString &host, uint16_t port)
{
    close();
    m_port = port;
    m_group = QHostAddress(host);
    // Looped back on this host a datagram may carry no source address at all.
    m_localAddresses = QNetworkInterface::allAddresses() << QHostAddress(QHostAddress::AnyIPv4);
    if (m_group.isNull())
        qWarning("%s", qPrintable(tr("UDP group %1 is not an IP address; nothing can be sent").arg(host)));

    m_socket->bind(QHostAddress::AnyIPv4, port, QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint);
    if (m_socket->state() == QAbstractSocket::BoundState && m_group.isMulticast() &&
        !m_socket->joinMulticastGroup(m_group))
        qWarning("%s", qPrintable(tr("Cannot join multicast group %1: %2").arg(m_group.toString(), m_socket->errorString())));

    // Set once the sockets exist: options set before that are lost.
    if (m_sendSocket->bind(QHostAddress(QHostAddress::AnyIPv4), 0)) {
        m_sendSocket->setSocketOption(QAbstractSocket::MulticastTtlOption, kMulticastTtl);
        m_sendSocket->setSocketOption(QAbstractSocket::MulticastLoopbackOption, 1);
    }
    emit Connected();
    if (m_socket->state() != QAbstractSocket::BoundState)
        qInfo("%s", qPrintable(tr("IPv4 failed. Ready to multicast datagrams to group %1 on port %2")
                                   .arg(m_group.toString())
                                   .arg(m_port)));
}

void UDP_PacketSender::close()
{
    m_socket->disconnectFromHost();
    m_socket->close();
    m_sendSocket->close();
}

uint16_t UDP_PacketSender::sendingPort() const
{
    return m_sendSocket->localPort();
}

int64_t UDP_PacketSender::sendPayload(QByteArray payload)
{
    const qint64 written = m_sendSocket->writeDatagram(payload, m_group, m_port);
    if (written != payload.size())
        qWarning("%s", qPrintable(tr("UDP datagram of %1 bytes to group %2 on port %3 not sent: %4")
                                      .arg(payload.size())
                                      .arg(m_group.toString())
                                      .arg(m_port)
                                      .arg(m_sendSocket->errorString())));
    return written;
}

void UDP_PacketSender::OnConnected()
{
    emit Connected();
}

bool UDP_PacketSender::isOwnDatagram(const QHostAddress &sender, uint16_t senderPort) const
{
    if (senderPort == 0 || senderPort != sendingPort())
        return false;
    for (const auto &a : m_localAddresses)
        if (a.isEqual(sender, QHostAddress::TolerantConversion))
            return true;
    return false;
}

void UDP_PacketSender::OnReadyRead()
{
    // Every pending datagram is passed on, in order: a notification may stand
    // for many of them.
    while (m_socket->hasPendingDatagrams()) {
        const qint64 size = m_socket->pendingDatagramSize();
        QByteArray datagram(int(qMax<qint64>(size, 0)), Qt::Uninitialized);
        QHostAddress sender;
        quint16 senderPort = 0;
        const qint64 got = m_socket->readDatagram(datagram.data(), datagram.size(), &sender, &senderPort);
        if (got < 0)
            break;
        datagram.truncate(int(got));
        if (isOwnDatagram(sender, senderPort)) {
            qCDebug(lcUdp) << "own datagram of" << got << "bytes looped back; dropped";
            continue;
        }
        // Trace only: anyone who can send to the group must not fill the log.
        qCDebug(lcUdp, "%s", qPrintable(QStringLiteral("Received IPv4 datagram: \"%1\"").arg(printable(datagram))));
        m_lastSender = QStringLiteral("%1:%2").arg(sender.toString()).arg(senderPort);
        emit PacketArrived(datagram);
    }
}

void UDP_PacketSender::error(QAbstractSocket::SocketError err)
{
    qInfo() << "Socket error" << err;
    emit Error(err);
}
