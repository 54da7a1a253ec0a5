#pragma once
// Bus messages carried whole in UDP datagrams to and from a multicast group,
// without CAN framing. Never bound to the engine: received messages go to the
// hub as messageReceived.

#include "connectors/AbstractConnector.h"

#include <QAbstractSocket>
#include <QByteArray>
#include <QHash>
#include <QString>
#include <QTimer>
#include <cstdint>

class UDP_PacketSender;

class UDP_Connector : public AbstractConnector {
    Q_OBJECT
public:
    UDP_Connector(const QString &host, uint16_t port, QObject *parent = nullptr);
    ~UDP_Connector() override;

    // Take effect at the next HW_init.
    void setHostName(const QString &host) { m_host = host; }
    void setPort(uint16_t port) { m_port = port; }
    QString hostName() const { return m_host; }
    uint16_t port() const { return m_port; }
    UDP_PacketSender *transport() const { return m_transport; }
    // UdpPortName, UdpHostName.
    bool applySetting(const QString &name, const QString &value) override;

    // How often the malformed datagrams of each sender are counted out; a
    // sender quiet for ten such intervals is said again when it comes back.
    int malformedReportMs = 60000;

public slots:
    void HW_init() override;
    void HW_close() override;
    int64_t sendCorvidMessage(corvid_message *message) override;

    void OnConnected();
    void OnError(QAbstractSocket::SocketError error);
    void OnPacketArrived(QByteArray pkt_data);

private:
    void noteMalformed(int size, int leftover);
    void reportMalformed();

    UDP_PacketSender *m_transport = nullptr;
    uint16_t m_port = 0;
    QString m_host;
    struct Malformed {
        int64_t count = 0;  // since the last report
        int quiet = 0;      // report intervals without any
    };
    QHash<QString, Malformed> m_malformed;  // by sender
    QTimer m_malformedReport;
};
