#include "connectors/UDP_Connector.h"

#include "connectors/UDP_PacketSender.h"
#include "config/corvid_config_convert.h"
#include "connectors/corvid_udp_datagram.h"

UDP_Connector::UDP_Connector(const QString &host, uint16_t port, QObject *parent)
    : AbstractConnector(parent), m_transport(new UDP_PacketSender(parent)), m_port(port), m_host(host)
{
    connect(m_transport, &UDP_PacketSender::Connected, this, &UDP_Connector::OnConnected);
    connect(m_transport, &UDP_PacketSender::Error, this, &UDP_Connector::OnError);
    connect(m_transport, &UDP_PacketSender::PacketArrived, this, &UDP_Connector::OnPacketArrived);
    connect(&m_malformedReport, &QTimer::timeout, this, &UDP_Connector::reportMalformed);
    setHWState(HW_NOTINIT);
}

UDP_Connector::~UDP_Connector()
{
    // The transport shares our parent (or has none) but serves only us.
    delete m_transport;
}

bool UDP_Connector::applySetting(const QString &name, const QString &value)
{
    if (name.compare(QLatin1String("UdpPortName"), Qt::CaseInsensitive) == 0)
        setPort(corvid_config_to_uint16(value));
    else if (name.compare(QLatin1String("UdpHostName"), Qt::CaseInsensitive) == 0)
        setHostName(value);
    else
        return false;
    return true;
}

void UDP_Connector::HW_init()
{
    m_transport->bindAndJoin(m_host, m_port);
}

void UDP_Connector::HW_close()
{
    m_transport->close();
    setHWState(HW_NOTINIT);
}

int64_t UDP_Connector::sendCorvidMessage(corvid_message *message)
{
    if (!message)
        return -1;
    const QByteArray payload = corvid_udp_payload(*message);
    if (payload.isEmpty())
        return -1;
    // Only a datagram written whole counts as sent.
    if (m_transport->sendPayload(payload) != payload.size())
        return -1;
    m_txBytesCount += uint64_t(payload.size());
    return message->length;
}

void UDP_Connector::OnConnected()
{
    lastError = 0;
    setHWState(HW_READY);
}

void UDP_Connector::OnError(QAbstractSocket::SocketError error)
{
    lastError = uint32_t(error);
    setHWState(HW_ERROR);
}

void UDP_Connector::OnPacketArrived(QByteArray pkt_data)
{
    rxCurrentBytes = uint32_t(pkt_data.size());
    const corvid_udp_cut_t cut = corvid_udp_cut(pkt_data);
    for (const corvid_owned_message &m : cut.messages)
        emit messageReceived(m, {});
    if (cut.leftover)
        noteMalformed(pkt_data.size(), cut.leftover);
}

namespace {
// Senders told apart; past them the rest share one count.
constexpr int kMaxMalformedSenders = 16;
constexpr int kForgetAfterReports = 10;
}  // namespace

void UDP_Connector::noteMalformed(int size, int leftover)
{
    // Anyone who can send to the group could fill the log: each sender is
    // said once, then counted.
    QString from = m_transport->lastSender();
    if (!m_malformed.contains(from) && m_malformed.size() >= kMaxMalformedSenders)
        from = QStringLiteral("other senders");
    const auto it = m_malformed.find(from);
    if (it != m_malformed.end()) {
        ++it->count;
        return;
    }
    m_malformed.insert(from, Malformed());
    if (!m_malformedReport.isActive())
        m_malformedReport.start(malformedReportMs);
    qWarning("%s", qPrintable(tr("UDP datagram of %1 bytes: its last %2 bytes make no whole message and are dropped "
                                 "(from %3; more from there are counted)")
                                  .arg(size)
                                  .arg(leftover)
                                  .arg(from)));
}

void UDP_Connector::reportMalformed()
{
    for (auto it = m_malformed.begin(); it != m_malformed.end();) {
        if (it->count == 0) {
            if (++it->quiet >= kForgetAfterReports) {
                it = m_malformed.erase(it);
                continue;
            }
        } else {
            qWarning("%s", qPrintable(tr("%1 more malformed UDP datagrams from %2 were dropped")
                                          .arg(it->count)
                                          .arg(it.key())));
            *it = Malformed();
        }
        ++it;
    }
    if (m_malformed.isEmpty())
        m_malformedReport.stop();
}
