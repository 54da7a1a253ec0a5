#pragma once
// The station's metrics endpoint, when MetricsPort asks for one: the hub's,
// the message log's, the error log's and the MQTT bridge's numbers, read when
// a scrape comes. It must go before any of the objects it reads.

#include <QDateTime>
#include <QHostAddress>
#include <QObject>
#include <cstdint>

#include "server/CorvidMetrics.h"

class CorvidLog;
class CorvidMetricsServer;
class CorvidMqttBridge;
class CorvidServer;

class StationMetrics : public QObject {
    Q_OBJECT
public:
    // `mqtt` may be null (no bridge).
    StationMetrics(const CorvidServer &hub, const CorvidLog &log, const CorvidMqttBridge *mqtt,
                   const QDateTime &startUtc, QObject *parent = nullptr);
    ~StationMetrics() override;

    void start(const QHostAddress &address, uint16_t port);
    const CorvidMetrics &registry() const { return m_metrics; }

private:
    CorvidMetrics m_metrics;
    CorvidMetricsServer *m_server = nullptr;
};
