#include "tools/client/client_text.h"

#include <QDateTime>
#include <QRegularExpression>
#include <QStringList>

bool client_parse_number(const QString &text, uint64_t max, uint64_t *out, QString *error)
{
    QString t = text.trimmed();
    int base = 10;
    if (t.startsWith(QLatin1String("0x"), Qt::CaseInsensitive)) {
        base = 16;
        t = t.mid(2);
    }
    // toULongLong accepts signs and spaces; we do not.
    bool ok = !t.isEmpty();
    for (QChar c : t) {
        if (!(base == 16 ? (c.isDigit() || QStringLiteral("abcdefABCDEF").contains(c)) : c.isDigit()) ||
            c.unicode() > 0x7f) {
            ok = false;
            break;
        }
    }
    uint64_t v = ok ? t.toULongLong(&ok, base) : 0;
    if (!ok) {
        *error = QStringLiteral("'%1' is not a number (decimal, or hexadecimal with 0x)").arg(text);
        return false;
    }
    if (v > max) {
        *error = QStringLiteral("%1 is larger than %2").arg(text).arg(max);
        return false;
    }
    *out = v;
    return true;
}

bool client_parse_hex(const QString &text, QByteArray *out, QString *error)
{
    static const QRegularExpression hex(QStringLiteral("^[0-9A-Fa-f]*$"));
    if (!hex.match(text).hasMatch()) {
        *error = QStringLiteral("data '%1' is not hexadecimal").arg(text);
        return false;
    }
    if (text.size() % 2) {
        *error = QStringLiteral("data '%1' has an odd number of hex digits").arg(text);
        return false;
    }
    *out = QByteArray::fromHex(text.toLatin1());
    return true;
}

bool client_parse_message(const QString &text, client_message_t *out, QString *error)
{
    static const QRegularExpression sep(QStringLiteral("[,\\s]+"));
    const QString t = text.trimmed();
    // A trailing comma means empty data ("0x10,1,2,").
    QStringList f = t.split(sep, Qt::SkipEmptyParts);
    if (f.size() < 3) {
        *error = QStringLiteral("expected 'id from to [hexdata]', got '%1'").arg(t);
        return false;
    }
    static const char *const names[3] = {"id", "from", "to"};
    uint64_t v[3];
    for (int i = 0; i < 3; ++i) {
        QString e;
        if (!client_parse_number(f[i], 0xFFFF, &v[i], &e)) {
            *error = QStringLiteral("%1: %2").arg(QLatin1String(names[i]), e);
            return false;
        }
    }
    QByteArray data;
    for (int i = 3; i < f.size(); ++i) {
        QByteArray part;
        if (!client_parse_hex(f[i], &part, error))
            return false;
        data += part;
    }
    if (data.size() > 0xFFFF) {
        *error = QStringLiteral("data is %1 bytes, at most 65535 fit in a message").arg(data.size());
        return false;
    }
    out->msg_id = uint16_t(v[0]);
    out->address_from = uint16_t(v[1]);
    out->address_to = uint16_t(v[2]);
    out->data = data;
    return true;
}

QString client_format_time(int64_t time_ms)
{
    return QDateTime::fromMSecsSinceEpoch(time_ms, Qt::UTC).toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzzZ"));
}

namespace {

QString hex16(uint16_t v)
{
    return QLatin1String("0x") + QStringLiteral("%1").arg(v, 4, 16, QLatin1Char('0')).toUpper();
}

QString hexData(const QByteArray &d)
{
    return QString::fromLatin1(d.toHex().toUpper());
}

// Names are 8-bit text from the peer; keep the line one line and printable.
QString quoted(const QByteArray &s, bool json)
{
    QString r = QStringLiteral("\"");
    for (char ch : s) {
        const auto c = uint8_t(ch);
        if (c == '"' || c == '\\') {
            r += QLatin1Char('\\');
            r += QLatin1Char(char(c));
        }
        else if (c >= 0x20 && c < 0x7f)
            r += QLatin1Char(char(c));
        else if (json)
            r += QStringLiteral("\\u%1").arg(c, 4, 16, QLatin1Char('0'));
        else
            r += QLatin1String("\\x") + QStringLiteral("%1").arg(c, 2, 16, QLatin1Char('0')).toUpper();
    }
    return r + QLatin1Char('"');
}

const char *hwName(uint32_t s)
{
    switch (s) {
    case 0: return "HW_ERROR";
    case 1: return "HW_NOTINIT";
    case 2: return "HW_READY";
    default: return "UNKNOWN";
    }
}

}  // namespace

QString client_format_msg(const client_rx_msg_t &m, bool json)
{
    if (json) {
        QString s = QStringLiteral("{\"type\":\"msg\",\"id\":%1,\"from\":%2,\"to\":%3,\"len\":%4,\"data\":\"%5\","
                                   "\"dir\":%6,\"status\":%7,\"stamp\":%8,\"tag\":%9")
                        .arg(m.msg_id)
                        .arg(m.address_from)
                        .arg(m.address_to)
                        .arg(m.data.size())
                        .arg(hexData(m.data))
                        .arg(m.dir)
                        .arg(m.status)
                        .arg(m.stampId)
                        .arg(m.tag);
        s += QStringLiteral(",\"time_ms\":%1,\"time\":\"%2\"").arg(m.time_ms).arg(client_format_time(m.time_ms));
        if (!m.ax25.isEmpty())
            s += QStringLiteral(",\"ax25\":\"%1\"").arg(hexData(m.ax25));
        return s + QLatin1Char('}');
    }
    QString s = QStringLiteral("msg id=%1 from=%2 to=%3 len=%4 data=%5 dir=%6 status=%7 stamp=%8 tag=%9")
                    .arg(hex16(m.msg_id), hex16(m.address_from), hex16(m.address_to))
                    .arg(m.data.size())
                    .arg(hexData(m.data))
                    .arg(m.dir)
                    .arg(m.status)
                    .arg(m.stampId)
                    .arg(m.tag);
    s += QStringLiteral(" time=%1").arg(client_format_time(m.time_ms));
    if (!m.ax25.isEmpty())
        s += QStringLiteral(" ax25=%1").arg(hexData(m.ax25));
    return s;
}

QString client_format_server_info(uint32_t version, int64_t time_ms, const QByteArray &name, bool json)
{
    if (json)
        return QStringLiteral("{\"type\":\"server\",\"version\":%1,\"name\":%2,\"time_ms\":%3,\"time\":\"%4\"}")
            .arg(QString::number(version), quoted(name, true), QString::number(time_ms), client_format_time(time_ms));
    // One multi-argument call: a name holding "%2" must not be substituted.
    return QStringLiteral("server version=%1 name=%2 time=%3")
        .arg(QString::number(version), quoted(name, false), client_format_time(time_ms));
}

QString client_format_server_state(uint32_t hw_state, uint32_t hw_error, bool json)
{
    if (json)
        return QStringLiteral("{\"type\":\"state\",\"hw_state\":%1,\"hw_name\":\"%2\",\"hw_error\":%3}")
            .arg(hw_state)
            .arg(QLatin1String(hwName(hw_state)))
            .arg(hw_error);
    return QStringLiteral("state hw_state=%1 hw_name=%2 hw_error=%3")
        .arg(hw_state)
        .arg(QLatin1String(hwName(hw_state)))
        .arg(hw_error);
}

QString client_format_sent(uint32_t recId, const client_message_t &m, bool injected)
{
    return QStringLiteral("sent %1 recId=%2 id=%3 from=%4 to=%5 len=%6 data=%7")
        .arg(QLatin1String(injected ? "inject" : "msg"))
        .arg(recId)
        .arg(hex16(m.msg_id), hex16(m.address_from), hex16(m.address_to))
        .arg(m.data.size())
        .arg(hexData(m.data));
}
