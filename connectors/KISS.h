#pragma once
// Radio transport to a KISS modem program over TCP: data frames on port 0,
// received frames cut at FEND however the stream arrives.

#include "connectors/AX25_interface.h"
#include "connectors/kiss_codec.h"

class KISS : public AX25_interface {
    Q_OBJECT
public:
    KISS(const QByteArray &groundCallsign, const QByteArray &boardCallsign, uint8_t groundSsid, uint8_t boardSsid,
         QObject *parent = nullptr);

    bool sendPacket(const QByteArray &payload) override;

public slots:
    void OnReadyRead() override;
    void OnConnected() override;

private:
    KissDeframer m_deframer;
};
