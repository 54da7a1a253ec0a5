#pragma once
// The radio link as the hub sees it: each bus message travels whole in one
// AX.25 frame through a packet modem program (the transport: KISS or AGWPE).
// Received frames are cut into messages for the hub, posted to the configured
// SiDS telemetry endpoints when they come from a known satellite, and logged.

#include "connectors/AbstractConnector.h"
#include "connectors/AX25_interface.h"
#include "connectors/RadioFrameLog.h"

#include <QAbstractSocket>
#include <QDateTime>
#include <QHash>
#include <QList>
#include <QMap>
#include <QNetworkAccessManager>
#include <QSslError>
#include <QString>
#include <memory>

class QNetworkReply;

class AX25_connector : public AbstractConnector {
    Q_OBJECT
public:
    // Takes ownership of the transport and starts connecting at once.
    // readyText: the diagnostic written whenever the link becomes ready.
    AX25_connector(AX25_interface *transport, const QString &host, uint16_t port, const char *readyText,
                   QObject *parent = nullptr);
    ~AX25_connector() override;

    // Reads the SiDS settings from the configuration's parameters. Forwarding
    // and the frame logs stay off unless station callsign, latitude and
    // longitude are all set.
    void setupTelemetry(const QMap<QString, QString> &params);
    void forwardTelemetry(const QByteArray &packet, const QDateTime &utc);
    void postTelemetry(const QByteArray &packet, const QDateTime &utc, const QString &url, const QString &noradId);
    // The form body of a SiDS post.
    QByteArray telemetryQuery(const QByteArray &packet, const QDateTime &utc, const QString &noradId) const;

    AX25_interface *transport() const { return m_transport; }

    // Modem host and port (either kind's names), callsigns and SSIDs.
    bool applySetting(const QString &name, const QString &value) override;

    // How a telemetry post ended: answered, failed, or not made because too
    // many were still waiting.
    enum TelemetryResult { TelemetryOk, TelemetryFailed, TelemetrySkipped };
    Q_ENUM(TelemetryResult)

    // Posts waiting for their answer; more are skipped until one ends.
    int postsInFlight() const { return m_postsInFlight; }
    int maxPostsInFlight = 8;
    // An endpoint that does not answer within this time fails the post.
    int postTimeoutMs = 15000;
    // Where the frame log files go (path and name prefix); the start time is appended.
    QString frameLogPrefix = QStringLiteral("logs/");

signals:
    void telemetryPosted(AX25_connector::TelemetryResult result);

public slots:
    void HW_init() override;
    void HW_close() override;
    // -1 when the modem is not connected or the write failed.
    int64_t sendCorvidMessage(corvid_message *message) override;
    void setHWState(AbstractConnector::HWState newState) override;

    void OnConnected();
    void OnError(QAbstractSocket::SocketError error);
    void OnPacketArrived(QByteArray pkt_data);
    void handleEndOfRequest(QNetworkReply *reply);
    void handleError(QNetworkReply *reply, const QList<QSslError> &errors);

private:
    AX25_interface *m_transport = nullptr;
    const char *m_readyText = nullptr;
    QString m_host;
    uint16_t m_port = 0;
    QNetworkAccessManager m_network;

    QMap<QString, QString> m_satellites;  // callsign -> NORAD catalogue number
    QString m_stationCallsign;
    QString m_latitude;
    QString m_longitude;
    QString m_urlMain;
    QString m_urlReserve;
    std::unique_ptr<RadioFrameLog> m_frameLog;
    // Per endpoint URL: failing since the last answer, and the posts lost since.
    struct EndpointState {
        bool failing = false;
        int64_t lost = 0;
    };
    QHash<QString, EndpointState> m_endpoints;
    int m_postsInFlight = 0;
    bool m_skipReported = false;
};
