#include "plugins/socketcan/SocketCanFrame.h"

#include <QStringList>

#include <linux/can.h>
#include <linux/can/error.h>

#include <cstring>

namespace socketcan {

namespace {

bool refuse(QString *why, const char *text)
{
    if (why)
        *why = QString::fromLatin1(text);
    return false;
}

// Names of the set bits of one detail byte, lowest bit first.
QStringList bitNames(quint8 bits, const char *const names[8])
{
    QStringList out;
    for (int i = 0; i < 8; ++i) {
        if ((bits & (1u << i)) && names[i])
            out << QString::fromLatin1(names[i]);
    }
    return out;
}

QString withDetail(const char *what, const QStringList &detail)
{
    const QString text = QString::fromLatin1(what);
    return detail.isEmpty() ? text : text + QStringLiteral(" (") + detail.join(QStringLiteral(", ")) + QLatin1Char(')');
}

}  // namespace

bool toKernelFrame(const QCanBusFrame &frame, can_frame *out, QString *why)
{
    const QCanBusFrame::FrameType type = frame.frameType();
    if (type != QCanBusFrame::DataFrame && type != QCanBusFrame::RemoteRequestFrame)
        return refuse(why, "only data frames and remote requests can be sent");
    if (frame.hasFlexibleDataRateFormat())
        return refuse(why, "CAN FD frames are not supported");
    const QByteArray payload = frame.payload();
    if (payload.size() > CAN_MAX_DLEN)
        return refuse(why, "a classic CAN frame carries at most 8 bytes");
    const quint32 id = frame.frameId();
    const bool extended = frame.hasExtendedFrameFormat();
    if (id > (extended ? CAN_EFF_MASK : CAN_SFF_MASK))
        return refuse(why, extended ? "the identifier does not fit in 29 bits" : "the identifier does not fit in 11 bits");

    memset(out, 0, sizeof(*out));
    out->can_id = id | (extended ? CAN_EFF_FLAG : 0u) | (type == QCanBusFrame::RemoteRequestFrame ? CAN_RTR_FLAG : 0u);
    // A remote request carries no data; its length is the length asked for.
    out->can_dlc = quint8(payload.size());
    if (type == QCanBusFrame::DataFrame)
        memcpy(out->data, payload.constData(), size_t(payload.size()));
    return true;
}

QCanBusFrame fromKernelFrame(const can_frame &in)
{
    const quint8 length = in.can_dlc > CAN_MAX_DLEN ? quint8(CAN_MAX_DLEN) : in.can_dlc;
    QCanBusFrame frame;
    if (in.can_id & CAN_ERR_FLAG) {
        frame.setFrameType(QCanBusFrame::ErrorFrame);
        frame.setError(QCanBusFrame::FrameErrors(int(in.can_id & CAN_ERR_MASK)));
        frame.setPayload(QByteArray(reinterpret_cast<const char *>(in.data), CAN_ERR_DLC));
        return frame;
    }
    const bool extended = (in.can_id & CAN_EFF_FLAG) != 0;
    frame.setFrameId(in.can_id & (extended ? CAN_EFF_MASK : CAN_SFF_MASK));
    frame.setExtendedFrameFormat(extended);
    if (in.can_id & CAN_RTR_FLAG) {
        frame.setFrameType(QCanBusFrame::RemoteRequestFrame);
        // The data bytes of a remote request are not on the bus.
        frame.setPayload(QByteArray(length, '\0'));
    } else {
        frame.setFrameType(QCanBusFrame::DataFrame);
        frame.setPayload(QByteArray(reinterpret_cast<const char *>(in.data), length));
    }
    return frame;
}

QString describeErrorFrame(const QCanBusFrame &frame)
{
    static const char *const controller[8] = {"RX buffer overflow", "TX buffer overflow", "RX error warning",
                                              "TX error warning",   "RX error passive",   "TX error passive",
                                              "back to error active", nullptr};
    static const char *const protocol[8] = {"bit error",           "frame format error",       "bit stuffing error",
                                            "no dominant bit",     "no recessive bit",         "bus overload",
                                            "active error flag",   "while transmitting"};
    const quint32 classes = quint32(int(frame.error()));
    const QByteArray payload = frame.payload();
    const auto byte = [&payload](int i) { return i < payload.size() ? quint8(payload.at(i)) : quint8(0); };

    QStringList parts;
    if (classes & CAN_ERR_TX_TIMEOUT)
        parts << QStringLiteral("transmission timeout");
    if (classes & CAN_ERR_LOSTARB)
        parts << (byte(0) ? QStringLiteral("arbitration lost at bit %1").arg(byte(0)) : QStringLiteral("arbitration lost"));
    if (classes & CAN_ERR_CRTL)
        parts << withDetail("controller problem", bitNames(byte(1), controller));
    if (classes & CAN_ERR_PROT)
        parts << withDetail("protocol violation", bitNames(byte(2), protocol));
    if (classes & CAN_ERR_TRX)
        parts << QStringLiteral("transceiver problem");
    if (classes & CAN_ERR_ACK)
        parts << QStringLiteral("no acknowledgement");
    if (classes & CAN_ERR_BUSOFF)
        parts << QStringLiteral("bus off");
    if (classes & CAN_ERR_BUSERROR)
        parts << QStringLiteral("bus error");
    if (classes & CAN_ERR_RESTARTED)
        parts << QStringLiteral("controller restarted");
    if (classes & CAN_ERR_CNT)
        parts << QStringLiteral("error counters TX %1, RX %2").arg(byte(6)).arg(byte(7));
    if (parts.isEmpty())
        parts << QStringLiteral("unknown error 0x%1").arg(classes, 0, 16);
    return QStringLiteral("CAN bus error: ") + parts.join(QStringLiteral("; "));
}

}  // namespace socketcan
