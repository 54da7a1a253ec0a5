#include "plugins/socketcan/SocketCanBackend.h"

#include "plugins/socketcan/SocketCanFrame.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QSocketNotifier>
#include <QVector>

#include <linux/can/error.h>
#include <linux/can/raw.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

Q_LOGGING_CATEGORY(lcSocketCan, "corvid.socketcan", QtWarningMsg)

namespace {

constexpr int kMaxFramesPerRead = 256;  // others wait for the next turn of the event loop
constexpr int kRetryMs = 2;
constexpr quint32 kCanLinkType = 280;   // ARPHRD_CAN

// Per-frame protocol errors can flood a noisy bus; state changes of the
// controller and the bus are what the operator must hear about.
const QCanBusFrame::FrameErrors kDefaultErrorFilter =
    QCanBusFrame::FrameErrors(QCanBusFrame::AnyError) &
    ~QCanBusFrame::FrameErrors(QCanBusFrame::LostArbitrationError | QCanBusFrame::ProtocolViolationError |
                               QCanBusFrame::BusError);

QString readSysfsValue(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromLatin1(f.read(64)).trimmed();
}

int errorMask(const QVariant &value)
{
    if (value.userType() == qMetaTypeId<QCanBusFrame::FrameErrors>())
        return int(value.value<QCanBusFrame::FrameErrors>());
    return value.toInt();
}

}  // namespace

SocketCanBackend::SocketCanBackend(const QString &interfaceName, QObject *parent)
    : QCanBusDevice(parent), m_interfaceName(interfaceName)
{
    m_retryTimer.setSingleShot(true);
    m_retryTimer.setInterval(kRetryMs);
    connect(&m_retryTimer, &QTimer::timeout, this, &SocketCanBackend::writeFrames);
    QCanBusDevice::setConfigurationParameter(ErrorFilterKey, QVariant::fromValue(kDefaultErrorFilter));
    QCanBusDevice::setConfigurationParameter(LoopbackKey, true);
    QCanBusDevice::setConfigurationParameter(ReceiveOwnKey, false);
}

SocketCanBackend::~SocketCanBackend()
{
    close();
}

SocketCanBackend::SocketOpener &SocketCanBackend::socketOpener()
{
    static SocketOpener opener;
    return opener;
}

void SocketCanBackend::setSocketOpener(SocketOpener opener)
{
    socketOpener() = std::move(opener);
}

QString SocketCanBackend::sysfsNetRoot()
{
    const QString root = qEnvironmentVariable("CORVID_SYSFS_NET");
    return root.isEmpty() ? QStringLiteral("/sys/class/net") : root;
}

QList<QCanBusDeviceInfo> SocketCanBackend::interfaces(const QString &sysfsRoot)
{
    QList<QCanBusDeviceInfo> found;
    const QDir root(sysfsRoot);
    const QStringList names = root.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString &name : names) {
        const QString dir = root.filePath(name);
        bool ok = false;
        if (readSysfsValue(dir + QStringLiteral("/type")).toUInt(&ok) != kCanLinkType || !ok)
            continue;
        // Hardware interfaces have a device behind them; vcan and vxcan do not.
        const bool isVirtual = !QFileInfo::exists(dir + QStringLiteral("/device"));
        const bool isFd = readSysfsValue(dir + QStringLiteral("/mtu")).toInt() == int(CANFD_MTU);
        const QString driver = QFileInfo(dir + QStringLiteral("/device/driver")).symLinkTarget();
        QString description = QStringLiteral("SocketCAN interface");
        if (isVirtual)
            description += QStringLiteral(" (virtual)");
        else if (!driver.isEmpty())
            description += QStringLiteral(" (%1)").arg(QFileInfo(driver).fileName());
        found << createDeviceInfo(name, QString(), description, 0, isVirtual, isFd);
    }
    return found;
}

QString SocketCanBackend::errorText(Step step, int error, const QString &interfaceName)
{
    const QString reason = QString::fromLocal8Bit(strerror(error));
    if (error == EACCES || error == EPERM)
        return QStringLiteral("Permission denied using CAN interface \"%1\": %2").arg(interfaceName, reason);
    switch (step) {
    case Step::FindInterface:
        if (error == ENODEV || error == ENXIO)
            return QStringLiteral("CAN interface \"%1\" does not exist").arg(interfaceName);
        break;
    case Step::CreateSocket:
        if (error == EAFNOSUPPORT || error == EPROTONOSUPPORT)
            return QStringLiteral("This kernel has no SocketCAN support (%1); load the can and can_raw modules")
                .arg(reason);
        break;
    case Step::BindSocket:
        if (error == ENODEV)
            return QStringLiteral("\"%1\" is not a CAN interface").arg(interfaceName);
        break;
    case Step::Read:
    case Step::Write:
        if (error == ENETDOWN)
            return QStringLiteral("CAN interface \"%1\" is down").arg(interfaceName);
        break;
    case Step::Configure:
        break;
    }
    static const char *const what[] = {"find", "open a socket on", "bind to", "configure", "read from", "write to"};
    return QStringLiteral("Cannot %1 CAN interface \"%2\": %3")
        .arg(QLatin1String(what[int(step)]), interfaceName, reason);
}

void SocketCanBackend::fail(Step step, int error, CanBusError kind)
{
    qCDebug(lcSocketCan) << m_interfaceName << "step" << int(step) << "errno" << error;
    setError(errorText(step, error, m_interfaceName), kind);
}

bool SocketCanBackend::openKernelSocket()
{
    const QByteArray name = m_interfaceName.toLocal8Bit();
    const unsigned index = name.isEmpty() || name.size() >= IFNAMSIZ ? 0 : if_nametoindex(name.constData());
    if (index == 0) {
        fail(Step::FindInterface, name.isEmpty() || name.size() >= IFNAMSIZ ? ENODEV : errno, ConnectionError);
        return false;
    }
    m_socket = ::socket(PF_CAN, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, CAN_RAW);
    if (m_socket < 0) {
        fail(Step::CreateSocket, errno, ConnectionError);
        return false;
    }
    for (int key : {int(ErrorFilterKey), int(LoopbackKey), int(ReceiveOwnKey)}) {
        if (!applyConfiguration(key, configurationParameter(key)))
            return false;
    }
    sockaddr_can address{};
    address.can_family = AF_CAN;
    address.can_ifindex = int(index);
    if (::bind(m_socket, reinterpret_cast<sockaddr *>(&address), sizeof(address)) < 0) {
        fail(Step::BindSocket, errno, ConnectionError);
        return false;
    }
    return true;
}

bool SocketCanBackend::open()
{
    bool opened = false;
    if (socketOpener()) {
        m_socket = socketOpener()(m_interfaceName);
        opened = m_socket >= 0;
        if (!opened)
            fail(Step::CreateSocket, errno, ConnectionError);
    } else {
        opened = openKernelSocket();
    }
    if (!opened) {
        releaseSocket();
        return false;
    }
    m_readNotifier = new QSocketNotifier(m_socket, QSocketNotifier::Read, this);
    connect(m_readNotifier, &QSocketNotifier::activated, this, &SocketCanBackend::readFrames);
    m_writeNotifier = new QSocketNotifier(m_socket, QSocketNotifier::Write, this);
    m_writeNotifier->setEnabled(false);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, &SocketCanBackend::writeFrames);
    setState(ConnectedState);
    return true;
}

void SocketCanBackend::close()
{
    releaseSocket();
    if (state() != UnconnectedState)
        setState(UnconnectedState);
}

void SocketCanBackend::releaseSocket()
{
    m_retryTimer.stop();
    m_holding = false;
    while (hasOutgoingFrames())
        dequeueOutgoingFrame();
    // Close may run inside a notifier's own signal: the notifiers go later.
    for (QSocketNotifier **n : {&m_readNotifier, &m_writeNotifier}) {
        if (*n) {
            (*n)->setEnabled(false);
            (*n)->deleteLater();
            *n = nullptr;
        }
    }
    if (m_socket >= 0) {
        ::close(m_socket);
        m_socket = -1;
    }
}

bool SocketCanBackend::applyConfiguration(int key, const QVariant &value)
{
    if (m_socket < 0)
        return true;  // applied when the socket opens
    int option = 0;
    int flag = 0;
    can_err_mask_t mask = 0;
    const void *data = &flag;
    socklen_t size = sizeof(flag);
    switch (key) {
    case ErrorFilterKey:
        option = CAN_RAW_ERR_FILTER;
        mask = can_err_mask_t(errorMask(value)) & CAN_ERR_MASK;
        data = &mask;
        size = sizeof(mask);
        break;
    case LoopbackKey:
        option = CAN_RAW_LOOPBACK;
        flag = value.toBool() ? 1 : 0;
        break;
    case ReceiveOwnKey:
        option = CAN_RAW_RECV_OWN_MSGS;
        flag = value.toBool() ? 1 : 0;
        break;
    default:
        return true;
    }
    if (::setsockopt(m_socket, SOL_CAN_RAW, option, data, size) < 0) {
        fail(Step::Configure, errno, ConfigurationError);
        return false;
    }
    return true;
}

void SocketCanBackend::setConfigurationParameter(int key, const QVariant &value)
{
    switch (key) {
    case ErrorFilterKey:
    case LoopbackKey:
    case ReceiveOwnKey:
        if (applyConfiguration(key, value))
            QCanBusDevice::setConfigurationParameter(key, value);
        return;
    case BitRateKey:
        setError(QStringLiteral("The bit rate of \"%1\" is the interface's own setting: "
                                "ip link set %1 type can bitrate N")
                     .arg(m_interfaceName),
                 ConfigurationError);
        return;
    case CanFdKey:
        if (!value.toBool()) {
            QCanBusDevice::setConfigurationParameter(key, value);
            return;
        }
        setError(QStringLiteral("CAN FD frames are not supported"), ConfigurationError);
        return;
    default:
        setError(QStringLiteral("Unsupported configuration key %1").arg(key), ConfigurationError);
        return;
    }
}

bool SocketCanBackend::writeFrame(const QCanBusFrame &frame)
{
    if (state() != ConnectedState) {
        setError(QStringLiteral("Cannot write a frame: CAN interface \"%1\" is not connected").arg(m_interfaceName),
                 OperationError);
        return false;
    }
    can_frame check;
    QString why;
    if (!socketcan::toKernelFrame(frame, &check, &why)) {
        setError(QStringLiteral("Cannot write the frame: ") + why, WriteError);
        return false;
    }
    enqueueOutgoingFrame(frame);
    if (!m_retryTimer.isActive())
        m_writeNotifier->setEnabled(true);
    return true;
}

void SocketCanBackend::writeFrames()
{
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(false);
    qint64 written = 0;
    while (m_socket >= 0 && (m_holding || hasOutgoingFrames())) {
        if (!m_holding) {
            m_holding = socketcan::toKernelFrame(dequeueOutgoingFrame(), &m_held);  // checked in writeFrame
            continue;
        }
        const ssize_t n = ::write(m_socket, &m_held, sizeof(m_held));
        if (n == ssize_t(sizeof(m_held))) {
            m_holding = false;
            ++written;
            continue;
        }
        const int error = n < 0 ? errno : EIO;
        if (error == EINTR)
            continue;
        if (error == EAGAIN || error == EWOULDBLOCK) {
            m_writeNotifier->setEnabled(true);
            break;
        }
        if (error == ENOBUFS) {  // the interface's queue is full
            m_retryTimer.start();
            break;
        }
        m_holding = false;  // the kernel will not take this frame
        if (written)
            emit framesWritten(written);
        fail(Step::Write, error, WriteError);
        return;
    }
    if (written)
        emit framesWritten(written);
}

void SocketCanBackend::readFrames()
{
    QVector<QCanBusFrame> frames;
    // Frames read before a problem still reach the reader, in order.
    const auto deliver = [this, &frames] {
        if (!frames.isEmpty())
            enqueueReceivedFrames(frames);
        frames.clear();
    };
    for (int i = 0; i < kMaxFramesPerRead && m_socket >= 0; ++i) {
        can_frame raw;
        const ssize_t n = ::read(m_socket, &raw, sizeof(raw));
        if (n < 0) {
            const int error = errno;
            if (error == EINTR)
                continue;
            if (error == EAGAIN || error == EWOULDBLOCK)
                break;
            deliver();
            fail(Step::Read, error, ReadError);
            return;
        }
        if (n == 0) {  // a CAN socket never ends; anything else that does is gone
            deliver();
            fail(Step::Read, EPIPE, ReadError);
            return;
        }
        if (n != ssize_t(sizeof(raw)))
            continue;  // not a classic CAN frame
        QCanBusFrame frame = socketcan::fromKernelFrame(raw);
        timeval stamp{};
        if (::ioctl(m_socket, SIOCGSTAMP, &stamp) == 0)
            frame.setTimeStamp(QCanBusFrame::TimeStamp(stamp.tv_sec, stamp.tv_usec));
        if (frame.frameType() == QCanBusFrame::ErrorFrame) {
            // Bus trouble is the device's state, not a message on the bus.
            deliver();
            setError(interpretErrorFrame(frame), ReadError);
            continue;
        }
        frames.append(frame);
    }
    deliver();
}

QString SocketCanBackend::interpretErrorFrame(const QCanBusFrame &errorFrame)
{
    if (errorFrame.frameType() != QCanBusFrame::ErrorFrame)
        return QString();
    return socketcan::describeErrorFrame(errorFrame);
}
