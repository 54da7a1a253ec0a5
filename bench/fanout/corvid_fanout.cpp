#include "bench/fanout/corvid_fanout.h"

#include "bench/common/bench_clock.h"
#include "bench/common/corvid_load_client.h"
#include "bench/fanout/load_tracker.h"

CorvidFanout::CorvidFanout(quint16 port, std::optional<QSslConfiguration> tls, QObject *parent)
    : QObject(parent), m_port(port), m_tls(std::move(tls))
{
}

CorvidFanout::~CorvidFanout() = default;

QString CorvidFanout::lastError() const
{
    if (!m_error.isEmpty())
        return m_error;
    if (m_injector && m_injector->failed())
        return m_injector->error();
    for (auto &r : m_receivers)
        if (r->failed())
            return r->error();
    return QString();
}

bool CorvidFanout::connectInjector(int timeoutMs)
{
    m_injector = std::make_unique<CorvidLoadClient>(-1, true);
    m_injector->setMessageHandler([this](CorvidLoadClient *, const crs_msg2app_t &m) {
        // An injected message must never come back to the one that injected it.
        if (m.header.msg_id == kMsgId && m_error.isEmpty())
            m_error = QStringLiteral("the injector received its own message back");
    });
    m_injector->open(m_port, m_tls ? &*m_tls : nullptr);
    return benchWaitFor([this] { return m_injector->identified() || !lastError().isEmpty(); }, timeoutMs) &&
           lastError().isEmpty();
}

bool CorvidFanout::growReceivers(int total, int timeoutMs)
{
    while (int(m_receivers.size()) < total) {
        auto c = std::make_unique<CorvidLoadClient>(int(m_receivers.size()), true);
        c->setMessageHandler([this](CorvidLoadClient *cl, const crs_msg2app_t &m) { received(cl, m); });
        c->open(m_port, m_tls ? &*m_tls : nullptr);
        m_receivers.push_back(std::move(c));
    }
    return benchWaitFor(
               [this] {
                   if (!lastError().isEmpty())
                       return true;
                   for (auto &r : m_receivers)
                       if (!r->identified())
                           return false;
                   return true;
               },
               timeoutMs) &&
           lastError().isEmpty();
}

void CorvidFanout::received(CorvidLoadClient *c, const crs_msg2app_t &m)
{
    if (!m_tracker)
        return;
    const auto &h = m.header;
    // The server must pass the injected fields on untouched: from the bus, link
    // ready, our tag (the sequence number, also in the first data bytes).
    quint32 seq = m.data.size() >= 4 ? quint32(quint8(m.data[0])) | quint32(quint8(m.data[1])) << 8 |
                                           quint32(quint8(m.data[2])) << 16 | quint32(quint8(m.data[3])) << 24
                                     : ~0u;
    if (h.msg_id != kMsgId || h.address_from != kFrom || h.address_to != kTo || h.dir != 0 || h.status != 1 ||
        h.tag != seq || m.hasAx25)
        m_tracker->noteTagMismatch();
    m_tracker->deliver(c->index(), m.data.constData(), m.data.size(), benchNowUs());
    pump();
}

void CorvidFanout::startRun(LoadTracker *tracker)
{
    m_tracker = tracker;
    pump();
}

void CorvidFanout::pump()
{
    if (!m_tracker || !m_injector || m_pumping)
        return;
    m_pumping = true;
    while (m_tracker->canSend()) {
        quint32 seq = m_tracker->takeSeq();
        QByteArray payload = makeLoadPayload(seq, benchNowUs(), m_tracker->payloadSize());
        const corvid_message msg = corvid_message_over(kMsgId, kFrom, kTo, payload);
        m_injector->send(buildMsg2AppFrame(msg, 0, 1, 0, seq));
    }
    m_pumping = false;
}
