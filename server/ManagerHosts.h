#pragma once
// Who may reach what: the address a port listens on, and the hosts from which
// a connection may identify as a Manager (addresses and CIDR blocks, IPv4 and
// IPv6). An IPv4-mapped IPv6 address, as a dual-stack listener reports an IPv4
// peer, counts as the IPv4 address it carries, on both sides of the test.

#include <QHostAddress>
#include <QString>
#include <QVector>

#include <optional>

// One address literal, blanks around it ignored, an IPv6 one also in
// brackets. No host names: a listener or a rule must not depend on a lookup.
// Mapped IPv6 addresses come back as IPv4. Null, with *error set, when the text
// is no address.
QHostAddress corvid_parse_host_address(const QString &text, QString *error = nullptr);

// A listen address parameter: empty means every address (IPv4 and IPv6).
std::optional<QHostAddress> corvid_parse_listen_address(const QString &text, QString *error = nullptr);

// A listen address parameter as the server reads it: empty takes `fallback`
// (itself empty: every address); a value that is no address is reported,
// naming the parameter, and `fallback` stands in for it.
QHostAddress corvid_listen_address_parameter(const QString &name, const QString &value, const QString &fallback);

// The peer as a rule sees it: a mapped IPv6 address as IPv4, no scope.
QHostAddress corvid_plain_address(const QHostAddress &address);

class ManagerHosts {
public:
    struct Block {
        QHostAddress network;  // host bits cleared
        int prefix = 0;        // 0..32 for IPv4, 0..128 for IPv6
    };

    // Any host (the empty list).
    ManagerHosts() = default;
    // Only this machine: 127.0.0.0/8 and ::1.
    static ManagerHosts loopback();

    // A comma-separated list of addresses and blocks ("10.0.0.0/8, ::1,
    // 192.0.2.7"); empty entries are skipped, an all-empty text means any
    // host. Host bits set in a block are an error: "10.0.0.1/8" more likely
    // means a mistake than the network.
    static std::optional<ManagerHosts> parse(const QString &text, QString *error = nullptr);

    bool anyHost() const { return m_any; }
    bool allows(const QHostAddress &peer) const;
    const QVector<Block> &blocks() const { return m_blocks; }
    // The list in the form parse() reads, one block per entry ("" for any host).
    QString toString() const;

private:
    bool m_any = true;
    QVector<Block> m_blocks;
};
