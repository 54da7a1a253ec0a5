#include "connectors/AX25_interface.h"

#include "connectors/ax25_frame.h"

#include <QDebug>
#include <QTcpSocket>

AX25_interface::AX25_interface(const QByteArray &groundCallsign, const QByteArray &boardCallsign,
                               uint8_t groundSsid, uint8_t boardSsid, QObject *parent)
    : QObject(parent), m_socket(new QTcpSocket()), m_groundCallsign(groundCallsign),
      m_boardCallsign(boardCallsign), m_groundSsid(groundSsid), m_boardSsid(boardSsid)
{
    // Virtual slots: the transport's own OnConnected and OnReadyRead run.
    connect(m_socket, &QTcpSocket::connected, this, &AX25_interface::OnConnected);
    connect(m_socket, &QTcpSocket::readyRead, this, &AX25_interface::OnReadyRead);
    connect(m_socket, &QTcpSocket::errorOccurred, this, &AX25_interface::error);
}

AX25_interface::~AX25_interface()
{
    m_socket->disconnect(this);
    m_socket->abort();
    delete m_socket;
}

void AX25_interface::connectToModem(const QString &host, uint16_t port)
{
    const auto state = m_socket->state();
    if (state == QAbstractSocket::ConnectingState || state == QAbstractSocket::HostLookupState)
        return;
    // A socket still closing would refuse the new connection: a restart must connect.
    if (state != QAbstractSocket::UnconnectedState)
        m_socket->abort();
    qInfo("%s", qPrintable(QStringLiteral("Connecting to %1:%2...\n").arg(host).arg(port)));
    m_socket->connectToHost(host, port, QIODevice::ReadWrite, QAbstractSocket::AnyIPProtocol);
}

void AX25_interface::disconnectFromModem()
{
    m_socket->disconnectFromHost();
}

bool AX25_interface::isConnected() const
{
    return m_socket->state() == QAbstractSocket::ConnectedState;
}

void AX25_interface::buildHeader(AX25Header *dest, const QByteArray &groundCallsign, const QByteArray &boardCallsign,
                                 uint8_t groundSsid, uint8_t boardSsid)
{
    *dest = ax25_build_header(groundCallsign, boardCallsign, groundSsid, boardSsid);
}

AX25Header AX25_interface::currentHeader() const
{
    return ax25_build_header(m_groundCallsign, m_boardCallsign, m_groundSsid, m_boardSsid);
}

void AX25_interface::error(QAbstractSocket::SocketError error)
{
    qInfo() << "Socket error" << error;
    emit Error(error);
}

bool AX25_interface::writeToModem(const QByteArray &bytes)
{
    if (!isConnected())
        return false;
    if (maxWriteBacklog > 0 && m_socket->bytesToWrite() + bytes.size() > maxWriteBacklog) {
        qCritical("%s", qPrintable(QStringLiteral("Radio modem %1:%2 does not read: more than %3 bytes wait to be "
                                                  "sent; disconnected")
                                       .arg(m_socket->peerName())
                                       .arg(m_socket->peerPort())
                                       .arg(maxWriteBacklog)));
        breakConnection();
        return false;
    }
    const qint64 written = m_socket->write(bytes);
    m_socket->flush();
    return written == bytes.size();
}

void AX25_interface::breakConnection()
{
    m_socket->abort();
    emit Error(QAbstractSocket::UnknownSocketError);
}
