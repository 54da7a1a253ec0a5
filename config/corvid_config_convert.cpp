#include "config/corvid_config_convert.h"

#include <QStringList>

#include <climits>
#include <cstdint>

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

bool corvid_config_number_in_range(const QString &text, int base, qint64 min, qint64 max, qint64 *value)
{
    const QString t = text.trimmed();
    bool ok = false;
    qint64 v = 0;
    if (min >= 0) {
        // Unsigned, so "-1" is no number here rather than a huge one.
        const quint64 u = t.toULongLong(&ok, base);
        ok = ok && u <= quint64(max);
        v = qint64(u);
    } else {
        v = t.toLongLong(&ok, base);
    }
    ok = ok && v >= min && v <= max;
    if (ok && value)
        *value = v;
    return ok;
}

const QVector<CorvidNumericParam> &corvid_config_numeric_params()
{
    static const QVector<CorvidNumericParam> params{
        {"TcpPort", CORVID_BASE_AUTO, 1, 65535, "2323"},
        {"MaxTCPClients", CORVID_BASE_AUTO, 0, 65535, "3"},
        {"AGWPE_Port", CORVID_BASE_AUTO, 1, 65535, "8000"},
        {"KISSTCP_Port", CORVID_BASE_AUTO, 1, 65535, "8001"},
        {"UdpPortName", CORVID_BASE_AUTO, 1, 65535, "3434"},
        {"NumLogThreads", CORVID_BASE_AUTO, 0, UINT32_MAX, "0"},  // any non-zero: worker mode
        {"CC_Address", CORVID_BASE_HEX, 0, 0x3FFF, "0x1"},  // 14-bit bus addresses
        {"DisableGUI", CORVID_BASE_DEC, INT_MIN, INT_MAX, "0"},
        {"SSID_BRD", CORVID_BASE_AUTO, 0, 15, "1"},
        {"SSID_GND", CORVID_BASE_AUTO, 0, 15, "0"},
        {"TELNET_CRLF", CORVID_BASE_DEC, 0, UINT32_MAX, "0"},  // any non-zero: on
        {"TELNET_DEBUG", CORVID_BASE_DEC, 0, UINT32_MAX, "0"},
        {"TELNET_deEsc", CORVID_BASE_DEC, 0, 1, "1"},
        {"TELNET_UHF_BUFFER", CORVID_BASE_DEC, 0, 65533, "195"},  // data bytes of one message
        {"TELNET_UHF_DELAY", CORVID_BASE_DEC, 0, 65535, "500"},
        {"RestrictFakeSatTelemetry", CORVID_BASE_AUTO, 0, 255, "0"},
        {"TlsPort", CORVID_BASE_AUTO, 0, 65535, "0"},  // 0: no TLS port
        {"LogRotateHours", CORVID_BASE_DEC, 0, 8760, "0"},  // 0: only on SIGHUP
        {"LogKeepDays", CORVID_BASE_DEC, 0, 36500, "0"},    // 0: keep all
        {"MqttPort", CORVID_BASE_DEC, 1, 65535, "1883"},
        {"MqttQoS", CORVID_BASE_DEC, 0, 1, "1"},
        {"MqttUplink", CORVID_BASE_DEC, 0, 1, "0"},
        {"MqttQueueLimit", CORVID_BASE_DEC, 1, 4096, "64"},  // MiB
        {"MetricsPort", CORVID_BASE_DEC, 0, 65535, "0"},  // 0: no metrics endpoint
    };
    return params;
}

const CorvidNumericParam *corvid_config_numeric_param(const QString &name)
{
    for (const CorvidNumericParam &p : corvid_config_numeric_params()) {
        if (name.compare(QLatin1String(p.name), Qt::CaseInsensitive) == 0)
            return &p;
    }
    return nullptr;
}
