#include "server/CorvidMqttBridge.h"

#include "server/MqttSession.h"
#include "server/mqtt_topics.h"

#include <QDateTime>
#include <QPointer>

#include <mosquitto.h>
#include <mutex>

CorvidMqttBridge::CorvidMqttBridge(const CorvidMqttSettings &settings, QObject *parent)
    : QObject(parent), m_settings(settings), m_outbox(std::make_unique<MqttOutbox>(settings.queueLimitBytes))
{
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
    corvid_register_metatypes();
}

CorvidMqttBridge::~CorvidMqttBridge()
{
    if (!m_thread)
        return;
    QThread *thread = m_thread;
    QMetaObject::invokeMethod(
        m_session, [session = m_session, thread, ms = shutdownMs] { session->finish(ms, [thread] { thread->quit(); }); },
        Qt::QueuedConnection);
    // A connection attempt blocks its thread (a name lookup, an unanswered
    // SYN); the process does not wait for it past the flush time.
    if (!thread->wait(unsigned(shutdownMs) + 2000)) {
        qWarning("MQTT bridge still connecting at shutdown; left behind");
        return;  // thread and session stay allocated: destroying a running thread aborts
    }
    delete m_session;
    delete thread;
}

void CorvidMqttBridge::start()
{
    if (m_thread)
        return;
    m_session = new MqttSession(m_settings, m_outbox.get());
    QPointer<CorvidMqttBridge> self(this);
    m_session->onRequest = [self](MqttRequest request) {
        QMetaObject::invokeMethod(
            self.data(),
            [self, request = std::move(request)] {
                if (self)
                    self->handleRequest(request);
            },
            Qt::QueuedConnection);
    };
    m_thread = new QThread();
    m_thread->setObjectName(QStringLiteral("mqtt"));
    m_session->moveToThread(m_thread);
    m_thread->start();
    QMetaObject::invokeMethod(m_session, [session = m_session] { session->start(); }, Qt::QueuedConnection);
    if (!m_status.isEmpty())
        QMetaObject::invokeMethod(m_session, [session = m_session, s = m_status] { session->setStatus(s); },
                                  Qt::QueuedConnection);
}

void CorvidMqttBridge::slotMessage(const corvid_message &msg, quint64 stampId, bool toLink, quint32 status,
                                   const AX25HeaderOpt &hdr)
{
    MqttRecord r;
    r.msg = corvid_owned_message::copyOf(msg);
    r.stamp = stampId;
    r.timeMs = QDateTime::currentMSecsSinceEpoch();
    r.hdr = hdr;
    r.toLink = toLink;
    r.status = status == 1 ? 1 : 0;
    if (!m_outbox->push(std::move(r)) || !m_session || m_wakeDue)
        return;
    // One wake of the session for all that this pass of the event loop hands
    // over: a message arriving alone would otherwise cost a thread switch each.
    m_wakeDue = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_wakeDue = false;
            QMetaObject::invokeMethod(m_session, [session = m_session] { session->drain(); }, Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
}

void CorvidMqttBridge::slotStatus(int linkState, const QString &interface, int clients)
{
    const char *state = linkState == 2 ? "ready" : linkState == 1 ? "notinit" : "error";
    const QByteArray json = corvid_mqtt_status_json(state, interface, clients, serverVersion);
    if (json == m_status)
        return;
    m_status = json;
    if (m_session)
        QMetaObject::invokeMethod(m_session, [session = m_session, json] { session->setStatus(json); },
                                  Qt::QueuedConnection);
}

void CorvidMqttBridge::handleRequest(const MqttRequest &request)
{
    if (!m_uplink)
        return;
    const corvid_message msg = request.msg.record();
    if (m_uplink(msg) != 1)
        m_notices.say(QStringLiteral("MQTT request to 0x%1 refused, the link is not ready (%2)")
                          .arg(msg.address_to, 0, 16)
                          .arg(request.origin));
}
