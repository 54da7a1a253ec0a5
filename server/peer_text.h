#pragma once
// How a diagnostic names the far end of a connection: address:port, with an
// IPv4 peer of a dual-stack listener shown as plain IPv4.

#include <QAbstractSocket>
#include <QHostAddress>
#include <QString>

inline QString peerText(const QAbstractSocket *socket)
{
    const QHostAddress address = socket->peerAddress();
    if (address.isNull())
        return QStringLiteral("unknown peer");
    bool v4 = false;
    const quint32 ip4 = address.toIPv4Address(&v4);
    if (v4)
        return QStringLiteral("%1:%2").arg(QHostAddress(ip4).toString()).arg(socket->peerPort());
    return QStringLiteral("[%1]:%2").arg(address.toString()).arg(socket->peerPort());
}
