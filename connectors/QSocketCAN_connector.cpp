#include "connectors/QSocketCAN_connector.h"

#include "connectors/OperatorPrompt.h"

#include <QCanBus>
#include <QDebug>
#include <QHostAddress>
#include <QLoggingCategory>

#include <utility>

namespace {

Q_LOGGING_CATEGORY(lcQCanBus, "corvid.connector.qcanbus", QtWarningMsg)

bool isSocketCan(const QString &setting)
{
    return setting.contains(QLatin1String("socketcan"), Qt::CaseInsensitive);
}

constexpr uint32_t kBytesPerFrame = 16;  // every frame counts as 16 bytes

// "No host" is said once, until a host is found again; links are rebuilt
// every second meanwhile.
bool g_noHostSaid = false;

}  // namespace

QString QSocketCAN_connector::pluginFor(const QString &pluginSetting)
{
    return isSocketCan(pluginSetting) ? QStringLiteral("kq-qt-socketcan") : QStringLiteral("virtualcan");
}

QString QSocketCAN_connector::searchNameFor(const QString &pluginSetting)
{
    // Devices are listed by the plugin that will open them: another backend
    // may be missing or name its interfaces differently.
    return pluginFor(pluginSetting);
}

QSocketCAN_connector::QSocketCAN_connector(CorvidEngine &engine, const QString &pluginSetting,
                                           const QString &deviceName, QObject *parent, bool gui)
    : AbstractConnector(parent), m_engine(engine), m_pluginSetting(pluginSetting), m_deviceName(deviceName)
{
    guiMode = gui;
    interfaceName = isSocketCan(pluginSetting) ? QStringLiteral("SocketCAN") : QStringLiteral("virtualcan");
    setHWState(HW_NOTINIT);
    if (!discoverDevice(searchNameFor(m_pluginSetting))) {
        const char *text = "No socket CAN interfaces found. Connection failed.";
        if (guiMode)
            corvid_prompt().inform(QString::fromLatin1(text));
        else
            qCritical("%s", text);
    }
}

QSocketCAN_connector::~QSocketCAN_connector()
{
    if (m_device) {
        // The device must not call back into a half-destroyed connector.
        disconnect(m_device, nullptr, this, nullptr);
        if (m_device->state() == QCanBusDevice::ConnectedState)
            m_device->disconnectDevice();
        delete m_device;
        m_device = nullptr;
    }
}

QString QSocketCAN_connector::noCanDevicesText(const QString &device, const QString &plugin)
{
    return QStringLiteral("No CAN devices available! (SocketCANPortName \"%1\", plugin %2)").arg(device, plugin);
}

bool QSocketCAN_connector::discoverDevice(const QString &searchName)
{
    const QList<QCanBusDeviceInfo> devices = QCanBus::instance()->availableDevices(searchName);
    if (devices.isEmpty()) {
        qCritical("%s", qUtf8Printable(noCanDevicesText(m_deviceName, searchName)));
        return false;
    }
    QList<QCanBusDeviceInfo> candidates;
    for (const QCanBusDeviceInfo &info : devices) {
        qInfo().noquote() << QStringLiteral("Device info: ") + info.description();
        if (info.name().compare(m_deviceName, Qt::CaseInsensitive) == 0) {
            m_deviceName = info.name();
            return true;
        }
        if (info.description().contains(QLatin1String("CAN"), Qt::CaseInsensitive))
            candidates.append(info);
    }
    if (candidates.isEmpty())
        return false;
    if (!guiMode) {
        m_deviceName = candidates.last().name();
        return true;
    }
    // Even a single candidate is offered: the operator may not want it.
    QStringList choices;
    for (const QCanBusDeviceInfo &info : candidates)
        choices << QStringLiteral("%1, %2").arg(info.name(), info.description());
    const int index = corvid_prompt().chooseAdapter(choices);
    if (index < 0 || index >= candidates.size())
        return false;
    m_deviceName = candidates.at(index).name();
    return true;
}

QCanBusDevice *QSocketCAN_connector::createDevice(const QString &plugin, QString *errorText) const
{
    return QCanBus::instance()->createDevice(plugin, m_deviceName, errorText);
}

void QSocketCAN_connector::notInitialized(const QString &plugin)
{
    qCritical("Error: QSocketCAN_connector::HW_init: Socket wasn't initialized!");
    qInfo().noquote() << QStringLiteral("Plugin: ") + plugin << "Port" << m_deviceName;
    setHWState(HW_NOTINIT);
}

bool QSocketCAN_connector::setupDevice(const QString &plugin)
{
    if (m_device && m_device->state() == QCanBusDevice::UnconnectedState) {
        // A fresh device replaces one that lost its link.
        disconnect(m_device, nullptr, this, nullptr);
        delete m_device;
        m_device = nullptr;
    }
    if (!m_device) {
        QString errorText;
        m_device = createDevice(plugin, &errorText);
        if (!m_device && !errorText.isEmpty())
            qCritical().noquote() << errorText;
    }
    if (!m_device) {
        notInitialized(plugin);
        return false;
    }
    connect(m_device, &QCanBusDevice::errorOccurred, this, &QSocketCAN_connector::onErrorOccurred,
            Qt::UniqueConnection);
    connect(m_device, &QCanBusDevice::framesReceived, this, &QSocketCAN_connector::onFramesReceived,
            Qt::UniqueConnection);
    connect(m_device, &QCanBusDevice::framesWritten, this, &QSocketCAN_connector::onFramesWritten,
            Qt::UniqueConnection);
    connect(m_device, &QCanBusDevice::stateChanged, this, &QSocketCAN_connector::onStateChanged,
            Qt::UniqueConnection);
    QCanBusDevice *device = m_device;
    connect(m_device, &QObject::destroyed, this, [this, device] {
        if (m_device == device)
            m_device = nullptr;
    });
    return true;
}

void QSocketCAN_connector::HW_init()
{
    const QString plugin = pluginFor(m_pluginSetting);
    if (!discoverDevice(searchNameFor(m_pluginSetting)))
        return;
    if (!m_device || m_device->state() == QCanBusDevice::UnconnectedState) {
        if (plugin == QLatin1String("virtualcan") && !std::exchange(m_hostSeen, false)) {
            probeVirtualBusHost();
            return;
        }
        if (!setupDevice(plugin))
            return;
    }
    if (m_device->state() == QCanBusDevice::UnconnectedState) {
        m_device->connectDevice();
        if (!m_device || m_device->state() == QCanBusDevice::UnconnectedState) {
            qCritical("Error: QSocketCAN_connector::HW_init: Socket wasn't initialized!");
            setHWState(HW_NOTINIT);
            return;
        }
    }
    // A device still connecting cannot take frames yet: the link is ready
    // when its ConnectedState arrives, which brings us back here.
    if (m_device->state() != QCanBusDevice::ConnectedState || state == HW_READY)
        return;
    setHWState(HW_READY);
    qInfo().noquote() << m_pluginSetting << "connected, port:" << m_deviceName;
}

void QSocketCAN_connector::probeVirtualBusHost()
{
    if (m_hostProbe)
        return;
    // Answered from the event loop: a refused connection on this machine
    // comes at once, an accepted one a moment later.
    auto *probe = new QTcpSocket(this);
    m_hostProbe = probe;
    connect(probe, &QTcpSocket::connected, this, [this] { endHostProbe(true); }, Qt::QueuedConnection);
    connect(probe, &QTcpSocket::errorOccurred, this, [this] { endHostProbe(false); }, Qt::QueuedConnection);
    probe->connectToHost(QHostAddress::LocalHost, kVirtualBusPort);
}

bool QSocketCAN_connector::dropHostProbe()
{
    QTcpSocket *probe = std::exchange(m_hostProbe, nullptr);
    if (!probe)
        return false;
    disconnect(probe, nullptr, this, nullptr);
    probe->abort();
    probe->deleteLater();
    return true;
}

void QSocketCAN_connector::endHostProbe(bool found)
{
    if (!dropHostProbe())
        return;
    if (!found) {
        // Left not initialised: the hub's rebuild asks again.
        if (!std::exchange(g_noHostSaid, true))
            qCritical("no virtual CAN bus host; start corvid-vbus");
        return;
    }
    if (std::exchange(g_noHostSaid, false))
        qInfo("virtual CAN bus host found");
    m_hostSeen = true;
    HW_init();
}

void QSocketCAN_connector::HW_close()
{
    setHWState(HW_NOTINIT);
    qInfo("Socket CAN disconnected");
    m_writing = false;
    m_hostSeen = false;
    dropHostProbe();
    // Frames of a transfer cut short must not reach the bus after the next
    // HW_init, behind and between the frames of new messages.
    m_txQueue.clear();
    if (!m_device)
        return;
    QCanBusDevice *device = m_device;
    m_device = nullptr;
    // Signals of a closing device must not reach us again.
    disconnect(device, nullptr, this, nullptr);
    if (device->state() == QCanBusDevice::ConnectedState)
        device->disconnectDevice();
    // Deleted later: HW_close may run inside one of the device's own signals.
    device->deleteLater();
}

int64_t QSocketCAN_connector::sendCorvidMessage(corvid_message *message)
{
    // A message the engine refuses (offline, too long, address out of range)
    // must show as failed, not as sent.
    if (!message)
        return -1;
    // Frames wait here until the device reports them written; a sender
    // faster than the bus must not make that wait hold without end.
    const uint32_t frames = corvid_frame_count(message->msg_id, message->length);
    if (uint32_t(m_txQueue.size()) + frames > maxQueuedFrames) {
        qCritical().noquote() << QStringLiteral("Transmit queue of CAN device %1 is full (%2 frames waiting): "
                                                "message 0x%3 from 0x%4 to 0x%5 not sent")
                                     .arg(m_deviceName)
                                     .arg(m_txQueue.size())
                                     .arg(message->msg_id, 0, 16)
                                     .arg(message->address_from, 0, 16)
                                     .arg(message->address_to, 0, 16);
        return -1;
    }
    if (!m_engine.sendMessage(message))
        return -1;
    return message->length;
}

void QSocketCAN_connector::setPortName(QString name)
{
    m_deviceName = name;
}

bool QSocketCAN_connector::applySetting(const QString &name, const QString &value)
{
    if (name.compare(QLatin1String("SocketCANPortName"), Qt::CaseInsensitive) != 0)
        return false;
    setPortName(value);
    return true;
}

int32_t QSocketCAN_connector::sendCANFrame(can_message *frame)
{
    if (!m_device || !frame)
        return -1;
    const int length = frame->can_dlc > 8 ? 8 : frame->can_dlc;
    QCanBusFrame out(frame->can_identifier <= 0x1FFFFFFFu ? frame->can_identifier : 0u,
                     QByteArray(reinterpret_cast<const char *>(frame->data), length));
    out.setFrameType(frame->can_rtr ? QCanBusFrame::RemoteRequestFrame : QCanBusFrame::DataFrame);
    out.setExtendedFrameFormat(frame->can_extbit != 0);
    m_txBytesCount += kBytesPerFrame;
    qCDebug(lcQCanBus).noquote() << "tx" << out.toString();
    return writeQueued(out, true);
}

int32_t QSocketCAN_connector::writeQueued(const QCanBusFrame &frame, bool enqueue)
{
    if (state != HW_READY || !m_device)
        return -1;
    if (enqueue)
        m_txQueue.append(frame);
    const int32_t length = frame.payload().size();
    if (m_writing)
        return length;
    m_writing = true;
    const bool written = m_device->writeFrame(frame);
    if (state != HW_READY || !m_device)
        return -1;
    if (!written && !m_device->waitForFramesWritten(1)) {
        qCritical().noquote() << QStringLiteral("Failed to write the data to port %1, error: %2")
                                     .arg(m_deviceName, m_device->errorString());
        // No framesWritten will come for a refused frame: waiting for one would
        // wedge the link for good. What was queued is lost either way.
        m_writing = false;
        m_txQueue.clear();
        return -1;
    }
    return length;
}

void QSocketCAN_connector::onFramesWritten(qint64 framesCount)
{
    if (m_txQueue.isEmpty())
        return;
    const int payloadLength = m_txQueue.first().payload().size();
    if (framesCount < payloadLength / 8) {
        qCritical().noquote() << QStringLiteral("Error at QSocketCAN_connector::processFramesWritten: framesCount = ")
                              << framesCount << "QCanBusFrame payload len " << payloadLength;
    }
    m_writing = false;
    m_txQueue.removeFirst();
    if (!m_txQueue.isEmpty())
        writeQueued(m_txQueue.first(), false);
}

void QSocketCAN_connector::onFramesReceived()
{
    // The device may go away while the engine handles a frame.
    while (m_device && m_device->framesAvailable() > 0)
        handleFrame(m_device->readFrame());
}

void QSocketCAN_connector::handleFrame(const QCanBusFrame &frame)
{
    qCDebug(lcQCanBus).noquote() << "rx" << frame.toString();
    // A bus fault report is not bus data: fed to the engine it would enter
    // reassembly as a frame from address 0.
    if (frame.frameType() == QCanBusFrame::ErrorFrame) {
        const QString text = m_device ? m_device->interpretErrorFrame(frame) : QString();
        qCritical().noquote() << (text.isEmpty()
                                      ? QStringLiteral("CAN error frame, error class 0x%1").arg(uint(frame.error()), 0, 16)
                                      : text);
        return;
    }
    rxCurrentBytes = kBytesPerFrame;
    m_rxBytesCount += kBytesPerFrame;
    ++m_rxCANCount;
    const bool extended = frame.hasExtendedFrameFormat();
    m_rxFrame = can_message();
    m_rxFrame.can_extbit = extended ? 1 : 0;
    m_rxFrame.can_identifier = frame.frameId() & (extended ? 0x1FFFFFFFu : 0x7FFu);
    m_rxFrame.can_rtr = frame.frameType() == QCanBusFrame::RemoteRequestFrame ? 1 : 0;
    const QByteArray payload = frame.payload();
    const int length = payload.size() > 8 ? 8 : payload.size();
    m_rxFrame.can_dlc = uint8_t(length);
    memcpy(m_rxFrame.data, payload.constData(), size_t(length));
    m_engine.rxCanFrame(&m_rxFrame);
    emit can_message_ready(m_rxFrame);
}

void QSocketCAN_connector::onErrorOccurred(QCanBusDevice::CanBusError error)
{
    Q_UNUSED(error)
    if (m_device)
        qCritical().noquote() << m_device->errorString();
    HW_close();
}

void QSocketCAN_connector::onStateChanged(QCanBusDevice::CanBusDeviceState deviceState)
{
    qCDebug(lcQCanBus) << "device state" << deviceState;
    if (deviceState == QCanBusDevice::UnconnectedState && state != HW_NOTINIT)
        HW_close();
    else if (deviceState == QCanBusDevice::ConnectedState && state != HW_READY)
        HW_init();
}
