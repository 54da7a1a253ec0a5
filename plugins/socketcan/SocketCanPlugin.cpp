#include "plugins/socketcan/SocketCanPlugin.h"

#include "plugins/socketcan/SocketCanBackend.h"

#include <QFileInfo>

QList<QCanBusDeviceInfo> SocketCanPlugin::availableDevices(QString *errorMessage) const
{
    const QString root = SocketCanBackend::sysfsNetRoot();
    if (errorMessage && !QFileInfo(root).isDir())
        *errorMessage = QStringLiteral("Cannot list network interfaces: %1 is not readable").arg(root);
    return SocketCanBackend::interfaces(root);
}

QCanBusDevice *SocketCanPlugin::createDevice(const QString &interfaceName, QString *errorMessage) const
{
    Q_UNUSED(errorMessage)
    // Whether the interface exists and the kernel speaks CAN shows when the
    // device connects, with the reason in its error text.
    return new SocketCanBackend(interfaceName);
}
