#include "connectors/KISS.h"

#include "connectors/ax25_frame.h"

#include <QLoggingCategory>
#include <QTcpSocket>

Q_LOGGING_CATEGORY(lcKiss, "corvid.kiss", QtInfoMsg)

KISS::KISS(const QByteArray &groundCallsign, const QByteArray &boardCallsign, uint8_t groundSsid, uint8_t boardSsid,
           QObject *parent)
    : AX25_interface(groundCallsign, boardCallsign, groundSsid, boardSsid, parent), m_deframer(AX25_MAX_FRAME_SIZE)
{
}

bool KISS::sendPacket(const QByteArray &payload)
{
    // The header's first byte is the command byte: data frame, port 0.
    const QByteArray frame = ax25_header_bytes(currentHeader()) + payload;
    const QByteArray wire = kiss_frame(uint8_t(frame[0]), frame.mid(1));
    qCDebug(lcKiss) << "tx" << wire.size() << "bytes";
    return writeToModem(wire);
}

void KISS::OnConnected()
{
    // Nothing of an earlier connection may run into this one.
    m_deframer.reset();
    emit Connected();
}

void KISS::OnReadyRead()
{
    const int droppedBefore = m_deframer.oversized();
    const QVector<QByteArray> frames = m_deframer.feed(m_socket->readAll());
    if (m_deframer.oversized() != droppedBefore)
        qCritical("%s", qPrintable(QStringLiteral("KISS: frame longer than %1 bytes dropped, waiting for the next "
                                                  "frame end")
                                       .arg(AX25_MAX_FRAME_SIZE)));
    for (const QByteArray &frame : frames) {
        qCDebug(lcKiss) << "rx" << frame.size() << "bytes";
        emit PacketArrived(frame);
    }
}
