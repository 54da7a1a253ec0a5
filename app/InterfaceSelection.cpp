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
#include <QStringList>

namespace {

// In the order they are tried.
const char *const kKeywords[] = {"UsbTin", "SocketCAN", "virtualcan", "AGWPE", "KISSTCP", "UDP"};

// The value, or the built-in default where it is absent or empty.
QString setting(CorvidConfigData *config, const char *name)
{
    const QString key = QLatin1String(name);
    const QString value = config ? config->getParam(key) : QString();
    return value.trimmed().isEmpty() ? CorvidConfigData::builtInValue(key) : value;
}

uint16_t port(CorvidConfigData *config, const char *name, int base)
{
    bool ok = false;
    const uint16_t value = corvid_config_to_uint16(setting(config, name), base, &ok);
    return ok && value ? value : corvid_config_to_uint16(CorvidConfigData::builtInValue(QLatin1String(name)), base);
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

AbstractConnector *nullReader(const QString &complaint)
{
    qCritical("%s", qUtf8Printable(complaint));
    return new NullReader();
}

uint8_t ssid(CorvidConfigData *config, const char *name)
{
    return uint8_t(corvid_config_to_uint32(setting(config, name), CORVID_BASE_DEC));
}

// The SSIDs come from the configuration like every other setting, so a link
// rebuilt after its modem went away keeps the addresses set while it ran.
template <typename Radio>
AbstractConnector *radioConnector(CorvidConfigData *config, const char *name, const char *portParam,
                                  const char *hostParam)
{
    qInfo("%s hw-interface will be used.\n", name);
    auto *radio = new Radio(setting(config, hostParam), port(config, portParam, CORVID_BASE_DEC),
                            setting(config, "CALLSIGN_GND").toLocal8Bit(), setting(config, "CALLSIGN_BRD").toLocal8Bit(),
                            ssid(config, "SSID_GND"), ssid(config, "SSID_BRD"));
    radio->interfaceName = QLatin1String(name);
    if (config)
        radio->setupTelemetry(config->values());
    return radio;
}

}  // namespace

QString corvid_interface_choice(const QString &value)
{
    for (const char *keyword : kKeywords) {
        const QLatin1String k(keyword);
        const bool matches = k == QLatin1String("UDP") ? value.compare(k, Qt::CaseInsensitive) == 0
                                                       : value.contains(k, Qt::CaseInsensitive);
        if (!matches)
            continue;
        if (k == QLatin1String("virtualcan") && !QCanBus::instance()->plugins().contains(k))
            continue;
        return k;
    }
    return QString();
}

void corvid_check_interface_value(const QString &value)
{
    QStringList keywords;
    for (const char *keyword : kKeywords) {
        if (value.compare(QLatin1String(keyword), Qt::CaseInsensitive) == 0)
            return;
        keywords << QLatin1String(keyword);
    }
    const QString choice = corvid_interface_choice(value);
    qWarning("%s", qUtf8Printable(QStringLiteral("Interface \"%1\" is not one of %2; it %3")
                                      .arg(value, keywords.join(QStringLiteral(", ")),
                                           choice.isEmpty() ? QStringLiteral("selects no link")
                                                            : QStringLiteral("is taken as ") + choice)));
}

AbstractConnector *createConnector(CorvidConfigData *config, CorvidEngine &engine, bool guiMode)
{
    const QString iface = config ? config->getParam(QStringLiteral("Interface")) : QString();
    const QString choice = corvid_interface_choice(iface);

    if (choice == QLatin1String("UsbTin")) {
        // The port found, not the configured name: an adapter the operator
        // picked among several must be the one that is opened.
        const QString configured = setting(config, "USBtinPortName");
        const QString port = USBtinConnector::findPort(configured, false);
        if (port.isEmpty())
            return nullReader(USBtinConnector::noSerialDevicesText(configured));
        qInfo("UsbTin hw-interface will be used.\n");
        return bind(new USBtinConnector(engine, port), engine, guiMode);
    }

    if (choice == QLatin1String("SocketCAN")) {
        // Listed by the plugin that opens the device (not Qt's own socketcan).
        const QString plugin = QStringLiteral("kq-qt-socketcan");
        if (QCanBus::instance()->availableDevices(plugin).isEmpty())
            return nullReader(QSocketCAN_connector::noCanDevicesText(setting(config, "SocketCANPortName"), plugin));
        qInfo() << iface << " hw-interface will be used.\n";
        return bindCan(engine, iface.toLower(), setting(config, "SocketCANPortName"), guiMode);
    }

    if (choice == QLatin1String("virtualcan")) {
        qInfo("Virtual CAN hw-interface will be used.\n");
        return bindCan(engine, QStringLiteral("virtualcan"), setting(config, "SocketCANPortName"), guiMode);
    }

    if (choice == QLatin1String("AGWPE"))
        return radioConnector<AGWPE_connector>(config, "AGWPE", "AGWPE_Port", "AGWPE_Hostname");
    if (choice == QLatin1String("KISSTCP"))
        return radioConnector<KISS_connector>(config, "KISSTCP", "KISSTCP_Port", "KISSTCP_Hostname");

    if (choice == QLatin1String("UDP")) {
        qInfo("UDP connection will be used.\n");
        // From the values, not the fields typed at load time: those miss a
        // live change, which a later rebuild of the link must keep.
        auto *udp = new UDP_Connector(setting(config, "UdpHostName"), port(config, "UdpPortName", CORVID_BASE_AUTO));
        udp->interfaceName = QStringLiteral("UDP");
        return udp;
    }

    return nullReader(QStringLiteral("Incorrect HW interface selected! (Interface \"%1\")\n").arg(iface));
}
