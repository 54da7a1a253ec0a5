#include "connectors/AX25_connector.h"

#include "config/corvid_config_convert.h"
#include "connectors/ax25_frame.h"

#include <QMetaEnum>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

AX25_connector::AX25_connector(AX25_interface *transport, const QString &host, uint16_t port, const char *readyText,
                               QObject *parent)
    : AbstractConnector(parent), m_transport(transport), m_readyText(readyText), m_host(host), m_port(port),
      m_network(this)
{
    connect(m_transport, &AX25_interface::Connected, this, &AX25_connector::OnConnected);
    connect(m_transport, &AX25_interface::Error, this, &AX25_connector::OnError);
    connect(m_transport, &AX25_interface::PacketArrived, this, &AX25_connector::OnPacketArrived);
    m_transport->connectToModem(m_host, m_port);
    AbstractConnector::setHWState(HW_NOTINIT);
    connect(&m_network, &QNetworkAccessManager::finished, this, &AX25_connector::handleEndOfRequest);
    connect(&m_network, &QNetworkAccessManager::sslErrors, this, &AX25_connector::handleError);
}

AX25_connector::~AX25_connector()
{
    // Replies aborted while the manager goes must not call back into a
    // connector that is half gone.
    m_network.disconnect(this);
    m_transport->disconnect(this);
    delete m_transport;
}

void AX25_connector::HW_init()
{
    m_transport->connectToModem(m_host, m_port);
}

void AX25_connector::HW_close()
{
    m_transport->disconnectFromModem();
    setHWState(HW_NOTINIT);
}

int64_t AX25_connector::sendCorvidMessage(corvid_message *message)
{
    if (!message)
        return -1;
    const QByteArray payload = ax25_message_payload(*message);
    if (!m_transport->sendPacket(payload))
        return -1;
    m_txBytesCount += uint64_t(AX25_HEADER_SIZE + payload.size());
    return message->length;
}

bool AX25_connector::applySetting(const QString &name, const QString &value)
{
    auto is = [&name](const char *key) { return name.compare(QLatin1String(key), Qt::CaseInsensitive) == 0; };
    if (is("KISSTCP_Port") || is("AGWPE_Port"))
        m_port = corvid_config_to_uint16(value, CORVID_BASE_AUTO);
    else if (is("KISSTCP_Hostname") || is("AGWPE_Hostname"))
        m_host = value;
    else if (is("CALLSIGN_BRD"))
        m_transport->setBoardCallsign(value.toLocal8Bit());
    else if (is("CALLSIGN_GND"))
        m_transport->setGroundCallsign(value.toLocal8Bit());
    else if (is("SSID_BRD"))
        m_transport->setBoardSsid(uint8_t(corvid_config_to_uint32(value, CORVID_BASE_DEC)));
    else if (is("SSID_GND"))
        m_transport->setGroundSsid(uint8_t(corvid_config_to_uint32(value, CORVID_BASE_DEC)));
    else
        return false;
    return true;
}

void AX25_connector::setHWState(AbstractConnector::HWState newState)
{
    if (newState == HW_READY && m_readyText)
        qInfo("%s", m_readyText);
    AbstractConnector::setHWState(newState);
}

void AX25_connector::OnConnected()
{
    setHWState(HW_READY);
}

void AX25_connector::OnError(QAbstractSocket::SocketError error)
{
    Q_UNUSED(error)
    setHWState(HW_ERROR);
}

void AX25_connector::OnPacketArrived(QByteArray pkt_data)
{
    const QDateTime utc = QDateTime::currentDateTimeUtc();
    m_rxBytesCount += uint64_t(pkt_data.size());
    rxCurrentBytes = uint32_t(pkt_data.size());

    const ax25_packet packet = ax25_cut_packet(pkt_data);
    if (packet.complete) {
        for (const corvid_message &m : packet.messages)
            deliver(m, packet.header);
    }
    forwardTelemetry(pkt_data, utc);
    if (m_frameLog)
        m_frameLog->append(pkt_data, utc);
}

void AX25_connector::setupTelemetry(const QMap<QString, QString> &params)
{
    auto take = [&params](const char *name, QString &to) {
        const auto it = params.constFind(QLatin1String(name));
        if (it != params.constEnd())
            to = it.value();
    };
    take("SiDS_CallSign", m_stationCallsign);
    take("SiDS_latitude", m_latitude);
    take("SiDS_longitude", m_longitude);
    if (m_stationCallsign.isEmpty() || m_latitude.isEmpty() || m_longitude.isEmpty())
        return;
    for (int i = 0; i < 2; ++i) {
        const QString call = QStringLiteral("SiDS_SatCallSign%1").arg(i);
        const QString norad = QStringLiteral("SiDS_NORAD_id%1").arg(i);
        if (params.contains(call) && params.contains(norad))
            m_satellites.insert(params.value(call), params.value(norad));
    }
    take("SiDS_URL_main", m_urlMain);
    take("SiDS_URL_reserve", m_urlReserve);
    m_frameLog = std::make_unique<RadioFrameLog>(
        frameLogPrefix + QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyy-MM-ddThh-mm-ss")));
}

void AX25_connector::forwardTelemetry(const QByteArray &packet, const QDateTime &utc)
{
    const auto sat = m_satellites.constFind(QString::fromLatin1(ax25_source_callsign(packet)));
    if (sat == m_satellites.constEnd())
        return;
    if (!m_urlMain.isEmpty())
        postTelemetry(packet, utc, m_urlMain, sat.value());
    if (!m_urlReserve.isEmpty())
        postTelemetry(packet, utc, m_urlReserve, sat.value());
}

QByteArray AX25_connector::telemetryQuery(const QByteArray &packet, const QDateTime &utc,
                                          const QString &noradId) const
{
    const QPair<const char *, QString> items[] = {
        {"noradID", noradId},
        {"source", m_stationCallsign},
        {"locator", QStringLiteral("longLat")},
        {"longitude", m_longitude},
        {"latitude", m_latitude},
        {"version", QStringLiteral("1.6.6")},
        {"timestamp", utc.toUTC().toString(Qt::ISODateWithMs)},
        {"frame", QString::fromLatin1(packet.toHex().toUpper())},
    };
    // Every reserved character is percent-encoded, '+' too: a form decoder
    // would read a bare one as a blank.
    QByteArray query;
    for (const auto &item : items) {
        if (!query.isEmpty())
            query += '&';
        query += QByteArray(item.first) + '=' + QUrl::toPercentEncoding(item.second.toUtf8());
    }
    return query;
}

void AX25_connector::postTelemetry(const QByteArray &packet, const QDateTime &utc, const QString &url,
                                   const QString &noradId)
{
    if (packet.isEmpty())
        return;
    // An endpoint that is slow or gone must not pile up requests.
    if (m_postsInFlight >= maxPostsInFlight) {
        if (!m_skipReported)
            qCritical("%s", qPrintable(QStringLiteral("AX25_connector: %1 telemetry posts still unanswered, "
                                                      "frames are not posted until one ends")
                                           .arg(m_postsInFlight)));
        m_skipReported = true;
        emit telemetryPosted(TelemetrySkipped);
        return;
    }
    const QByteArray query = telemetryQuery(packet, utc, noradId);
    QNetworkRequest request(QUrl(url + QLatin1Char('?') + QString::fromLatin1(query), QUrl::StrictMode));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/x-www-form-urlencoded"));
    request.setTransferTimeout(postTimeoutMs);
    request.setAttribute(QNetworkRequest::User, url);
    ++m_postsInFlight;
    m_network.post(request, query);
}

void AX25_connector::handleEndOfRequest(QNetworkReply *reply)
{
    --m_postsInFlight;
    m_skipReported = false;
    reply->deleteLater();
    // A gone endpoint fails every post: said when it starts failing and when
    // it answers again, not once per post.
    const QString configured = reply->request().attribute(QNetworkRequest::User).toString();
    EndpointState &endpoint = m_endpoints[configured];
    const QString url = QUrl(configured).toString(QUrl::RemoveUserInfo);  // no password in the log
    emit telemetryPosted(reply->error() == QNetworkReply::NoError ? TelemetryOk : TelemetryFailed);
    if (reply->error() == QNetworkReply::NoError) {
        if (endpoint.failing)
            qInfo("%s", qPrintable(QStringLiteral("Telemetry endpoint %1 answers again; %2 posts were lost")
                                       .arg(url)
                                       .arg(endpoint.lost)));
        endpoint = EndpointState();
        return;
    }
    ++endpoint.lost;
    if (endpoint.failing)
        return;
    endpoint.failing = true;
    // The answer comes later than post() returns: the failure is known only here.
    QString reason = QString::fromLatin1(QMetaEnum::fromType<QNetworkReply::NetworkError>().valueToKey(reply->error()));
    const QVariant http = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (http.isValid())
        reason += QStringLiteral(" (HTTP %1)").arg(http.toInt());
    qCritical("%s", qPrintable(QStringLiteral("networkManager.post rised error with code: %1; telemetry endpoint %2 "
                                              "fails, its posts are lost until it answers again")
                                   .arg(reason, url)));
}

void AX25_connector::handleError(QNetworkReply *reply, const QList<QSslError> &errors)
{
    Q_UNUSED(reply)
    qCritical("AX25_connector::handleError: QNetworkReply's error list: ");
    for (const QSslError &e : errors)
        qCritical("%s", qPrintable(e.errorString()));
}
