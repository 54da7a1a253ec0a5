#include "app/InterfaceSelection.h"

#include "config/CorvidConfigData.h"
#include "connectors/NullReader.h"
#ifdef CORVID_HAVE_QCANBUS_CONNECTOR
#include "connectors/QSocketCAN_connector.h"
#endif
#include "engine/corvid_hardware.h"

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

AbstractConnector *newCanConnector(const QString &plugin, const QString &device, bool guiMode)
{
#ifdef CORVID_HAVE_QCANBUS_CONNECTOR
    return new QSocketCAN_connector(plugin, device, nullptr, guiMode);
#else
    Q_UNUSED(plugin)
    Q_UNUSED(device)
    Q_UNUSED(guiMode)
    return nullptr;
#endif
}

AbstractConnector *nullReader(const char *complaint);

AbstractConnector *bindCan(AbstractConnector *connector, bool guiMode)
{
    if (!connector)  // built without the CAN bus connector
        return nullReader("No CAN devices available!");
    connector->guiMode = guiMode;
    corvid_set_hardware(connector);
    return connector;
}

AbstractConnector *nullReader(const char *complaint)
{
    qCritical("%s", complaint);
    return new NullReader();
}

}  // namespace

AbstractConnector *createConnector(CorvidConfigData *config, bool guiMode)
{
    const QString iface = config ? config->getParam(QStringLiteral("Interface")) : QString();

    if (contains(iface, "UsbTin")) {
        // The serial adapter's connector is not part of this build: the link
        // stays a NullReader and the hub keeps retrying.
        return nullReader("No serial devices available!");
    }

    if (contains(iface, "SocketCAN")) {
        if (QCanBus::instance()->availableDevices(QStringLiteral("socketcan")).isEmpty())
            return nullReader("No CAN devices available!");
        qInfo() << iface << " hw-interface will be used.\n";
        return bindCan(newCanConnector(iface.toLower(), canDeviceName(config), guiMode), guiMode);
    }

    if (contains(iface, "virtualcan") && QCanBus::instance()->plugins().contains(QStringLiteral("virtualcan"))) {
        qInfo("Virtual CAN hw-interface will be used.\n");
        return bindCan(newCanConnector(QStringLiteral("virtualcan"), canDeviceName(config), guiMode), guiMode);
    }

    // The radio and UDP links are selected here once they exist.

    return nullReader("Incorrect HW interface selected!\n");
}
