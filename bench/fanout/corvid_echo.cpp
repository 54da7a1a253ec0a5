#include "bench/fanout/corvid_echo.h"

#include "bench/common/bench_clock.h"
#include "bench/common/corvid_load_client.h"
#include "bench/fanout/load_tracker.h"

CorvidEcho::CorvidEcho(quint16 port, QObject *parent) : QObject(parent), m_port(port) {}

CorvidEcho::~CorvidEcho() = default;

QStringList CorvidEcho::devsimArguments()
{
    return {QStringLiteral("--address"), QStringLiteral("0x%1").arg(kDeviceAddress, 0, 16)};
}

QString CorvidEcho::lastError() const
{
    if (!m_error.isEmpty())
        return m_error;
    if (m_manager && m_manager->failed())
        return m_manager->error();
    return QString();
}

bool CorvidEcho::connectManager(int timeoutMs)
{
    m_manager = std::make_unique<CorvidLoadClient>(0, false);
    m_manager->setMessageHandler([this](CorvidLoadClient *, const crs_msg2app_t &m) { received(m); });
    m_manager->open(m_port);
    bool ok = benchWaitFor(
        [this] { return (m_manager->identified() && m_manager->hwState() == 2) || !lastError().isEmpty(); },
        timeoutMs);
    if (ok && lastError().isEmpty())
        return true;
    if (m_error.isEmpty() && lastError().isEmpty())
        m_error = m_manager->identified() ? QStringLiteral("the server's link never became ready (state %1)")
                                                .arg(m_manager->hwState())
                                          : QStringLiteral("the server did not identify the Manager");
    return false;
}

void CorvidEcho::received(const crs_msg2app_t &m)
{
    if (m.header.dir == 1) {
        // The server's echo of our own message toward the bus; not the round trip.
        ++m_ownEchoes;
        return;
    }
    if (!m_tracker)
        return;
    if (m.header.address_from != kDeviceAddress)
        return; // some other device's traffic
    m_tracker->deliver(0, m.data.constData(), m.data.size(), benchNowUs());
    pump();
}

void CorvidEcho::startRun(LoadTracker *tracker)
{
    m_tracker = tracker;
    pump();
}

void CorvidEcho::pump()
{
    if (!m_tracker || !m_manager || m_pumping)
        return;
    m_pumping = true;
    while (m_tracker->canSend()) {
        quint32 seq = m_tracker->takeSeq();
        QByteArray payload = makeLoadPayload(seq, benchNowUs(), m_tracker->payloadSize());
        const corvid_message msg = corvid_message_over(kMsgId, kOwnAddress, kDeviceAddress, payload);
        m_manager->send(buildMsg2SatFrame(seq, msg));
    }
    m_pumping = false;
}
