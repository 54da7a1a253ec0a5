#pragma once
// A CAN bus reached through Qt's CAN bus layer: Linux SocketCAN through the
// "kq-qt-socketcan" plugin, or Qt's "virtualcan" plugin for a simulated bus.
// Frames are written one at a time; every received frame goes to the engine.
// The virtual bus is joined only when a host (corvid-vbus) serves it: the
// plugin would otherwise make this process the host.

#include "connectors/AbstractConnector.h"
#include "engine/CorvidEngine.h"
#include "engine/corvid_engine.h"

#include <QCanBusDevice>
#include <QCanBusFrame>
#include <QList>
#include <QString>
#include <QTcpSocket>

class QSocketCAN_connector : public AbstractConnector {
    Q_OBJECT
public:
    // The engine cuts and joins the link's frames; it must outlive the
    // connector. With guiMode the operator picks the device among the
    // candidates when the configured one is not listed.
    QSocketCAN_connector(CorvidEngine &engine, const QString &pluginSetting, const QString &deviceName,
                         QObject *parent = nullptr, bool guiMode = false);
    ~QSocketCAN_connector() override;

    // Plugin loaded for a plugin setting, and the plugin name its devices are
    // listed under.
    static QString pluginFor(const QString &pluginSetting);
    static QString searchNameFor(const QString &pluginSetting);
    // "No CAN devices available!" naming the device and the plugin looked in.
    static QString noCanDevicesText(const QString &device, const QString &plugin);

    QString deviceName() const { return m_deviceName; }
    QCanBusDevice *device() const { return m_device; }
    int queuedFrames() const { return m_txQueue.size(); }
    // Frames that may wait for the device; a message that does not fit is
    // refused whole. As much as the engine's budget, at 16 bytes a frame.
    uint32_t maxQueuedFrames = CORVID_BUDGET / 16;
    // One frame as the device delivered it. Error frames are reported, never
    // passed on; others go to the engine.
    void handleFrame(const QCanBusFrame &frame);
    bool isWriting() const { return m_writing; }

    // SocketCANPortName.
    bool applySetting(const QString &name, const QString &value) override;
    // Still finding out whether the virtual bus has a host to join.
    bool awaitingDevice() const override { return m_hostProbe != nullptr; }

    // Where Qt's virtual CAN plugin serves its bus (fixed in the plugin).
    static constexpr quint16 kVirtualBusPort = 35468;

public slots:
    void HW_init() override;
    void HW_close() override;
    int64_t sendCorvidMessage(corvid_message *message) override;
    void setPortName(QString name) override;
    int32_t sendCANFrame(can_message *frame) override;

private slots:
    void onErrorOccurred(QCanBusDevice::CanBusError error);
    void onFramesReceived();
    void onFramesWritten(qint64 framesCount);
    void onStateChanged(QCanBusDevice::CanBusDeviceState deviceState);

private:
    bool discoverDevice(const QString &searchName);
    bool setupDevice(const QString &plugin);
    QCanBusDevice *createDevice(const QString &plugin, QString *errorText) const;
    int32_t writeQueued(const QCanBusFrame &frame, bool enqueue);
    void notInitialized(const QString &plugin);
    void probeVirtualBusHost();
    void endHostProbe(bool found);
    bool dropHostProbe();

    CorvidEngine &m_engine;
    can_message m_rxFrame;
    QList<QCanBusFrame> m_txQueue;
    bool m_writing = false;
    QString m_pluginSetting;
    QString m_deviceName;
    QCanBusDevice *m_device = nullptr;
    QTcpSocket *m_hostProbe = nullptr;  // a connection attempt to the bus's host
    bool m_hostSeen = false;            // the probe just found a host: join it
};
