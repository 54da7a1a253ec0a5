#pragma once
// Transport of the UDP link: one socket bound to the group's port that has
// joined the multicast group and receives, and one sending socket on a port of
// its own, so datagrams this process sent and that loop back to it can be told
// from those of other senders on the group.

#include <QAbstractSocket>
#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>
#include <cstdint>

class QUdpSocket;

class UDP_PacketSender : public QObject {
    Q_OBJECT
public:
    explicit UDP_PacketSender(QObject *parent = nullptr);
    ~UDP_PacketSender() override;

    // Binds to any IPv4 address on `port`, joins the group `host` and emits
    // Connected, also when binding failed: the link can then still send.
    void bindAndJoin(const QString &host, uint16_t port);
    void close();

    // Port the datagrams of this process come from.
    uint16_t sendingPort() const;
    // "address:port" of the datagram being delivered by PacketArrived.
    QString lastSender() const { return m_lastSender; }

signals:
    void Connected();
    void Error(QAbstractSocket::SocketError error);
    // One received datagram; emitted once per datagram, in arrival order.
    void PacketArrived(QByteArray pkt_data);

public slots:
    // The whole payload as one datagram; bytes written or -1.
    virtual int64_t sendPayload(QByteArray payload);
    virtual void OnConnected();
    virtual void OnReadyRead();
    void error(QAbstractSocket::SocketError error);

private:
    bool isOwnDatagram(const QHostAddress &sender, uint16_t senderPort) const;

    QUdpSocket *m_socket = nullptr;      // bound to the group's port, receives
    QUdpSocket *m_sendSocket = nullptr;  // sends from a port of its own
    QHostAddress m_group;
    uint16_t m_port = 0;
    QList<QHostAddress> m_localAddresses;
    QString m_lastSender;

    Q_DISABLE_COPY(UDP_PacketSender)
};
