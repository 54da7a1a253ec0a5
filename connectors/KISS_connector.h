#pragma once
// The radio link through a KISS modem program on a TCP port.

#include "connectors/AX25_connector.h"
#include "connectors/KISS.h"

class KISS_connector : public AX25_connector {
    Q_OBJECT
public:
    KISS_connector(const QString &host, uint16_t port, const QByteArray &groundCallsign,
                   const QByteArray &boardCallsign, uint8_t groundSsid, uint8_t boardSsid, QObject *parent = nullptr)
        : AX25_connector(new KISS(groundCallsign, boardCallsign, groundSsid, boardSsid), host, port,
                         "Connected to KISS server!\n", parent)
    {
    }
};
