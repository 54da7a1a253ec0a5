#pragma once
// Shares the station's traffic through an MQTT broker: every message the hub
// logs is published on <prefix>/down/... (from the link) or <prefix>/up/...
// (toward it), a retained <prefix>/status tells the link state, and with the
// uplink on, requests on <prefix>/send/... go to the link like a Manager's.
//
// This object lives in the hub's thread and only hands records over; the
// connection to the broker runs in a thread of its own, so that a broker that
// is slow, stopped or away never holds up the hub or its clients.

#include "engine/corvid_types.h"
#include "server/CorvidMqttSettings.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QThread>
#include <functional>
#include <memory>

#include "server/MqttSession.h"

class CorvidMqttBridge : public QObject {
    Q_OBJECT
public:
    explicit CorvidMqttBridge(const CorvidMqttSettings &settings, QObject *parent = nullptr);
    // Publishes what still waits (for at most shutdownMs), then leaves with the will.
    ~CorvidMqttBridge() override;

    // Hands a request to the link and returns its status (1 sent, 0 refused).
    using Uplink = std::function<quint32(const corvid_message &)>;
    void setUplink(Uplink uplink) { m_uplink = std::move(uplink); }
    void start();
    // Bytes waiting for the broker, records dropped for the queue limit, and
    // whether the broker is connected; safe from the hub's thread.
    MqttOutbox::Counts queueCounts() const { return m_outbox->counts(); }
    bool brokerConnected() const { return m_session && m_session->brokerConnected(); }
    int shutdownMs = 3000;
    unsigned serverVersion = 0;  // told in the status

public slots:
    // Every message as the message log records it, in the same order; for
    // messages from the link the status is whether the link was ready.
    void slotMessage(const corvid_message &msg, quint64 stampId, bool toLink, quint32 status,
                     const AX25HeaderOpt &hdr);
    // Link state as AbstractConnector::HWState, its name, connected control applications.
    void slotStatus(int linkState, const QString &interface, int clients);

private:
    void handleRequest(const MqttRequest &request);

    CorvidMqttSettings m_settings;
    std::unique_ptr<MqttOutbox> m_outbox;
    MqttSession *m_session = nullptr;
    QThread *m_thread = nullptr;
    Uplink m_uplink;
    QByteArray m_status;
    MqttNoticeLimit m_notices;  // refusals: a peer may send requests without end
    bool m_wakeDue = false;

    Q_DISABLE_COPY(CorvidMqttBridge)
};
