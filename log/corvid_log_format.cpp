#include "log/corvid_log_format.h"

#include "engine/corvid_types.h"

#include <QByteArray>

QString corvid_log_header()
{
    return QStringLiteral("Date and Time[ms]; Stamp; Direction[In, Out, Undefined]; Source; Destination; "
                          "Message Id; Length; Status for Tx; Data;\n");
}

QString corvid_log_line(const corvid_message &msg, quint64 stampId, bool dirToSat, uint32_t status,
                        const QDateTime &utc)
{
    const QString time = utc.toUTC().toString(QStringLiteral("yy_MM_dd hh:mm:ss.zzz"));
    const QString stamp = QString::number(stampId);
    const QString dir = dirToSat ? QStringLiteral("O") : QStringLiteral("I");
    const QString from = QString::number(msg.address_from, 16).toUpper();
    const QString to = QString::number(msg.address_to, 16).toUpper();
    const QString id = QStringLiteral("%1").arg(msg.msg_id, 4, 16, QLatin1Char(' ')).toUpper();
    const QString len = QString::number(msg.length);
    const QString st = dirToSat ? (status == 1 ? QStringLiteral("OK") : QStringLiteral("ERR")) : QString();

    // The multi-argument arg() substitutes in one pass, so no field can be
    // mistaken for a placeholder of a later one.
    QString line = QStringLiteral("%1;%2;%3;%4;%5;%6;%7;%8;").arg(time, stamp, dir, from, to, id, len, st);
    if (msg.length > 0 && msg.data)
        line += QString::fromLatin1(QByteArray::fromRawData(reinterpret_cast<const char *>(msg.data), msg.length).toHex());
    line += QLatin1Char('\n');
    return line;
}

QString corvid_log_callsign(const AX25Header *hdr)
{
    return hdr ? QString::fromLatin1(corvid_ax25_callsign(hdr->src_callsign)) : QString();
}

QString corvid_log_file_callsign(const QString &callsign)
{
    QString safe = callsign;
    for (QChar &c : safe) {
        const ushort u = c.unicode();
        const bool keep = (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || (u >= '0' && u <= '9') || u == '-';
        if (!keep)
            c = QLatin1Char('_');
    }
    return safe;
}

QString corvid_log_file_stamp(const QDateTime &utc)
{
    return utc.toUTC().toString(QStringLiteral("yy_MM_dd'T'hh-mm-ss-zzz"));
}

const QRegularExpression &corvid_log_file_pattern()
{
    static const QRegularExpression pattern(QStringLiteral(
        "^HistoryLogServer(_[A-Za-z0-9_-]{1,6}_)?\\d\\d_\\d\\d_\\d\\dT\\d\\d-\\d\\d-\\d\\d-\\d\\d\\d\\.csv$"));
    return pattern;
}
