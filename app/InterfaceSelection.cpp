#include "app/InterfaceSelection.h"

#include "config/CorvidConfigData.h"
#include "config/corvid_config_convert.h"
#include "connectors/AGWPE_connector.h"
#include "connectors/KISS_connector.h"
#include "connectors/NullReader.h"
#include "connectors/QSocketCAN_connector.h"
#include "connectors/UDP_Connector.h"
#include "connectors/USBtinConnector.h"
#include "engine/CorvidEngine.h"

#include <QCanBus>
#include <QDebug>
#include <QString>

namespace {

bool contains(const QString &value, const char *keyword)
{
    return value.contains(QLatin1String(keyword), Qt::CaseInsensitive);
}

QString canDeviceName(CorvidConfigData *config)
{
    return config->hasParam(QStringLiteral("SocketCANPortName")) ? config->getParam(QStringLiteral("SocketCANPortName"))
                                                                 : QStringLiteral("can0");
}

// A CAN link bound to the engine, which initialises it knowing the run mode.
AbstractConnector *bind(AbstractConnector *connector, CorvidEngine &engine, bool guiMode)
{
    connector->guiMode = guiMode;
    engine.setHardware(connector);
    return connector;
}

// A CAN link through Qt's CAN bus layer.
AbstractConnector *bindCan(CorvidEngine &engine, const QString &plugin, const QString &device, bool guiMode)
{
    return bind(new QSocketCAN_connector(engine, plugin, device, nullptr, guiMode), engine, guiMode);
}

AbstractConnector *nullReader(const char *complaint)
{
    qCritical("%s", complaint);
    return new NullReader();
}

QString paramOr(CorvidConfigData *config, const char *name, const char *fallback)
{
    const QString key = QLatin1String(name);
    return config && config->hasParam(key) ? config->getParam(key) : QString::fromLatin1(fallback);
}

uint16_t modemPort(CorvidConfigData *config, const char *name, uint16_t fallback)
{
    const QString key = QLatin1String(name);
    return config && config->hasParam(key) ? corvid_config_to_uint16(config->getParam(key), CORVID_BASE_DEC) : fallback;
}

uint8_t ssid(CorvidConfigData *config, const char *name, const char *fallback)
{
    return uint8_t(corvid_config_to_uint32(paramOr(config, name, fallback), CORVID_BASE_DEC));
}

// The SSIDs come from the configuration like every other setting, so a link
// rebuilt after its modem went away keeps the addresses set while it ran.
template <typename Radio>
AbstractConnector *radioConnector(CorvidConfigData *config, const QByteArray &ground, const QByteArray &board,
                                  const char *name, const char *portParam, uint16_t defaultPort,
                                  const char *hostParam)
{
    qInfo("%s hw-interface will be used.\n", name);
    auto *radio = new Radio(paramOr(config, hostParam, "127.0.0.1"), modemPort(config, portParam, defaultPort),
                            ground, board, ssid(config, "SSID_GND", "0"), ssid(config, "SSID_BRD", "1"));
    radio->interfaceName = QLatin1String(name);
    if (config)
        radio->setupTelemetry(config->values());
    return radio;
}

}  // namespace

AbstractConnector *createConnector(CorvidConfigData *config, CorvidEngine &engine, bool guiMode)
{
    const QString iface = config ? config->getParam(QStringLiteral("Interface")) : QString();
    const QByteArray boardCallsign = paramOr(config, "CALLSIGN_BRD", "Q9ZZZ").toLocal8Bit();
    const QByteArray groundCallsign = paramOr(config, "CALLSIGN_GND", "Q9ZZZ").toLocal8Bit();

    if (contains(iface, "UsbTin")) {
        // The port found, not the configured name: an adapter the operator
        // picked among several must be the one that is opened.
        const QString port = USBtinConnector::findPort(config->getParam(QStringLiteral("USBtinPortName")), false);
        if (port.isEmpty())
            return nullReader("No serial devices available!");
        qInfo("UsbTin hw-interface will be used.\n");
        return bind(new USBtinConnector(engine, port), engine, guiMode);
    }

    if (contains(iface, "SocketCAN")) {
        // Listed by the plugin that opens the device (not Qt's own socketcan).
        if (QCanBus::instance()->availableDevices(QStringLiteral("kq-qt-socketcan")).isEmpty())
            return nullReader("No CAN devices available!");
        qInfo() << iface << " hw-interface will be used.\n";
        return bindCan(engine, iface.toLower(), canDeviceName(config), guiMode);
    }

    if (contains(iface, "virtualcan") && QCanBus::instance()->plugins().contains(QStringLiteral("virtualcan"))) {
        qInfo("Virtual CAN hw-interface will be used.\n");
        return bindCan(engine, QStringLiteral("virtualcan"), canDeviceName(config), guiMode);
    }

    if (contains(iface, "AGWPE"))
        return radioConnector<AGWPE_connector>(config, groundCallsign, boardCallsign, "AGWPE", "AGWPE_Port", 8000,
                                               "AGWPE_Hostname");
    if (contains(iface, "KISSTCP"))
        return radioConnector<KISS_connector>(config, groundCallsign, boardCallsign, "KISSTCP", "KISSTCP_Port", 8001,
                                              "KISSTCP_Hostname");

    if (iface.compare(QLatin1String("UDP"), Qt::CaseInsensitive) == 0) {
        qInfo("UDP connection will be used.\n");
        // From the values, not the fields typed at load time: those miss a
        // live change, which a later rebuild of the link must keep.
        const uint16_t configured = corvid_config_to_uint16(config->getParam(QStringLiteral("UdpPortName")));
        const uint16_t port = configured ? configured : uint16_t(8000);
        const QString host = config->hasParam(QStringLiteral("UdpHostName"))
                                 ? config->getParam(QStringLiteral("UdpHostName"))
                                 : QStringLiteral("127.0.0.1");
        auto *udp = new UDP_Connector(host, port);
        udp->interfaceName = QStringLiteral("UDP");
        return udp;
    }

    return nullReader("Incorrect HW interface selected!\n");
}
