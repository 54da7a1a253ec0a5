// The ManagerHosts rule and the listen addresses, from any text. The text is
// the input up to its first line feed; the bytes after it are peer addresses
// (a kind byte, then 4 or 16 address bytes). For every rule that parses:
// - every block is whole: prefix within the address width, no host bits;
// - what toString() writes reads back as the same rule;
// - a dotted IPv4 entry was strictly dotted decimal;
// - allows() agrees with a bit-by-bit reference, an IPv4-mapped peer
//   counting as its IPv4 address.

#include "server/ManagerHosts.h"
#include "fuzz/fuzz_check.h"

#include <QRegularExpression>
#include <QStringList>

#include <cstdlib>
#include <cstring>

namespace {

// The address as bytes, and whether it is IPv4 (an IPv4-mapped one counts as such).
QByteArray reference(const QHostAddress &a, bool *v4)
{
    if (a.protocol() == QAbstractSocket::IPv4Protocol) {
        *v4 = true;
        const quint32 x = a.toIPv4Address();
        const char b[4] = {char(x >> 24), char(x >> 16), char(x >> 8), char(x)};
        return QByteArray(b, 4);
    }
    const Q_IPV6ADDR x = a.toIPv6Address();
    QByteArray bytes(reinterpret_cast<const char *>(x.c), 16);
    *v4 = bytes.startsWith(QByteArray(10, '\0') + QByteArray(2, '\xff'));
    return *v4 ? bytes.mid(12) : bytes;
}

bool bit(const QByteArray &b, int i) { return (uchar(b.at(i / 8)) >> (7 - i % 8)) & 1; }

bool referenceAllows(const ManagerHosts &rule, const QHostAddress &peer)
{
    if (rule.anyHost())
        return true;
    bool peerV4 = false;
    const QByteArray p = reference(peer, &peerV4);
    for (const ManagerHosts::Block &b : rule.blocks()) {
        bool blockV4 = false;
        const QByteArray n = reference(b.network, &blockV4);
        if (blockV4 != peerV4)
            continue;
        bool same = true;
        for (int i = 0; i < b.prefix && same; ++i)
            same = bit(n, i) == bit(p, i);
        if (same)
            return true;
    }
    return false;
}

void checkRule(const ManagerHosts &rule, const QString &text)
{
    for (const ManagerHosts::Block &b : rule.blocks()) {
        bool v4 = false;
        const QByteArray n = reference(b.network, &v4);
        check(b.network.protocol() == (v4 ? QAbstractSocket::IPv4Protocol : QAbstractSocket::IPv6Protocol));
        check(b.prefix >= 0 && b.prefix <= n.size() * 8);
        for (int i = b.prefix; i < n.size() * 8; ++i)
            check(!bit(n, i));
    }
    const auto again = ManagerHosts::parse(rule.toString());
    check(again && again->toString() == rule.toString() && again->anyHost() == rule.anyHost());
    static const QRegularExpression dotted(QStringLiteral(
        "^(25[0-5]|2[0-4]\\d|1\\d\\d|[1-9]?\\d)(\\.(25[0-5]|2[0-4]\\d|1\\d\\d|[1-9]?\\d)){3}(\\s*/\\s*\\d+)?$"));
    for (const QString &entry : text.split(QLatin1Char(','))) {
        const QString e = entry.trimmed();
        if (!e.isEmpty() && !e.contains(QLatin1Char(':')))
            check(dotted.match(e).hasMatch());
    }
}

QHostAddress peerFrom(const uint8_t *&d, const uint8_t *end)
{
    const uint8_t kind = *d++;
    Q_IPV6ADDR v6{};
    if (kind % 3 == 0) {
        quint32 v4 = 0;
        for (int i = 0; i < 4 && d < end; ++i)
            v4 = v4 << 8 | *d++;
        return QHostAddress(v4);
    }
    const int from = kind % 3 == 1 ? 12 : 0;  // 1: IPv4-mapped
    if (from == 12)
        v6.c[10] = v6.c[11] = 0xff;
    for (int i = from; i < 16 && d < end; ++i)
        v6.c[i] = *d++;
    return QHostAddress(v6);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const uint8_t *end = data + size;
    const uint8_t *nl = static_cast<const uint8_t *>(std::memchr(data, '\n', size));
    const uint8_t *textEnd = nl ? nl : end;
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), int(textEnd - data));

    if (const auto listen = corvid_parse_listen_address(text)) {
        check(!listen->isNull());
        if (!text.trimmed().isEmpty() && !text.contains(QLatin1Char(':')))
            check(listen->protocol() == QAbstractSocket::IPv4Protocol);
    }
    QString error;
    const auto rule = ManagerHosts::parse(text, &error);
    check(rule.has_value() == error.isEmpty());
    if (!rule)
        return 0;
    checkRule(*rule, text);
    const uint8_t *d = nl ? nl + 1 : end;
    for (int n = 0; d < end && n < 16; ++n) {
        const QHostAddress peer = peerFrom(d, end);
        check(rule->allows(peer) == referenceAllows(*rule, peer));
    }
    return 0;
}
