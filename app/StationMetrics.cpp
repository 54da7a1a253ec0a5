#include "app/StationMetrics.h"

#include "app/CorvidDiagnostics.h"
#include "corvid_version.h"
#include "log/CorvidLog.h"
#include "server/CorvidMetricsServer.h"
#include "server/CorvidMqttBridge.h"
#include "server/CorvidServer.h"

StationMetrics::StationMetrics(const CorvidServer &hub, const CorvidLog &log, const CorvidMqttBridge *mqtt,
                               const QDateTime &startUtc, QObject *parent)
    : QObject(parent)
{
    using M = CorvidMetrics;
    m_metrics.add("corvid_build_info", M::Gauge, "The server's version, always 1", [](CorvidMetricSamples &s) {
        s.add({{"version", QStringLiteral(CORVID_VERSION)},
               {"server_version", QString::number(CORVID_SERVER_VERSION)},
               {"qt_version", QLatin1String(qVersion())}},
              quint64(1));
    });
    const double started = double(startUtc.toMSecsSinceEpoch()) / 1000.0;
    m_metrics.add("process_start_time_seconds", M::Gauge, "Start time of the process since the Unix epoch in seconds",
                  [started](CorvidMetricSamples &s) { s.add({}, started); });
    hub.registerMetrics(m_metrics);
    m_metrics.addValue("corvid_message_log_lines_total", M::Counter, "Message lines written to the CSV message log",
                       [&log] { return log.linesWritten(); });
    m_metrics.addValue("corvid_error_log_lines_written_total", M::Counter, "Entries written to the error log",
                       [] { return corvid_diagnostic_counts().written; });
    m_metrics.addValue("corvid_error_log_lines_folded_total", M::Counter,
                       "Diagnostics not written as an entry of their own: repeats counted in a summary line, and "
                       "those held back while the error log was over its volume limit",
                       [] { return corvid_diagnostic_counts().folded; });
    if (!mqtt)
        return;
    m_metrics.addValue("corvid_mqtt_queue_bytes", M::Gauge, "Bytes of messages waiting for the MQTT broker",
                       [mqtt] { return quint64(mqtt->queueCounts().bytes); });
    m_metrics.addValue("corvid_mqtt_dropped_total", M::Counter,
                       "Messages dropped because the queue for the MQTT broker was full",
                       [mqtt] { return mqtt->queueCounts().dropped; });
    m_metrics.addValue("corvid_mqtt_connected", M::Gauge, "1 while the MQTT broker is connected",
                       [mqtt] { return quint64(mqtt->brokerConnected() ? 1 : 0); });
}

StationMetrics::~StationMetrics()
{
    delete m_server;  // before the registry it serves
}

void StationMetrics::start(const QHostAddress &address, uint16_t port)
{
    if (!m_server)
        m_server = new CorvidMetricsServer(m_metrics, this);
    m_server->start(address, port);
}
