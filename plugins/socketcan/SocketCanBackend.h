#pragma once
// A Linux SocketCAN network interface (can0, vcan0, slcan0, ...) as a Qt CAN
// bus device: one raw CAN socket bound to the interface, read and written
// without blocking through the event loop. The bit rate is the interface's
// own setting (ip link); this device never changes it.

#include <QCanBusDevice>
#include <QCanBusDeviceInfo>
#include <QList>
#include <QString>
#include <QTimer>

#include <functional>

#include <linux/can.h>

class QSocketNotifier;

class SocketCanBackend : public QCanBusDevice {
    Q_OBJECT
    Q_DISABLE_COPY(SocketCanBackend)
public:
    explicit SocketCanBackend(const QString &interfaceName, QObject *parent = nullptr);
    ~SocketCanBackend() override;

    // The machine's CAN network interfaces: entries of the sysfs network
    // folder whose link type is CAN. The folder is /sys/class/net unless the
    // environment variable CORVID_SYSFS_NET names another.
    static QString sysfsNetRoot();
    static QList<QCanBusDeviceInfo> interfaces(const QString &sysfsRoot = sysfsNetRoot());

    // What went wrong at one step of opening or using the socket, for the
    // operator: `error` is the errno of the failed call.
    enum class Step { FindInterface, CreateSocket, BindSocket, Configure, Read, Write };
    static QString errorText(Step step, int error, const QString &interfaceName);

    // Stands in for the kernel's CAN socket where there is none: returns a
    // non-blocking datagram socket that carries `struct can_frame` records,
    // or -1 with errno set. Empty (the default): the real raw CAN socket.
    using SocketOpener = std::function<int(const QString &interfaceName)>;
    static void setSocketOpener(SocketOpener opener);

    bool writeFrame(const QCanBusFrame &frame) override;
    QString interpretErrorFrame(const QCanBusFrame &errorFrame) override;
    void setConfigurationParameter(int key, const QVariant &value) override;

private:
    bool open() override;
    void close() override;

    static SocketOpener &socketOpener();
    bool openKernelSocket();
    void releaseSocket();
    bool applyConfiguration(int key, const QVariant &value);
    void fail(Step step, int error, CanBusError kind);
    void readFrames();
    void writeFrames();

    QString m_interfaceName;
    int m_socket = -1;
    QSocketNotifier *m_readNotifier = nullptr;
    QSocketNotifier *m_writeNotifier = nullptr;
    // The kernel's transmit queue gives no sign when it has room again.
    QTimer m_retryTimer;
    can_frame m_held{};  // taken from the queue, not yet accepted by the kernel
    bool m_holding = false;
};
