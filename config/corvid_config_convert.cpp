#include "config/corvid_config_convert.h"

#include <QStringList>

quint32 corvid_config_to_uint32(const QString &text, int base, bool *ok)
{
    bool good = false;
    quint32 value = text.trimmed().toUInt(&good, base);
    if (!good)
        value = 0;
    if (ok)
        *ok = good;
    return value;
}

quint16 corvid_config_to_uint16(const QString &text, int base, bool *ok)
{
    bool good = false;
    quint16 value = text.trimmed().toUShort(&good, base);
    if (!good)
        value = 0;
    if (ok)
        *ok = good;
    return value;
}

quint16 corvid_config_hex16(const QString &text, bool *ok)
{
    return corvid_config_to_uint16(text, CORVID_BASE_HEX, ok);
}

QVector<quint16> corvid_config_hex16_list(const QString &text)
{
    QVector<quint16> addresses;
    const QStringList parts = text.split(QLatin1Char(','), Qt::KeepEmptyParts);
    for (const QString &part : parts) {
        bool ok = false;
        const quint16 address = corvid_config_hex16(part, &ok);
        if (ok)
            addresses.append(address);
    }
    return addresses;
}
