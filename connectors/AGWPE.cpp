#include "connectors/AGWPE.h"

#include "connectors/ax25_frame.h"

#include <QLoggingCategory>
#include <QTcpSocket>

Q_LOGGING_CATEGORY(lcAgwpe, "corvid.agwpe", QtInfoMsg)

AGWPE::AGWPE(const QByteArray &groundCallsign, const QByteArray &boardCallsign, uint8_t groundSsid,
             uint8_t boardSsid, QObject *parent)
    : AX25_interface(groundCallsign, boardCallsign, groundSsid, boardSsid, parent), m_reader(AX25_MAX_FRAME_SIZE)
{
}

bool AGWPE::sendPacket(const QByteArray &payload)
{
    const QByteArray data = ax25_header_bytes(currentHeader()) + payload;
    agwpe_header h;
    h.kind = 'K';
    // Fixed texts: the addresses that count are those inside the frame.
    h.callFrom = "Q9ZZZ-0";
    h.callTo = "Q9ZZZ-1";
    h.dataLength = uint32_t(data.size());
    qCDebug(lcAgwpe) << "tx K" << data.size() << "bytes";
    return writeToModem(agwpe_header_bytes(h) + data);
}

void AGWPE::OnConnected()
{
    // A frame cut off by the previous connection must not swallow the start
    // of this stream.
    m_reader.reset();
    agwpe_header registration;
    registration.kind = 'k';
    writeToModem(agwpe_header_bytes(registration));
    emit Connected();
}

void AGWPE::OnReadyRead()
{
    const QVector<agwpe_frame> frames = m_reader.feed(m_socket->readAll());
    for (const agwpe_frame &f : frames) {
        qCDebug(lcAgwpe) << "rx" << f.header.kind << f.data.size() << "bytes";
        if (f.header.kind == 'K')
            emit PacketArrived(f.data);
    }
    if (m_reader.broken()) {
        qCritical("%s", qPrintable(QStringLiteral("AGWPE: frame data length %1 exceeds the largest radio frame "
                                                  "(%2 bytes); the stream is broken, disconnecting")
                                       .arg(m_reader.header().dataLength)
                                       .arg(AX25_MAX_FRAME_SIZE)));
        breakConnection();
    }
}
