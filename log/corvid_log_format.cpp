#include "log/corvid_log_format.h"

#include "engine/corvid_types.h"

#include <QByteArray>
#include <QList>

#include <cctype>

QString corvid_log_header()
{
    return QStringLiteral("Date and Time[ms]; Stamp; Direction[In, Out, Undefined]; Source; Destination; "
                          "Message Id; Length; Status for Tx; Data;\n");
}

namespace {

// Appends n as decimal digits.
void putDecimal(QByteArray &b, quint64 n)
{
    char digits[20];
    int k = 0;
    do {
        digits[k++] = char('0' + n % 10);
        n /= 10;
    } while (n);
    while (k)
        b.append(digits[--k]);
}

// Appends n as upper-case hex digits, at least `width` wide, padded with `pad`.
void putHex(QByteArray &b, quint32 n, int width, char pad)
{
    static const char kHex[] = "0123456789ABCDEF";
    char digits[8];
    int k = 0;
    do {
        digits[k++] = kHex[n & 0xF];
        n >>= 4;
    } while (n);
    for (int i = k; i < width; ++i)
        b.append(pad);
    while (k)
        b.append(digits[--k]);
}

void putTwo(char *p, int n)
{
    p[0] = char('0' + n / 10 % 10);
    p[1] = char('0' + n % 10);
}

} // namespace

// Every message passes here, on the thread that serves the links: the fields
// are written by hand, as Qt's date and argument formatting cost more than all
// the rest of a message's way through the server together.
QString corvid_log_line(const corvid_message &msg, quint64 stampId, bool dirToSat, uint32_t status,
                        const QDateTime &utc)
{
    QByteArray b;
    b.reserve(64 + 2 * msg.length);
    const QDateTime t = utc.toUTC();
    if (t.isValid()) {
        // yy_MM_dd hh:mm:ss.zzz
        const QDate d = t.date();
        const QTime tm = t.time();
        char at[21];
        putTwo(at, (d.year() % 100 + 100) % 100);
        at[2] = '_';
        putTwo(at + 3, d.month());
        at[5] = '_';
        putTwo(at + 6, d.day());
        at[8] = ' ';
        putTwo(at + 9, tm.hour());
        at[11] = ':';
        putTwo(at + 12, tm.minute());
        at[14] = ':';
        putTwo(at + 15, tm.second());
        at[17] = '.';
        at[18] = char('0' + tm.msec() / 100);
        putTwo(at + 19, tm.msec() % 100);
        b.append(at, 21);
    }
    b.append(';');
    putDecimal(b, stampId);
    b.append(dirToSat ? ";O;" : ";I;");
    putHex(b, msg.address_from, 1, '0');
    b.append(';');
    putHex(b, msg.address_to, 1, '0');
    b.append(';');
    putHex(b, msg.msg_id, 4, ' ');
    b.append(';');
    putDecimal(b, msg.length);
    b.append(';');
    if (dirToSat)
        b.append(status == 1 ? "OK" : "ERR");
    b.append(';');
    if (msg.length > 0 && msg.data) {
        static const char kLowHex[] = "0123456789abcdef";
        const int at = b.size();
        b.resize(at + 2 * msg.length);
        char *p = b.data() + at;
        for (uint16_t i = 0; i < msg.length; ++i) {
            *p++ = kLowHex[msg.data[i] >> 4];
            *p++ = kLowHex[msg.data[i] & 0xF];
        }
    }
    b.append('\n');
    return QString::fromLatin1(b);
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

namespace {

// Digits of one base only, nothing else, at most `max`.
bool parseNumber(const QByteArray &text, int base, quint64 max, quint64 *value)
{
    if (text.isEmpty() || text.size() > 20)
        return false;
    for (const char c : text) {
        const bool digit = base == 16 ? std::isxdigit(uchar(c)) != 0 : (c >= '0' && c <= '9');
        if (!digit)
            return false;
    }
    bool ok = false;
    *value = text.toULongLong(&ok, base);
    return ok && *value <= max;
}

// "yy_MM_dd hh:mm:ss.zzz", UTC, the century being this one.
QDateTime parseTime(const QByteArray &text)
{
    static const char shape[] = "00_00_00 00:00:00.000";
    if (text.size() != int(sizeof(shape)) - 1)
        return {};
    int n[7] = {};
    int field = 0;
    for (int i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (shape[i] == '0') {
            if (c < '0' || c > '9')
                return {};
            n[field] = n[field] * 10 + (c - '0');
        } else if (c != shape[i]) {
            return {};
        } else {
            ++field;
        }
    }
    const QDate date(2000 + n[0], n[1], n[2]);
    const QTime time(n[3], n[4], n[5], n[6]);
    if (!date.isValid() || !time.isValid())
        return {};
    return QDateTime(date, time, Qt::UTC);
}

} // namespace

CorvidLogRecord corvid_log_parse_line(const QByteArray &input)
{
    CorvidLogRecord r;
    QByteArray line = input;
    if (line.endsWith('\n'))
        line.chop(1);
    if (line.endsWith('\r'))
        line.chop(1);
    static const QByteArray header = corvid_log_header().toLatin1().chopped(1);
    if (line == header) {
        r.kind = CorvidLogRecord::Header;
        return r;
    }
    auto bad = [&r](const char *why) {
        r.error = QLatin1String(why);
        return r;
    };
    const QList<QByteArray> f = line.split(';');
    if (f.size() != 9)
        return bad("not 9 fields");
    r.utc = parseTime(f[0]);
    if (!r.utc.isValid())
        return bad("no time \"yy_MM_dd hh:mm:ss.zzz\"");
    if (!parseNumber(f[1], 10, UINT64_MAX, &r.stamp))
        return bad("no stamp");
    if (f[2] != "I" && f[2] != "O")
        return bad("direction neither I nor O");
    r.dirToSat = f[2] == "O";
    quint64 from = 0, to = 0, id = 0, length = 0;
    if (!parseNumber(f[3], 16, 0xFFFF, &from) || !parseNumber(f[4], 16, 0xFFFF, &to))
        return bad("no address");
    // Right-aligned in four places.
    const QByteArray idText = f[5].trimmed();
    if (f[5].size() < 4 || !f[5].endsWith(idText) || !parseNumber(idText, 16, 0xFFFF, &id))
        return bad("no message id");
    if (!parseNumber(f[6], 10, 0xFFFF, &length))
        return bad("no length");
    if (r.dirToSat ? (f[7] != "OK" && f[7] != "ERR") : !f[7].isEmpty())
        return bad("status does not fit the direction");
    r.sent = f[7] == "OK";
    const QByteArray &hex = f[8];
    if (quint64(hex.size()) != length * 2)
        return bad("data does not match the length");
    for (const char c : hex) {
        if (!std::isxdigit(uchar(c)))
            return bad("data not hexadecimal");
    }
    r.msg.msg_id = uint16_t(id);
    r.msg.address_from = uint16_t(from);
    r.msg.address_to = uint16_t(to);
    r.msg.data = QByteArray::fromHex(hex);
    r.kind = CorvidLogRecord::Message;
    return r;
}
