#pragma once
// Base of the radio transports: the TCP connection to a packet modem program
// and the addressing of transmitted frames. KISS and AGWPE frame the packets.

#include "engine/corvid_types.h"

#include <QAbstractSocket>
#include <QByteArray>
#include <QObject>
#include <QString>
#include <cstdint>

class QTcpSocket;

class AX25_interface : public QObject {
    Q_OBJECT
public:
    AX25_interface(const QByteArray &groundCallsign, const QByteArray &boardCallsign, uint8_t groundSsid,
                   uint8_t boardSsid, QObject *parent = nullptr);
    ~AX25_interface() override;

    // Frames one message payload behind the header of the current addressing
    // and writes it. False when the modem is not connected or the write failed.
    virtual bool sendPacket(const QByteArray &payload) = 0;

    void connectToModem(const QString &host, uint16_t port);
    void disconnectFromModem();
    bool isConnected() const;

    static void buildHeader(AX25Header *dest, const QByteArray &groundCallsign, const QByteArray &boardCallsign,
                            uint8_t groundSsid, uint8_t boardSsid);
    // The header the next transmitted frame carries.
    AX25Header currentHeader() const;

    // A modem that stops reading may make the server hold at most this much
    // unsent; past it the connection is dropped as if the modem were lost.
    int64_t maxWriteBacklog = 8 * 1024 * 1024;

    QByteArray groundCallsign() const { return m_groundCallsign; }
    QByteArray boardCallsign() const { return m_boardCallsign; }
    uint8_t groundSsid() const { return m_groundSsid; }
    uint8_t boardSsid() const { return m_boardSsid; }
    void setGroundCallsign(const QByteArray &callsign) { m_groundCallsign = callsign; }
    void setBoardCallsign(const QByteArray &callsign) { m_boardCallsign = callsign; }
    void setGroundSsid(uint8_t ssid) { m_groundSsid = ssid; }
    void setBoardSsid(uint8_t ssid) { m_boardSsid = ssid; }

signals:
    void Connected();
    void Error(QAbstractSocket::SocketError error);
    void PacketArrived(QByteArray pkt_data);

public slots:
    virtual void OnConnected() = 0;
    virtual void OnReadyRead() = 0;
    void error(QAbstractSocket::SocketError error);

protected:
    // Writes all bytes and flushes; false when not connected, not all were
    // taken, or the modem has left too much unread.
    bool writeToModem(const QByteArray &bytes);
    // Drops the connection after a stream that cannot be read any further.
    void breakConnection();

    QTcpSocket *m_socket = nullptr;

private:
    QByteArray m_groundCallsign;
    QByteArray m_boardCallsign;
    uint8_t m_groundSsid = 0;
    uint8_t m_boardSsid = 0;

    Q_DISABLE_COPY(AX25_interface)
};
