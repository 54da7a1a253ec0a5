#include "server/mqtt_topics.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

const char kHex[] = "0123456789abcdef";

// Exactly four hexadecimal digits at `p`.
bool hex4At(const char *p, uint16_t *value)
{
    for (int i = 0; i < 4; ++i) {
        if (!std::isxdigit(static_cast<unsigned char>(p[i])))
            return false;
    }
    *value = QByteArray::fromRawData(p, 4).toUShort(nullptr, 16);
    return true;
}

void appendHex4(QByteArray &out, uint16_t v)
{
    const char digits[4] = {kHex[v >> 12 & 0xF], kHex[v >> 8 & 0xF], kHex[v >> 4 & 0xF], kHex[v & 0xF]};
    out.append(digits, 4);
}

// A JSON string; control characters and non-ASCII as \u escapes.
void appendJsonString(QByteArray &out, const QString &text)
{
    out += '"';
    for (const QChar c : text) {
        const ushort u = c.unicode();
        if (u == '"' || u == '\\') {
            out += '\\';
            out += char(u);
        } else if (u >= 0x20 && u < 0x7F) {
            out += char(u);
        } else {
            out += "\\u";
            appendHex4(out, u);
        }
    }
    out += '"';
}

} // namespace

QByteArray corvid_mqtt_hex4(uint16_t value)
{
    QByteArray out;
    appendHex4(out, value);
    return out;
}

QByteArray corvid_mqtt_message_topic(const QByteArray &prefix, bool toLink, uint16_t from, uint16_t to,
                                     uint16_t msgId)
{
    QByteArray topic;
    topic.reserve(prefix.size() + 21);
    topic += prefix;
    topic += toLink ? "/up/" : "/down/";
    appendHex4(topic, from);
    topic += '/';
    appendHex4(topic, to);
    topic += '/';
    appendHex4(topic, msgId);
    return topic;
}

bool corvid_mqtt_parse_send_topic(const QByteArray &prefix, const char *topic, size_t length, uint16_t *from,
                                  uint16_t *to, uint16_t *msgId)
{
    static const char kSend[] = "/send/";
    const size_t head = size_t(prefix.size()) + sizeof kSend - 1;
    // head, then "ffff/ffff/ffff"
    if (!topic || length != head + 14)
        return false;
    if (std::memcmp(topic, prefix.constData(), size_t(prefix.size())) != 0 ||
        std::memcmp(topic + prefix.size(), kSend, sizeof kSend - 1) != 0)
        return false;
    const char *p = topic + head;
    if (p[4] != '/' || p[9] != '/')
        return false;
    uint16_t f = 0, t = 0, i = 0;
    if (!hex4At(p, &f) || !hex4At(p + 5, &t) || !hex4At(p + 10, &i))
        return false;
    *from = f;
    *to = t;
    *msgId = i;
    return true;
}

QByteArray corvid_mqtt_iso_time(int64_t msSinceEpoch)
{
    // Messages come thousands a second: the date and time of day are made once a second.
    thread_local int64_t cachedSecond = INT64_MIN;
    thread_local char text[] = "0000-00-00T00:00:00.000Z";
    const int64_t second = msSinceEpoch >= 0 ? msSinceEpoch / 1000 : (msSinceEpoch - 999) / 1000;
    if (second != cachedSecond) {
        const time_t t = time_t(second);
        struct tm utc = {};
        gmtime_r(&t, &utc);
        char made[64];
        if (std::snprintf(made, sizeof made, "%04d-%02d-%02dT%02d:%02d:%02d", utc.tm_year + 1900, utc.tm_mon + 1,
                          utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec) != 19)
            std::memcpy(made, "0000-00-00T00:00:00", 19);  // a year past 9999
        std::memcpy(text, made, 19);
        cachedSecond = second;
    }
    const int ms = int(msSinceEpoch - second * 1000);
    text[20] = char('0' + ms / 100);
    text[21] = char('0' + ms / 10 % 10);
    text[22] = char('0' + ms % 10);
    return QByteArray(text, 24);
}

QByteArray corvid_mqtt_callsign(const uint8_t (&field)[6], uint8_t ssidByte)
{
    QByteArray call;
    for (const uint8_t byte : field) {
        if (byte == 0x00 || byte == 0x40)
            break;
        const char c = char(byte >> 1);
        // The air may carry anything; a property value stays printable.
        call += (c > 0x20 && c < 0x7F) ? c : '?';
    }
    return call + '-' + QByteArray::number((ssidByte >> 1) & 0x0F);
}

QByteArray corvid_mqtt_status_json(const char *state, const QString &interface, int clients, unsigned version)
{
    QByteArray json = "{\"state\":\"";
    json += state;
    json += "\",\"interface\":";
    appendJsonString(json, interface);
    json += ",\"clients\":" + QByteArray::number(clients) + ",\"version\":" + QByteArray::number(version) + '}';
    return json;
}

QString corvid_mqtt_printable(const QByteArray &outside, int max)
{
    QString text;
    const int n = std::min(int(outside.size()), max);
    for (int i = 0; i < n; ++i) {
        const uchar c = uchar(outside.at(i));
        if (c >= 0x20 && c < 0x7F && c != '\\')
            text += QLatin1Char(char(c));
        else
            text += QStringLiteral("\\x") + QLatin1Char(kHex[c >> 4]) + QLatin1Char(kHex[c & 0xF]);
    }
    if (outside.size() > max)
        text += QStringLiteral("...");
    return text;
}
