#pragma once
// Radio transport to an AGWPE modem program over TCP, using raw AX.25 frames
// only: registers for them on connection, sends and receives frames of kind 'K'.

#include "connectors/AX25_interface.h"
#include "connectors/agwpe_codec.h"

class AGWPE : public AX25_interface {
    Q_OBJECT
public:
    AGWPE(const QByteArray &groundCallsign, const QByteArray &boardCallsign, uint8_t groundSsid, uint8_t boardSsid,
          QObject *parent = nullptr);

    bool sendPacket(const QByteArray &payload) override;
    bool awaitingData() const { return m_reader.awaitingData(); }

public slots:
    void OnConnected() override;
    void OnReadyRead() override;

private:
    AgwpeReader m_reader;
};
