#include "log/corvid_log_format.h"

#include "engine/corvid_types.h"

#include <QByteArray>

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
