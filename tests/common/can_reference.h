#pragma once
// The hand-written bus reference as Qt CAN frames: the frames of a long message (header 0xFFFE, msg_id,
// length + 2, then data and checksum 8 bytes a frame) and one text form for comparing frames.

#include "tests/common/bus_reference.h"

#include <QCanBusFrame>
#include <QString>
#include <QStringList>
#include <QVector>
#include <initializer_list>

inline QByteArray bytes(std::initializer_list<int> list)
{
    QByteArray out;
    for (int b : list)
        out.append(char(b));
    return out;
}

inline QCanBusFrame canFrame(bool ext, quint32 id, const QByteArray &payload)
{
    QCanBusFrame f(id, payload);
    f.setExtendedFrameFormat(ext);
    return f;
}

inline QVector<QCanBusFrame> longMessage(bool ext, quint32 id, quint16 msgId, const QByteArray &data)
{
    QVector<QCanBusFrame> out;
    for (const ReferenceCanFrame &f : reference_frames_on(id, ext, msgId, data))
        out << canFrame(f.extended, f.id, f.payload);
    return out;
}

inline QString frameText(const QCanBusFrame &f)
{
    const bool ext = f.hasExtendedFrameFormat();
    const char *kind = f.frameType() == QCanBusFrame::DataFrame ? "" : "?";
    return QStringLiteral("%1%2 %3 [%4]")
        .arg(QLatin1String(ext ? "X" : "S"), QLatin1String(kind))
        .arg(f.frameId(), ext ? 8 : 3, 16, QLatin1Char('0'))
        .arg(QString::fromLatin1(f.payload().toHex(' ')));
}

inline QStringList frameTexts(const QVector<QCanBusFrame> &frames)
{
    QStringList out;
    for (const QCanBusFrame &f : frames)
        out << frameText(f);
    return out;
}
