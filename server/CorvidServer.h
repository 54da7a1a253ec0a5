#pragma once
// The switchboard of the server: routes messages between the hardware link, the
// control applications, the Telnet terminals and the message log, reports link
// state changes, and keeps the link alive by rebuilding it while it is down.

#include "connectors/AbstractConnector.h"
#include "engine/corvid_types.h"
#include "server/CorvidTCPserver.h"
#include "server/ServerView.h"

#include <QByteArray>
#include <QHostAddress>
#include <QMap>
#include <QObject>
#include <QSharedPointer>
#include <QString>
#include <QTimer>
#include <cstdint>
#include <functional>

class CorvidConfigData;
class CorvidEngine;
class CorvidMetrics;
class CorvidTelnet;

// Announced in the start message and shown in the window title.
constexpr unsigned CORVID_SERVER_VERSION = 143;
constexpr int kRebuildIntervalMs = 1000;

// Builds a connector from the configuration; the hub calls it whenever it
// rebuilds the link. Set by whoever owns the interface selection.
using corvid_connector_factory = std::function<AbstractConnector *(bool guiMode)>;

class CorvidServer : public QObject {
    Q_OBJECT
public:
    // Takes over `connector` (a placeholder when null). `view` is the main
    // window, or null when the server runs without one. It must outlive the hub.
    CorvidServer(AbstractConnector *connector, CorvidConfigData *config, uint16_t tcpPort,
                 ServerView *view, QObject *parent = nullptr);
    ~CorvidServer() override;

    void setConnectorFactory(corvid_connector_factory factory) { m_connectorFactory = std::move(factory); }

    void setMaxClients(uint32_t n);
    void addTelnetDevice(uint16_t address, uint16_t ownAddress, uint16_t msgId, bool deEsc, bool crlf,
                         uint16_t uhfBuffer, uint16_t uhfDelay, bool debug);
    void startServer();

    // The engine the CAN links are bound to: its errors are said by the hub
    // (until the hub goes), and it goes offline whenever the link is rebuilt.
    // It must outlive the hub.
    void attachToEngine(CorvidEngine &engine);
    void handleEngineError(uint16_t code);

    AbstractConnector *connector() const { return m_connector; }
    CorvidTCPserver *tcpServer() const { return m_tcpServer; }
    uint16_t tcpPort() const { return m_tcpPort; }
    uint32_t rxCorvidCount() const { return m_rxCorvidCount; }
    uint32_t txCorvidCount() const { return m_txCorvidCount; }
    bool rebuildTimerActive() const { return m_rebuildTimer.isActive(); }
    // Paces the checks that rebuild a link which is down (every second by default).
    QTimer *rebuildTimer() { return &m_rebuildTimer; }
    QHostAddress telnetListenAddress() const { return m_telnetListenAddress; }
    // The terminal bridge of a device, or null.
    CorvidTelnet *telnetBridge(uint16_t address) const { return m_telnets.value(address).data(); }

    // Adds the families of the hub, its link and its clients. Read when a
    // scrape comes, in the hub's thread; the registry must not outlive the hub.
    void registerMetrics(CorvidMetrics &metrics) const;

    uint16_t ccAddress = 1;
    bool telnetCRLF = false;
    bool telnetDebug = false;
    bool telnetDeEsc = true;
    uint16_t telnetUhfBuffer = 0;

signals:
    void signalLogData(corvid_message ucm, quint64 stampId, bool dirToSat = false, quint32 status = 0,
                       AX25HeaderOpt hdr = {});
    // A link cannot go on without its device (its abort_app): the program ends.
    void abortRequested();
    // signalLogData's stream, in order, with the status a reader outside wants:
    // for a message from the link, whether the link was ready.
    void messageLogged(const corvid_message &msg, quint64 stampId, bool dirToSat, quint32 status,
                       const AX25HeaderOpt &hdr);
    // Link state (AbstractConnector::HWState), the link's name, identified control applications.
    void statusChanged(int linkState, const QString &interface, int clients);

public slots:
    void slotParamChanged(QString name, QString value);
    void slotSendCorvidToClient(const corvid_owned_message &msg, quint64 stampId, unsigned status, unsigned dir,
                                unsigned tag = 0, const AX25HeaderOpt &hdr = {});
    void slotOnNullReaderTimer();
    void slotCloseServer();
    // A message for the link from outside the control protocol (the MQTT
    // bridge): sent if the link is ready, logged, echoed to the control
    // applications as a Manager's would be, never kept for later. Its status.
    quint32 slotSendFromBridge(const corvid_message &msg);

private slots:
    void slotDisconnected(quint32 clientId);
    void hardwareStatusHandler(AbstractConnector::HWState newState);
    void slotReconnectClicked();
    void slotAddClient(crd_client_info_t newcl);
    void slotRxMsg2Sat(corvid_message msg);
    void slotRxCANfromSat();

private:
    void announceStart();
    // The parameters of who may reach what, read from the configuration.
    void applyAccessParameters();
    bool applyAccessParameter(const QString &name, const QString &value);
    void applyTls();
    quint32 sendToLink(const corvid_message &msg);
    void logMessage(const corvid_message &msg, quint64 stamp, bool toLink, quint32 status, const AX25HeaderOpt &hdr);
    void reportStatus();
    // A message from the link: counted, stamped, then distributed.
    void handleBusMessage(const corvid_owned_message &msg, const AX25HeaderOpt &hdr);
    void connectConnector(AbstractConnector *connector);
    void rebuildConnector();
    void refreshRxCounters();
    void refreshTxCounters();
    void telnetWrite(uint16_t address, const QByteArray &data);
    CorvidTelnet *replaceTelnetBridge(uint16_t address, uint16_t ownAddress, uint16_t msgId, bool deEsc, bool crlf,
                                      uint16_t uhfBuffer, uint16_t uhfDelay, bool debug);

    // The current link. The hub owns it and is the only one to delete a link:
    // the old one when it rebuilds the link, the last one when the hub goes.
    // The engine only refers to a bound CAN link, and a link deleted while
    // bound releases the engine first.
    AbstractConnector *m_connector = nullptr;
    corvid_connector_factory m_connectorFactory;
    CorvidEngine *m_engine = nullptr;
    NullServerView m_nullView;
    ServerView *m_view = &m_nullView;
    bool m_hasWindow = false;
    QTimer m_rebuildTimer;
    CorvidTCPserver *m_tcpServer = nullptr;
    uint16_t m_tcpPort = 0;
    uint32_t m_rxCorvidCount = 0;
    uint32_t m_txCorvidCount = 0;
    QMap<uint16_t, QSharedPointer<CorvidTelnet>> m_telnets;
    CorvidConfigData *m_config = nullptr;
    bool m_disconnectWired = false;
    QHostAddress m_telnetListenAddress = QHostAddress(QHostAddress::LocalHost);
    int m_rebuildAttempt = 0;  // rebuilds since the link was last ready

    // Counted for the metrics: by direction (0 from the link, 1 to it) and
    // status (0 failed, 1 ok), as the log records them.
    quint64 m_messages[2][2] = {};
    quint64 m_bytes[2][2] = {};
    quint64 m_linkRebuilds = 0;
    QMap<uint16_t, quint64> m_engineErrors;
    quint64 m_telemetryPosts[3] = {};
};
