#pragma once
// Bus frames written out by hand for the tests: the frames of a long message
// (header 0xFFFE, msg_id, length + 2, then data and checksum 8 bytes a frame)
// and one text form for comparing frames.

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
    const quint32 dataFlag = ext ? 1u << 28 : 1u << 10;
    QVector<QCanBusFrame> out{canFrame(ext, id, le16(0xFFFE) + le16(msgId) + le16(unsigned(data.size() + 2)))};
    const QByteArray body = data + le16(reference_crc(data));
    for (int pos = 0; pos < body.size(); pos += 8)
        out << canFrame(ext, id | dataFlag, body.mid(pos, 8));
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
