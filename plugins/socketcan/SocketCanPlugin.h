#pragma once
// Qt CAN bus plugin "kq-qt-socketcan": Linux SocketCAN interfaces as Qt CAN
// bus devices, for QCanBus::createDevice("kq-qt-socketcan", "can0").

#include <QCanBusFactoryV2>
#include <QObject>

class SocketCanPlugin : public QObject, public QCanBusFactoryV2 {
    Q_OBJECT
    Q_DISABLE_COPY(SocketCanPlugin)
    Q_PLUGIN_METADATA(IID "org.qt-project.Qt.QCanBusFactory" FILE "plugin.json")
    Q_INTERFACES(QCanBusFactoryV2)
public:
    explicit SocketCanPlugin(QObject *parent = nullptr) : QObject(parent) {}

    QList<QCanBusDeviceInfo> availableDevices(QString *errorMessage) const override;
    QCanBusDevice *createDevice(const QString &interfaceName, QString *errorMessage) const override;
};
