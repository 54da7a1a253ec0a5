#include "server/CorvidServer.h"

#include "config/CorvidConfigData.h"
#include "config/corvid_config_convert.h"
#include "connectors/AX25_connector.h"
#include "connectors/OperatorPrompt.h"
#include "engine/CorvidEngine.h"
#include "engine/corvid_hardware.h"
#include "server/CorvidMetrics.h"
#include "server/CorvidTelnet.h"
#include "server/ManagerHosts.h"
#include "server/TlsSettings.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QPointer>
#include <QTcpServer>

namespace {
Q_LOGGING_CATEGORY(lcHub, "corvid.hub", QtWarningMsg)
}

CorvidServer::CorvidServer(AbstractConnector *connector, CorvidConfigData *config, uint16_t tcpPort,
                           ServerView *view, QObject *parent)
    : QObject(parent), m_tcpPort(tcpPort), m_config(config)
{
    corvid_register_metatypes();
    qRegisterMetaType<AbstractConnector::HWState>("AbstractConnector::HWState");
    qRegisterMetaType<crd_client_info_t>("crd_client_info_t");

    m_connector = connector ? connector : AbstractConnector::createPlaceholder();
    if (view) {
        m_view = view;
        m_hasWindow = true;
        // The view may call after the hub is gone.
        QPointer<CorvidServer> self(this);
        view->onReconnectRequested([self] {
            if (self)
                self->slotReconnectClicked();
        });
    }
    // Shares the hub's parent; without one the hub itself owns it.
    m_tcpServer = new CorvidTCPserver(tcpPort, parent ? parent : this);
    m_tcpServer->restrictFakeSatTelemetry = config ? uint8_t(config->restrictFakeSatTelemetry()) : 0;

    connect(m_tcpServer, &CorvidTCPserver::signalCorvidToHW, this, &CorvidServer::slotRxMsg2Sat);
    connect(m_tcpServer, &CorvidTCPserver::newClientAdded, this, &CorvidServer::slotAddClient);
    // A client that said who it is again: its row shows the new name and role.
    connect(m_tcpServer, &CorvidTCPserver::clientUpdated, this, [this](const crd_client_info_t &client) {
        m_view->slotDisconnected(client.id);
        m_view->slotAddClient(client);
    });
    // A listen that failed at start and worked on a later try.
    connect(m_tcpServer, &CorvidTCPserver::listeningResumed, this, &CorvidServer::announceStart);

    connectConnector(m_connector);
    applyAccessParameters();

    connect(&m_rebuildTimer, &QTimer::timeout, this, &CorvidServer::slotOnNullReaderTimer);
    m_rebuildTimer.start(kRebuildIntervalMs);
}

CorvidServer::~CorvidServer()
{
    if (m_engine)
        m_engine->setErrorHandler({});
    m_telnets.clear();
    disconnect(m_connector, nullptr, this, nullptr);
    delete m_connector;
}

void CorvidServer::attachToEngine(CorvidEngine &engine)
{
    m_engine = &engine;
    engine.setErrorHandler([this](uint16_t code) { handleEngineError(code); });
}

void CorvidServer::setMaxClients(uint32_t n)
{
    m_tcpServer->maxClients = uint16_t(n);
}

void CorvidServer::addTelnetDevice(uint16_t address, uint16_t ownAddress, uint16_t msgId, bool deEsc, bool crlf,
                                   uint16_t uhfBuffer, uint16_t uhfDelay, bool debug)
{
    replaceTelnetBridge(address, ownAddress, msgId, deEsc, crlf, uhfBuffer, uhfDelay, debug);
}

CorvidTelnet *CorvidServer::replaceTelnetBridge(uint16_t address, uint16_t ownAddress, uint16_t msgId, bool deEsc,
                                                bool crlf, uint16_t uhfBuffer, uint16_t uhfDelay, bool debug)
{
    // The old bridge goes first: its port is the one the new bridge listens on.
    if (const QSharedPointer<CorvidTelnet> old = m_telnets.take(address)) {
        old->closeTerminal();
        disconnect(old.data(), nullptr, this, nullptr);
    }
    CorvidTelnet::Links links;
    links.send = [this](corvid_message *msg) -> int64_t {
        return m_connector ? m_connector->sendCorvidMessage(msg) : -1;
    };
    links.log = [this](const corvid_message &msg, quint32 status) { logMessage(msg, 0, true, status, {}); };
    QSharedPointer<CorvidTelnet> bridge(
        new CorvidTelnet(address, links, ownAddress, msgId, deEsc, crlf, uhfBuffer, uhfDelay, debug,
                         m_telnetListenAddress));
    m_telnets.insert(address, bridge);
    connect(bridge.data(), &CorvidTelnet::newClientAdded, this, &CorvidServer::slotAddClient);
    connect(bridge.data(), &CorvidTelnet::clientDisconnected, this, &CorvidServer::slotDisconnected);
    return bridge.data();
}

void CorvidServer::startServer()
{
    // The TLS port is independent of the plain one: it opens whatever becomes of that.
    applyTls();
    if (m_tcpServer->startServer()) {
        announceStart();
        return;
    }
    const QString error = m_tcpServer->errorString();
    if (!m_hasWindow) {
        qCritical("%s", qPrintable(QStringLiteral("Server Error: Unable to start the server: ") + error));
        m_tcpServer->closeListening();
        return;
    }
    if (!corvid_prompt().confirmListenFailure(QStringLiteral("Unable to start the server: ") + error)) {
        m_tcpServer->slotCloseServer();
        m_connector->fatalStop();
        return;
    }
    m_tcpServer->closeListening();
}

void CorvidServer::announceStart()
{
    hardwareStatusHandler(m_connector->state);
    qInfo("%s", qPrintable(tr("Corvid server ver.%1 started at port %2").arg(CORVID_SERVER_VERSION).arg(m_tcpPort)));
}

void CorvidServer::handleBusMessage(const corvid_owned_message &msg, const AX25HeaderOpt &hdr)
{
    const unsigned status = m_connector && m_connector->state == AbstractConnector::HW_READY ? 1 : 0;
    ++m_rxCorvidCount;
    const quint64 stamp = ++m_tcpServer->stampId;
    slotSendCorvidToClient(msg, stamp, status, 0, 0, hdr);
}

void CorvidServer::handleEngineError(uint16_t code)
{
    ++m_engineErrors[code];
    qCritical("%s", qPrintable(corvid_error_text(code, m_engine ? m_engine->errorSubject() : nullptr)));
}

void CorvidServer::slotSendCorvidToClient(const corvid_owned_message &msg, quint64 stampId, unsigned status,
                                          unsigned dir, unsigned tag, const AX25HeaderOpt &hdr)
{
    // A view of the message's own bytes for the writers below, which only read them.
    const corvid_message record = msg.record();
    const auto clients = m_tcpServer->clientList();
    qCDebug(lcHub, "to %d clients: id 0x%04x, stamp %llu", int(clients.size()), unsigned(record.msg_id),
            static_cast<unsigned long long>(stampId));
    for (const auto &client : clients)
        m_tcpServer->sendMsgToApp(client.socket, &record, stampId, status, dir, tag, hdr ? &*hdr : nullptr);

    if (record.msg_id == 0xFFF0 || record.msg_id == 0xFFF1)
        telnetWrite(record.address_from, msg.data);

    logMessage(record, m_tcpServer->stampId, false, status, hdr);
    if (m_hasWindow)
        refreshRxCounters();
}

void CorvidServer::logMessage(const corvid_message &msg, quint64 stamp, bool toLink, quint32 status,
                              const AX25HeaderOpt &hdr)
{
    const int dir = toLink ? 1 : 0;
    const int ok = status == 1 ? 1 : 0;
    ++m_messages[dir][ok];
    m_bytes[dir][ok] += msg.length;
    // The message log has always written messages from the link with status 0.
    emit signalLogData(msg, stamp, toLink, toLink ? status : 0, hdr);
    emit messageLogged(msg, stamp, toLink, status, hdr);
}

void CorvidServer::reportStatus()
{
    if (m_connector)
        emit statusChanged(int(m_connector->state), m_connector->interfaceName, m_tcpServer->clientCount());
}

void CorvidServer::telnetWrite(uint16_t address, const QByteArray &data)
{
    CorvidTelnet *bridge = telnetBridge(address);
    if (!bridge)
        bridge = replaceTelnetBridge(address, ccAddress, 0xFFF1, telnetDeEsc, telnetCRLF, 0, 0, telnetDebug);
    bridge->telnetWrite(data, true);
}

void CorvidServer::slotOnNullReaderTimer()
{
    if (!m_connector)
        return;
    // A link still waiting for its device to answer is given the time.
    if (m_connector->awaitingDevice())
        return;
    if (m_connector->isPlaceholder() || m_connector->state == AbstractConnector::HW_ERROR ||
        m_connector->state == AbstractConnector::HW_NOTINIT) {
        const QString value = m_config ? m_config->getParam(QStringLiteral("Interface")) : QString();
        slotParamChanged(QStringLiteral("Interface"), value);
    }
}

void CorvidServer::slotDisconnected(quint32 clientId)
{
    m_view->slotDisconnected(clientId);
    reportStatus();
}

void CorvidServer::hardwareStatusHandler(AbstractConnector::HWState newState)
{
    m_tcpServer->hw_state = uint32_t(newState);
    if (newState == AbstractConnector::HW_READY)
        m_rebuildAttempt = 0;
    m_view->hardwareStatusHandler(newState);
    const auto clients = m_tcpServer->clientList();
    for (const auto &client : clients) {
        if (!m_connector)
            break;
        m_tcpServer->hw_state = uint32_t(m_connector->state);
        m_tcpServer->hw_error = m_connector->lastError;
        m_tcpServer->sendServerState(client.socket);
    }
    reportStatus();
}

void CorvidServer::slotCloseServer()
{
    if (m_connector)
        m_connector->HW_close();
}

void CorvidServer::slotReconnectClicked()
{
    if (!m_connector)
        return;
    if (m_connector->state == AbstractConnector::HW_READY) {
        m_connector->HW_close();
        m_rebuildTimer.stop();
    } else {
        m_connector->HW_init();
        m_rebuildTimer.start();
    }
}

void CorvidServer::slotAddClient(crd_client_info_t newcl)
{
    m_view->slotAddClient(newcl);
    if (!m_disconnectWired) {
        connect(m_tcpServer, &CorvidTCPserver::signalDisconnected, this, &CorvidServer::slotDisconnected,
                Qt::UniqueConnection);
        m_disconnectWired = true;
    }
    reportStatus();
}

void CorvidServer::slotRxMsg2Sat(corvid_message msg)
{
    sendToLink(msg);
}

quint32 CorvidServer::slotSendFromBridge(const corvid_message &msg)
{
    const quint32 status = sendToLink(msg);
    m_tcpServer->echoToClients(msg);
    return status;
}

quint32 CorvidServer::sendToLink(const corvid_message &msg)
{
    ++m_txCorvidCount;
    const quint64 stamp = ++m_tcpServer->stampId;
    quint32 status = 0;
    qCDebug(lcHub, "to the link: id 0x%04x, %u bytes, stamp %llu", unsigned(msg.msg_id), unsigned(msg.length),
            static_cast<unsigned long long>(stamp));
    if (m_connector && m_connector->state == AbstractConnector::HW_READY) {
        corvid_message copy = msg;  // the link takes a mutable record; it only reads the bytes
        const int64_t sent = m_connector->sendCorvidMessage(&copy);
        if (sent == int64_t(msg.length)) {
            status = 1;
            if (m_hasWindow)
                refreshTxCounters();
        }
    }
    logMessage(msg, stamp, true, status, {});
    return status;
}

void CorvidServer::slotRxCANfromSat()
{
    if (m_hasWindow)
        refreshRxCounters();
}

void CorvidServer::slotParamChanged(QString name, QString value)
{
    if (m_config) {
        // Stored under the configuration's own spelling, not as a second key.
        name = m_config->knownName(name);
        m_config->setParam(name, value, m_config->getDescription(name));
    }

    if (!m_connector)  // re-entered while the link is being rebuilt
        return;
    auto is = [&name](const char *key) { return name.compare(QLatin1String(key), Qt::CaseInsensitive) == 0; };

    if (applyAccessParameter(name, value))
        return;  // the link has nothing to do with them
    if (is("TcpPort")) {
        // 70000 must not quietly become port 4464.
        qint64 port = 0;
        if (!corvid_config_number_in_range(value, CORVID_BASE_DEC, 1, 65535, &port)) {
            qCritical("%s", qPrintable(QStringLiteral("Parameter TcpPort has the value \"%1\", not a number from 1 "
                                                      "to 65535; the server stays at port %2")
                                           .arg(value)
                                           .arg(m_tcpServer->port)));
            return;
        }
        m_tcpServer->port = uint16_t(port);
        m_tcpServer->restartServer();
        return;
    }
    if (is("RestrictFakeSatTelemetry"))
        m_tcpServer->restrictFakeSatTelemetry = uint8_t(corvid_config_to_uint32(value, CORVID_BASE_DEC));
    else if (!m_connector->applySetting(name, value))
        qCDebug(lcHub).noquote() << name << "is no setting of the link" << m_connector->interfaceName;

    if (is("Interface") || is("USBtinPortName")) {
        rebuildConnector();
    } else {
        m_connector->HW_close();
        m_connector->HW_init();
    }
}

void CorvidServer::connectConnector(AbstractConnector *connector)
{
    connect(connector, &AbstractConnector::stateChanges, this, &CorvidServer::hardwareStatusHandler,
            Qt::UniqueConnection);
    connect(connector, &AbstractConnector::messageReceived, this, &CorvidServer::handleBusMessage,
            Qt::UniqueConnection);
    connect(connector, &AbstractConnector::signalCANRx, this, &CorvidServer::slotRxCANfromSat, Qt::UniqueConnection);
    connect(connector, &AbstractConnector::abort_app, this, &CorvidServer::abortRequested, Qt::UniqueConnection);
    if (auto *radio = qobject_cast<AX25_connector *>(connector)) {
        connect(radio, &AX25_connector::telemetryPosted, this,
                [this](AX25_connector::TelemetryResult result) { ++m_telemetryPosts[result]; });
    }
}

void CorvidServer::rebuildConnector()
{
    // Numbered, so that the trace shows every attempt.
    qCDebug(lcHub).noquote() << QStringLiteral("rebuilding the link (attempt %1)").arg(++m_rebuildAttempt);
    ++m_linkRebuilds;
    AbstractConnector *old = m_connector;
    old->HW_close();
    disconnect(old, nullptr, this, nullptr);
    // Null while the new link is being built: a question to the operator
    // runs the event loop, and the rebuild timer must not come in then.
    m_connector = nullptr;
    if (m_engine)
        m_engine->deinit();
    delete old;

    const bool gui = m_hasWindow;
    AbstractConnector *fresh = m_connectorFactory ? m_connectorFactory(gui) : nullptr;
    if (!fresh)
        fresh = AbstractConnector::createPlaceholder();
    fresh->guiMode = gui;
    m_connector = fresh;
    connectConnector(fresh);
    // A bound CAN connector was initialised by its binding; a second HW_init
    // would open it again and send its opening sequence twice.
    if (!m_engine || m_engine->hardware() != fresh)
        fresh->HW_init();
    if (m_connector == fresh && fresh->state == AbstractConnector::HW_READY)
        hardwareStatusHandler(AbstractConnector::HW_READY);
    else
        reportStatus();
}

void CorvidServer::refreshRxCounters()
{
    if (!m_connector)
        return;
    m_view->setRxBytesCount(int(m_connector->rxBytesCount()));
    m_view->setRxCurrentBytesCount(int(m_connector->rxCurrentBytesCount()));
    m_view->setRxCorvidCount(int(m_rxCorvidCount));
    m_view->setRxCANCount(int(m_connector->rxCANCount()));
}

void CorvidServer::refreshTxCounters()
{
    if (!m_connector)
        return;
    m_view->setTxBytesCount(int(m_connector->txBytesCount()));
    m_view->setTxCorvidCount(int(m_txCorvidCount));
}

void CorvidServer::registerMetrics(CorvidMetrics &metrics) const
{
    using M = CorvidMetrics;
    // By direction and status, as the log records them.
    auto byDirection = [](const quint64 (&counts)[2][2]) {
        return [&counts](CorvidMetricSamples &s) {
            for (int dir : {0, 1})
                for (int ok : {1, 0})
                    s.add({{"direction", dir ? QStringLiteral("up") : QStringLiteral("down")},
                           {"status", ok ? QStringLiteral("ok") : QStringLiteral("failed")}},
                          counts[dir][ok]);
        };
    };
    metrics.add("corvid_messages_total", M::Counter,
                "Messages that passed the server, by direction (down: from the link, up: to it) and status "
                "(up: sent or not; down: whether the link was ready)",
                byDirection(m_messages));
    metrics.add("corvid_message_data_bytes_total", M::Counter,
                "Data bytes of the messages that passed the server, by direction and status", byDirection(m_bytes));
    metrics.add("corvid_link_state", M::Gauge, "The link's state: 1 for the current one, 0 for the others",
                [this](CorvidMetricSamples &s) {
                    const int now = m_connector ? int(m_connector->state) : int(AbstractConnector::HW_NOTINIT);
                    const std::pair<int, const char *> states[] = {{AbstractConnector::HW_READY, "ready"},
                                                                   {AbstractConnector::HW_NOTINIT, "not_init"},
                                                                   {AbstractConnector::HW_ERROR, "error"}};
                    for (const auto &st : states)
                        s.add({{"state", QLatin1String(st.second)}}, quint64(now == st.first ? 1 : 0));
                });
    metrics.addValue("corvid_link_rebuilds_total", M::Counter, "Times the link was built anew",
                     [this] { return m_linkRebuilds; });
    metrics.add("corvid_clients", M::Gauge, "Identified control applications, by role", [this](CorvidMetricSamples &s) {
        quint64 observers = 0;
        const auto clients = m_tcpServer->clientList();
        for (const auto &c : clients)
            observers += c.observer ? 1 : 0;
        s.add({{"role", QStringLiteral("manager")}}, quint64(clients.size()) - observers);
        s.add({{"role", QStringLiteral("observer")}}, observers);
    });
    metrics.addValue("corvid_telnet_terminals", M::Gauge, "Connected Telnet terminals", [this] {
        quint64 n = 0;
        for (const auto &bridge : m_telnets)
            n += bridge->hasTerminal() ? 1 : 0;
        return n;
    });
    metrics.add("corvid_clients_cut_off_total", M::Counter,
                "Control application connections the server ended, by reason", [this](CorvidMetricSamples &s) {
                    const std::pair<CorvidTCPserver::CutOffReason, const char *> reasons[] = {
                        {CorvidTCPserver::CutSlowReader, "slow_reader"},
                        {CorvidTCPserver::CutIdle, "idle"},
                        {CorvidTCPserver::CutLimit, "limit"},
                        {CorvidTCPserver::CutRefusedHost, "refused_host"}};
                    for (const auto &r : reasons)
                        s.add({{"reason", QLatin1String(r.second)}}, m_tcpServer->cutOffCount(r.first));
                });
    metrics.add("corvid_engine_errors_total", M::Counter, "Errors of the CAN message engine, by code",
                [this](CorvidMetricSamples &s) {
                    for (auto it = m_engineErrors.cbegin(); it != m_engineErrors.cend(); ++it)
                        s.add({{"code", corvid_error_name(it.key())}}, it.value());
                });
    metrics.add("corvid_telemetry_posts_total", M::Counter,
                "Radio frames posted to telemetry endpoints, by result (skipped: too many posts unanswered)",
                [this](CorvidMetricSamples &s) {
                    s.add({{"result", QStringLiteral("ok")}}, m_telemetryPosts[AX25_connector::TelemetryOk]);
                    s.add({{"result", QStringLiteral("failed")}}, m_telemetryPosts[AX25_connector::TelemetryFailed]);
                    s.add({{"result", QStringLiteral("skipped")}}, m_telemetryPosts[AX25_connector::TelemetrySkipped]);
                });
}

namespace {

// Names the parameter, its value and what stands in for it instead.
void badParameter(const QString &name, const QString &value, const QString &why, const QString &instead)
{
    qCritical("%s", qPrintable(QStringLiteral("Parameter %1 has the value \"%2\", %3; %4").arg(name, value, why, instead)));
}

ManagerHosts managerHostsParameter(const QString &value)
{
    QString why;
    if (const auto hosts = ManagerHosts::parse(value, &why))
        return *hosts;
    // Not the default of any host: a mistyped restriction must not open the
    // bus to everyone.
    badParameter(QStringLiteral("ManagerHosts"), value, why,
                 QStringLiteral("Managers are accepted from this machine only (127.0.0.0/8, ::1)"));
    return ManagerHosts::loopback();
}

}  // namespace

void CorvidServer::applyAccessParameters()
{
    if (!m_config)
        return;
    // An absent one reads as empty: its default.
    for (const char *name : {"TcpListenAddress", "TelnetListenAddress", "ManagerHosts"})
        applyAccessParameter(QLatin1String(name), m_config->getParam(m_config->knownName(QLatin1String(name))));
}

bool CorvidServer::applyAccessParameter(const QString &name, const QString &value)
{
    auto is = [&name](const char *key) { return name.compare(QLatin1String(key), Qt::CaseInsensitive) == 0; };
    if (is("TcpListenAddress")) {
        const QHostAddress address =
            corvid_listen_address_parameter(QStringLiteral("TcpListenAddress"), value, QString());
        if (address != m_tcpServer->listenAddress) {
            m_tcpServer->listenAddress = address;
            if (m_tcpServer->serverPort() != 0)
                m_tcpServer->restartServer();
            if (m_tcpServer->tlsServerPort() != 0)
                applyTls();
        }
    } else if (is("TelnetListenAddress")) {
        // Empty is no choice here: a console without login is not for every network by chance.
        const QHostAddress address = corvid_listen_address_parameter(QStringLiteral("TelnetListenAddress"), value,
                                                                     QStringLiteral("127.0.0.1"));
        if (address != m_telnetListenAddress) {
            m_telnetListenAddress = address;
            for (const QSharedPointer<CorvidTelnet> &bridge : qAsConst(m_telnets))
                bridge->listenOn(address);
        }
    } else if (is("ManagerHosts")) {
        m_tcpServer->setManagerHosts(managerHostsParameter(value));
    } else if (is("TlsPort") || is("TlsCertFile") || is("TlsKeyFile") || is("TlsClientCAFile")) {
        applyTls();
    } else {
        return false;
    }
    return true;
}

void CorvidServer::applyTls()
{
    const QString portText = m_config ? m_config->getParam(m_config->knownName(QStringLiteral("TlsPort"))) : QString();
    qint64 port = 0;
    if (!portText.trimmed().isEmpty() && !corvid_config_number_in_range(portText, CORVID_BASE_AUTO, 0, 65535, &port))
        badParameter(QStringLiteral("TlsPort"), portText, QStringLiteral("not a number from 0 to 65535"),
                     QStringLiteral("the default 0 (no TLS port) is used"));
    m_tcpServer->stopTls();
    if (port == 0)
        return;
    auto param = [this](const char *name) { return m_config->getParam(m_config->knownName(QLatin1String(name))).trimmed(); };
    const TlsFiles files{param("TlsCertFile"), param("TlsKeyFile"), param("TlsClientCAFile")};
    if (files.certificate.isEmpty() || files.key.isEmpty()) {
        qCritical("TLS port %u needs TlsCertFile and TlsKeyFile; it stays closed", unsigned(port));
        return;
    }
    const auto configuration = corvid_tls_server_configuration(files);
    if (!configuration) {
        qCritical("TLS port %u stays closed", unsigned(port));
        return;
    }
    if (m_tcpServer->startTls(uint16_t(port), m_tcpServer->listenAddress, *configuration))
        qInfo("%s", qPrintable(QStringLiteral("TLS control port %1 open%2")
                                   .arg(port)
                                   .arg(files.clientCA.isEmpty() ? QString()
                                                                 : QStringLiteral(", client certificates checked against %1")
                                                                       .arg(files.clientCA))));
}
