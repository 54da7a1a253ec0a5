#pragma once
// The radio link through an AGWPE modem program.

#include "connectors/AGWPE.h"
#include "connectors/AX25_connector.h"

class AGWPE_connector : public AX25_connector {
    Q_OBJECT
public:
    AGWPE_connector(const QString &host, uint16_t port, const QByteArray &groundCallsign,
                    const QByteArray &boardCallsign, uint8_t groundSsid, uint8_t boardSsid, QObject *parent = nullptr)
        : AX25_connector(new AGWPE(groundCallsign, boardCallsign, groundSsid, boardSsid), host, port,
                         "Connected to AGWPE server!\n", parent)
    {
    }
};
