#pragma once
// The other end of Qt's virtual CAN bus: a plain device of the plugin that keeps every frame it hears.

#include <QCanBus>
#include <QCanBusDevice>
#include <QCanBusFrame>
#include <QVector>
#include <memory>

struct Peer {
    explicit Peer(const QString &channel = QStringLiteral("can0"))
        : dev(QCanBus::instance()->createDevice(QStringLiteral("virtualcan"), channel)) {
        QObject::connect(dev.get(), &QCanBusDevice::framesReceived, dev.get(), [this] {
            while (dev->framesAvailable())
                frames << dev->readFrame();
        });
        dev->connectDevice();
    }
    ~Peer() {
        if (dev->state() == QCanBusDevice::ConnectedState)
            dev->disconnectDevice();
    }
    std::unique_ptr<QCanBusDevice> dev;
    QVector<QCanBusFrame> frames;
};
