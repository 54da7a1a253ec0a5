#pragma once
// One bus message as a test received it, comparable and printable by QCOMPARE.

#include <QByteArray>
#include <QString>
#include <QtTest>
#include <cstdint>

struct ReceivedMessage {
    uint16_t msgId = 0;
    uint16_t from = 0;
    uint16_t to = 0;
    QByteArray data;
    bool operator==(const ReceivedMessage &o) const
    {
        return msgId == o.msgId && from == o.from && to == o.to && data == o.data;
    }
};

namespace QTest {
template <> inline char *toString(const ReceivedMessage &r)
{
    return qstrdup(QStringLiteral("id %1 from %2 to %3 [%4]")
                       .arg(r.msgId).arg(r.from).arg(r.to)
                       .arg(QString::fromLatin1(r.data.toHex(' '))).toLatin1().constData());
}
}  // namespace QTest
