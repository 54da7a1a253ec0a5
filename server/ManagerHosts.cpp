#include "server/ManagerHosts.h"

#include <QStringList>

#include <cstring>

namespace {

// Qt reads "1.2.3", "010.0.0.1" (octal) and "0x7f.0.0.1" as IPv4 addresses the
// way inet_aton does; an operator who writes them likely means something else.
bool strictDottedQuad(const QString &text)
{
    const QStringList parts = text.split(QLatin1Char('.'));
    if (parts.size() != 4)
        return false;
    for (const QString &p : parts) {
        if (p.isEmpty() || p.size() > 3 || (p.size() > 1 && p.at(0) == QLatin1Char('0')))
            return false;
        for (const QChar c : p) {
            if (c < QLatin1Char('0') || c > QLatin1Char('9'))
                return false;
        }
        if (p.toInt() > 255)
            return false;
    }
    return true;
}

bool isMapped(const Q_IPV6ADDR &a)
{
    static const unsigned char prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    return std::memcmp(a.c, prefix, sizeof prefix) == 0;
}

// The address in network order: 4 bytes for IPv4, 16 for IPv6.
QByteArray addressBytes(const QHostAddress &a)
{
    if (a.protocol() == QAbstractSocket::IPv4Protocol) {
        const quint32 v = a.toIPv4Address();
        const char b[4] = {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
        return QByteArray(b, 4);
    }
    const Q_IPV6ADDR v6 = a.toIPv6Address();
    return QByteArray(reinterpret_cast<const char *>(v6.c), 16);
}

bool samePrefix(const QByteArray &a, const QByteArray &b, int prefix)
{
    const int whole = prefix / 8;
    if (std::memcmp(a.constData(), b.constData(), size_t(whole)) != 0)
        return false;
    const int rest = prefix % 8;
    if (rest == 0)
        return true;
    const auto mask = uchar(0xFF << (8 - rest));
    return (uchar(a.at(whole)) & mask) == (uchar(b.at(whole)) & mask);
}

}  // namespace

QHostAddress corvid_plain_address(const QHostAddress &address)
{
    if (address.protocol() != QAbstractSocket::IPv6Protocol)
        return address;
    const Q_IPV6ADDR v6 = address.toIPv6Address();
    if (isMapped(v6))
        return QHostAddress(quint32(v6.c[12]) << 24 | quint32(v6.c[13]) << 16 | quint32(v6.c[14]) << 8 | v6.c[15]);
    return QHostAddress(v6);  // without the scope
}

QHostAddress corvid_parse_host_address(const QString &input, QString *error)
{
    QString text = input.trimmed();
    const bool v6 = text.contains(QLatin1Char(':'));
    if (v6 && text.startsWith(QLatin1Char('[')) && text.endsWith(QLatin1Char(']')))
        text = text.mid(1, text.size() - 2);
    QHostAddress address;
    if (text.isEmpty() || (!v6 && !strictDottedQuad(text)) || !address.setAddress(text)) {
        if (error)
            *error = QStringLiteral("\"%1\" is not an IPv4 or IPv6 address").arg(input.trimmed());
        return QHostAddress();
    }
    if (v6 && isMapped(address.toIPv6Address()))
        return corvid_plain_address(address);
    return address;
}

std::optional<QHostAddress> corvid_parse_listen_address(const QString &text, QString *error)
{
    if (text.trimmed().isEmpty())
        return QHostAddress(QHostAddress::Any);
    const QHostAddress address = corvid_parse_host_address(text, error);
    if (address.isNull())
        return std::nullopt;
    return address;
}

QHostAddress corvid_listen_address_parameter(const QString &name, const QString &value, const QString &fallback)
{
    if (const auto address = corvid_parse_listen_address(value.trimmed().isEmpty() ? fallback : value))
        return *address;
    qCritical("%s", qPrintable(QStringLiteral("Parameter %1 has the value \"%2\", not an IPv4 or IPv6 address; %3")
                                   .arg(name, value,
                                        fallback.isEmpty() ? QStringLiteral("the default (all addresses) is used")
                                                           : QStringLiteral("the default %1 is used").arg(fallback))));
    return *corvid_parse_listen_address(fallback);
}

ManagerHosts ManagerHosts::loopback()
{
    ManagerHosts hosts;
    hosts.m_any = false;
    hosts.m_blocks = {{QHostAddress(QStringLiteral("127.0.0.0")), 8}, {QHostAddress(QHostAddress::LocalHostIPv6), 128}};
    return hosts;
}

std::optional<ManagerHosts> ManagerHosts::parse(const QString &text, QString *error)
{
    ManagerHosts hosts;
    const QStringList entries = text.split(QLatin1Char(','));
    for (const QString &raw : entries) {
        const QString entry = raw.trimmed();
        if (entry.isEmpty())
            continue;
        auto fail = [&](const QString &why) {
            if (error)
                *error = QStringLiteral("entry \"%1\" %2").arg(entry, why);
            return std::nullopt;
        };
        const int slash = entry.indexOf(QLatin1Char('/'));
        const QHostAddress address = corvid_parse_host_address(slash < 0 ? entry : entry.left(slash));
        if (address.isNull())
            return fail(QStringLiteral("is not an address or CIDR block"));
        const bool v4 = address.protocol() == QAbstractSocket::IPv4Protocol;
        const int bits = v4 ? 32 : 128;
        int prefix = bits;
        if (slash >= 0) {
            const QString p = entry.mid(slash + 1).trimmed();
            bool ok = !p.isEmpty() && p.size() <= 3;
            for (const QChar c : p)
                ok = ok && c >= QLatin1Char('0') && c <= QLatin1Char('9');
            prefix = ok ? p.toInt() : -1;
            // A mapped block ("::ffff:10.0.0.0/104") is the IPv4 block it stands for.
            const bool mapped = v4 && entry.left(slash).contains(QLatin1Char(':'));
            if (mapped && prefix >= 96)
                prefix -= 96;
            else if (mapped)
                prefix = -1;
            if (prefix < 0 || prefix > bits)
                return fail(QStringLiteral("has no prefix length from 0 to %1").arg(bits));
        }
        const QHostAddress network = corvid_plain_address(address);
        const QByteArray bytes = addressBytes(network);
        // Host bits set: the prefix would quietly widen or narrow what was meant.
        QByteArray cleared = bytes;
        for (int bit = prefix; bit < bits; ++bit)
            cleared[bit / 8] = char(uchar(cleared.at(bit / 8)) & ~(0x80 >> (bit % 8)));
        if (cleared != bytes)
            return fail(QStringLiteral("has bits set past its prefix length %1").arg(prefix));
        hosts.m_blocks.append({network, prefix});
    }
    hosts.m_any = hosts.m_blocks.isEmpty();
    return hosts;
}

bool ManagerHosts::allows(const QHostAddress &peer) const
{
    if (m_any)
        return true;
    const QHostAddress plain = corvid_plain_address(peer);
    if (plain.isNull())
        return false;
    const QByteArray bytes = addressBytes(plain);
    for (const Block &b : m_blocks) {
        if (b.network.protocol() == plain.protocol() && samePrefix(bytes, addressBytes(b.network), b.prefix))
            return true;
    }
    return false;
}

QString ManagerHosts::toString() const
{
    QStringList out;
    for (const Block &b : m_blocks)
        out << QStringLiteral("%1/%2").arg(b.network.toString()).arg(b.prefix);
    return out.join(QStringLiteral(", "));
}
