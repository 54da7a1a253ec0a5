#include "connectors/USBtinConnector.h"

#include "connectors/OperatorPrompt.h"
#include "connectors/usbtin_protocol.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QSerialPortInfo>
#include <QStringList>
#include <QVarLengthArray>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcUsbtin, "corvid.usbtin", QtWarningMsg)

namespace {

// Whether any adapter link of this process has ever been ready. Until then a
// server without a window has nobody to tell that no adapter is there and
// stops; afterwards a vanished adapter is a hiccup the hub rides out.
bool g_linkWasReady = false;

bool isCharacterDevice(const QString &path)
{
    struct stat st;
    return path.startsWith(QLatin1Char('/')) && ::stat(QFile::encodeName(path).constData(), &st) == 0 &&
           S_ISCHR(st.st_mode);
}

QString translated(const char *text)
{
    return QCoreApplication::translate("QObject", text);
}

}  // namespace

USBtinConnector::USBtinConnector(CorvidEngine &engine, const QString &portName, QObject *parent)
    : USBtinConnector(engine, portName, 115200, parent)
{
}

USBtinConnector::USBtinConnector(CorvidEngine &engine, const QString &portName, int32_t baudRate, QObject *parent)
    : AbstractConnector(parent), m_engine(engine), m_port(this), m_portName(portName), m_baudRate(baudRate)
{
    interfaceName = QStringLiteral("UsbTin");
    connect(&m_port, &QSerialPort::readyRead, this, &USBtinConnector::handleReadyRead);
    connect(&m_port, &QSerialPort::errorOccurred, this, &USBtinConnector::handleError);
    connect(&m_port, &QSerialPort::bytesWritten, this, &USBtinConnector::handleBytesWritten);
    connect(&m_noAckTimer, &QTimer::timeout, this, &USBtinConnector::handleTimeoutNoAck);
    connect(&m_checkTimer, &QTimer::timeout, this, &USBtinConnector::handleTimeoutCheckHw);
    connect(&m_ackTimer, &QTimer::timeout, this, &USBtinConnector::handleTimeoutTxAck);
    m_clock.start();
    m_noAckTimer.setSingleShot(true);
    m_checkTimer.setSingleShot(true);
    m_ackTimer.setSingleShot(true);
    setTimings(Timings());
    setHWState(HW_NOTINIT);
    enableAutoReconnect();
}

USBtinConnector::~USBtinConnector()
{
    HW_close();
}

void USBtinConnector::setTimings(const Timings &timings)
{
    m_timings = timings;
    m_checkTimer.setInterval(timings.checkMs);
    m_noAckTimer.setInterval(timings.noAckMs);
}

QString USBtinConnector::noSerialDevicesText(const QString &port)
{
    return QStringLiteral("No serial devices available! (USBtinPortName \"%1\")").arg(port);
}

QString USBtinConnector::findPort(const QString &configured, bool silent)
{
    // A path the listing cannot show is taken as it is.
    if (isCharacterDevice(configured))
        return configured;
    const QString wanted = configured.mid(configured.lastIndexOf(QLatin1Char('/')) + 1);
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    if (ports.isEmpty()) {
        qCritical("%s", qUtf8Printable(noSerialDevicesText(configured)));
        return QString();
    }
    QList<QSerialPortInfo> candidates;
    for (const QSerialPortInfo &info : ports) {
        if (info.portName().compare(wanted, Qt::CaseInsensitive) == 0)
            return info.portName();
        const QString description = info.description();
        if (description.contains(QLatin1String("STMicroelectronics Virtual COM Port"), Qt::CaseInsensitive) ||
            description.contains(QLatin1String("SNIFRX"), Qt::CaseInsensitive)) {
            qInfo().noquote() << QStringLiteral("Device description: ") + description + QStringLiteral(", Port: ") +
                                     info.portName();
            candidates.append(info);
        }
    }
    if (candidates.isEmpty()) {
        qCritical("No SNIFRX devices available!");
        return QString();
    }
    if (candidates.size() == 1 || silent)
        return candidates.first().portName();
    QStringList entries;
    for (const QSerialPortInfo &info : candidates)
        entries << QStringLiteral("%1, %2").arg(info.portName(), info.description());
    const int index = corvid_prompt().chooseAdapter(entries);
    return index >= 0 && index < candidates.size() ? candidates.at(index).portName() : QString();
}

void USBtinConnector::HW_init()
{
    const QString found = findPort(m_portName, true);
    if (!found.isEmpty()) {
        m_portName = found;
    } else if (!guiMode) {
        if (!g_linkWasReady) {
            fatalStop();
            return;
        }
        // Otherwise the open below fails with its diagnostic and the error
        // state, and the hub rebuilds the link until the adapter is back.
    } else if (!m_ignoreNoAdapter && m_noAdapterNotice == 0) {
        QPointer<USBtinConnector> self(this);
        m_noAdapterNotice = corvid_prompt().showNoAdapter(translated("No CAN adapters found. Connection failed."), [self] {
            if (self)
                self->m_ignoreNoAdapter = true;
        });
    }
    clearQueue();
    // Ready once the adapter has answered the version query, not before.
    if (openPort()) {
        if (m_noAdapterNotice) {
            corvid_prompt().closeNotice(m_noAdapterNotice);
            m_noAdapterNotice = 0;
        }
    }
}

bool USBtinConnector::openPort()
{
    qInfo("reconnect");
    if (m_port.isOpen())
        m_port.close();
    m_closePending = false;
    m_port.setPortName(m_portName);
    m_port.setBaudRate(m_baudRate, QSerialPort::AllDirections);
    // The failure arrives through errorOccurred with its reason.
    if (!m_port.open(QIODevice::ReadWrite))
        return false;
    m_awaitingVersion = true;
    for (const QByteArray *command :
         {&usbtin::kHardwareVersion, &usbtin::kFirmwareVersion, &usbtin::kBitRate1M, &usbtin::kOpenChannel})
        enqueue(*command, false);
    m_checkTimer.start();
    return true;
}

bool USBtinConnector::applySetting(const QString &name, const QString &value)
{
    if (name.compare(QLatin1String("USBtinPortName"), Qt::CaseInsensitive) != 0)
        return false;
    setPortName(value);
    return true;
}

void USBtinConnector::HW_close()
{
    m_ignoreNoAdapter = false;
    m_awaitingVersion = false;
    qInfo("USBtinConnector: HW_close");
    m_checkTimer.stop();
    m_noAckTimer.stop();
    if (m_port.isOpen()) {
        // Closing the channel is best effort: the port closes right after.
        if (!m_writing) {
            m_port.write(usbtin::kCloseChannel);
            m_port.flush();
        }
        m_port.close();
    }
    clearQueue();
    setHWState(HW_NOTINIT);
}

void USBtinConnector::clearQueue()
{
    m_queue.clear();
    m_queueBytes = 0;
    m_writing = false;
    m_awaitingAck = false;
    m_pendingAcks = 0;
    m_headWritten = 0;
    m_ackTimer.stop();
}

int64_t USBtinConnector::sendCorvidMessage(corvid_message *message)
{
    if (!message || !m_port.isOpen())
        return -1;
    const bool extended = message->address_from > 31 || message->address_to > 31;
    const int64_t needed = usbtin::messageLineBytes(message->length, extended);
    if (m_queueBytes + needed > CORVID_BUDGET) {
        qCritical().noquote() << QStringLiteral("Transmit queue of port %1 is full (%2 bytes waiting): message %3 "
                                                "from %4 to %5 not sent")
                                     .arg(m_portName)
                                     .arg(m_queueBytes)
                                     .arg(message->msg_id)
                                     .arg(message->address_from)
                                     .arg(message->address_to);
        return -1;
    }
    if (!m_engine.sendMessage(message))
        return -1;
    return message->length;
}

int32_t USBtinConnector::sendCANFrame(can_message *frame)
{
    if (!frame || !m_port.isOpen())
        return -1;
    const QByteArray line = usbtin::frameLine(frame);
    enqueue(line, true);
    return int32_t(line.size());
}

void USBtinConnector::enqueue(const QByteArray &bytes, bool frame)
{
    m_queue.push_back({bytes, frame});
    m_queueBytes += bytes.size();
    if (m_queue.size() == 1)
        writeHead();
}

void USBtinConnector::writeHead()
{
    if (m_writing || m_awaitingAck || m_queue.empty() || !m_port.isOpen())
        return;
    // Copied: the head may leave the queue while it is being written.
    const Line head = m_queue.front();
    m_writing = true;
    m_headWritten = 0;
    if (head.frame) {
        m_awaitingAck = true;
        m_pendingAcks = 1;
        // One timer for all frames, re-armed only when it runs out: starting
        // and stopping a timer per frame would cost more than the frame.
        m_ackDeadline = m_clock.elapsed() + m_timings.ackTimeoutMs;
        if (!m_ackTimer.isActive())
            m_ackTimer.start(m_timings.ackTimeoutMs);
    }
    qint64 direct = 0;
    if (head.frame && m_port.bytesToWrite() == 0) {
        // A frame waits for its acknowledgement, not for the port's
        // bytesWritten: written here, it spares the event loop a second pass
        // for every frame. What the device does not take at once, or cannot
        // take, goes through the port, which reports it.
        direct = writeToDevice(head.bytes);
        m_txBytesCount += uint64_t(direct);
        if (direct == head.bytes.size()) {
            m_writing = false;
            return;
        }
        m_headWritten = direct;
    }
    const QByteArray rest = direct ? head.bytes.mid(int(direct)) : head.bytes;
    const qint64 written = m_port.write(rest);
    if (written < 0) {
        // No bytesWritten follows: the line stays at the head until the next
        // HW_init or HW_close empties the queue.
        qCritical().noquote() << translated("Failed to write the data to port %1, error: %2")
                                     .arg(m_portName, m_port.errorString());
        m_awaitingAck = false;
        m_pendingAcks = 0;
        return;
    }
    m_txBytesCount += uint64_t(written);
    if (written < rest.size()) {
        qCritical().noquote() << translated("Failed to write all the data to port %1, error: %2")
                                     .arg(m_portName, m_port.errorString());
    }
    // Straight to the device rather than on the next turn of the event loop:
    // every frame waits for the one before, so each turn saved is rate. Not
    // from inside the port's bytesWritten, where a flush loses the count of
    // what it writes.
    if (!m_inBytesWritten)
        m_port.flush();
}

qint64 USBtinConnector::writeToDevice(const QByteArray &bytes)
{
    const int fd = int(m_port.handle());
    if (fd < 0)
        return 0;
    ssize_t n;
    do
        n = ::write(fd, bytes.constData(), size_t(bytes.size()));
    while (n < 0 && errno == EINTR);
    return n > 0 ? qint64(n) : 0;
}

void USBtinConnector::handleBytesWritten(qint64 bytes)
{
    if (!m_writing || m_queue.empty())
        return;
    // The port may report one line in pieces.
    m_headWritten += bytes;
    const qint64 size = m_queue.front().bytes.size();
    if (m_headWritten < size)
        return;
    if (m_headWritten != size)
        qCritical("Error: USBtinReader::handleBytesWritten: length of data and written bytes isn't the same.");
    m_writing = false;
    if (!m_awaitingAck) {
        m_inBytesWritten = true;
        headDone();
        m_inBytesWritten = false;
    }
}

void USBtinConnector::headDone()
{
    m_queueBytes -= m_queue.front().bytes.size();
    m_queue.pop_front();
    writeHead();
}

void USBtinConnector::frameAnswered()
{
    m_awaitingAck = false;
    m_pendingAcks = 0;
    if (!m_writing && !m_queue.empty())
        headDone();
}

void USBtinConnector::handleTimeoutTxAck()
{
    if (!m_awaitingAck)
        return;
    const qint64 left = m_ackDeadline - m_clock.elapsed();
    if (left > 0) {
        m_ackTimer.start(int(left));
        return;
    }
    qCDebug(lcUsbtin) << "no acknowledgement for" << m_queue.front().bytes;
    frameAnswered();
}

void USBtinConnector::readPort()
{
    // Straight into the line buffer: no new array for every acknowledgement.
    const qint64 available = m_port.bytesAvailable();
    if (available <= 0)
        return;
    const int before = m_rxBuffer.size();
    m_rxBuffer.resize(before + int(available));
    const qint64 got = m_port.read(m_rxBuffer.data() + before, available);
    m_rxBuffer.resize(before + int(qMax<qint64>(got, 0)));
    m_rxBytesCount += uint64_t(qMax<qint64>(got, 0));
}

void USBtinConnector::handleReadyRead()
{
    ++m_rxCANCount;
    readPort();
    qCDebug(lcUsbtin) << "received" << m_rxBuffer;

    // Acknowledgements first: the next frame leaves before the frames that
    // came with it are handed on, which may complete a message the hub then
    // logs and sends to every application.
    QVarLengthArray<usbtin::Reply, 4> replies;
    usbtin::Reply reply;
    while (usbtin::takeReply(m_rxBuffer, reply)) {
        if (reply.kind != usbtin::ReplyKind::Ack)
            replies.append(reply);
        else if (m_awaitingAck)  // one after a timeout is late: the next frame has its own
            frameAnswered();
    }

    QPointer<USBtinConnector> self(this);
    emit signalCANRx();
    for (int i = 0; self && i < replies.size(); ++i) {
        const usbtin::Reply &r = replies[i];
        switch (r.kind) {
        case usbtin::ReplyKind::Ack:
            break;
        case usbtin::ReplyKind::FirmwareVersion:
            m_firmware = QString::fromLatin1(r.version);
            qInfo().noquote() << QStringLiteral("Tool firmware version: ") + m_firmware + QStringLiteral(", Port: ") +
                                     m_portName;
            break;
        case usbtin::ReplyKind::HardwareVersion:
            if (r.version == "0200" || r.version == "0100") {
                m_device = r.version == "0200" ? HW_DevSRXsniffer : HW_DevBusbridge;
                ++m_versionReplies;
                m_awaitingVersion = false;
                setHWState(HW_READY);
            }
            break;
        case usbtin::ReplyKind::Frame: {
            const can_message &frame = r.frame;
            m_engine.rxCanFrame(&frame);
            qCDebug(lcUsbtin).nospace() << "INCOMING" << (frame.can_extbit ? " EXTENDED" : "")
                                        << (frame.can_rtr ? " RTR" : "") << ": ID: " << frame.can_identifier
                                        << ", DLEN: " << frame.can_dlc;
            if (self)
                emit can_message_ready(frame);
            break;
        }
        }
    }
}

void USBtinConnector::handleTimeoutCheckHw()
{
    m_checkTimer.stop();
    m_noAckTimer.start();
    // The poll goes right behind the line being written, not behind a long
    // message waiting in the queue.
    if (m_port.isOpen()) {
        const Line poll{usbtin::kHardwareVersion, false};
        m_queue.insert(m_queue.empty() ? m_queue.end() : m_queue.begin() + 1, poll);
        m_queueBytes += poll.bytes.size();
        writeHead();
    }
    m_versionReplies = 0;
    ++m_noAckCount;
}

void USBtinConnector::handleTimeoutNoAck()
{
    m_noAckTimer.stop();
    if (m_versionReplies != 0) {
        m_noAckCount = 0;
        m_checkTimer.start();
    } else if (m_noAckCount > 5) {
        m_checkTimer.stop();
        m_awaitingVersion = false;
        setHWState(HW_ERROR);
        qWarning("handleTimeoutNoAck: Reinit!");
        m_noAckCount = 0;
        HW_init();
    } else {
        m_checkTimer.start();
    }
}

void USBtinConnector::setHWState(AbstractConnector::HWState newState, uint32_t error)
{
    if (newState == state)
        return;
    state = newState;
    switch (newState) {
    case HW_NOTINIT:
        lastError = 0;
        break;
    case HW_ERROR:
        lastError = error;
        break;
    case HW_READY:
        g_linkWasReady = true;
        m_noAckTimer.stop();
        m_checkTimer.start();
        lastError = 0;
        if (m_device == HW_DevSRXsniffer)
            qInfo("High-speed CAN sniffer found");
        else
            qWarning("Low-speed CAN sniffer found, packets from bursts can be skipped");
        break;
    }
    emit stateChanges(newState);
}

void USBtinConnector::handleError(QSerialPort::SerialPortError error)
{
    // A port that lost its device reports that on every read notification
    // until it is closed: said once, and closed from the event loop rather
    // than inside the port's own notification.
    const bool deviceLost = error == QSerialPort::ResourceError || error == QSerialPort::DeviceNotFoundError ||
                            error == QSerialPort::ReadError || error == QSerialPort::WriteError;
    if (error == QSerialPort::NoError || (deviceLost && m_closePending))
        return;
    if (deviceLost && m_port.isOpen()) {
        m_closePending = true;
        QMetaObject::invokeMethod(
            this, [this] {
                if (m_closePending && m_port.isOpen()) {
                    m_port.close();
                    clearQueue();
                }
                m_closePending = false;
            },
            Qt::QueuedConnection);
    }
    const QString name = m_port.portName();
    const QString text = m_port.errorString();
    switch (error) {
    case QSerialPort::DeviceNotFoundError:
    case QSerialPort::ResourceError:
        qCritical().noquote() << translated("An resource error occurred on  %1 (%2): check USB connection?").arg(name, text);
        break;
    case QSerialPort::PermissionError:
        qCritical().noquote() << translated("An permission error occurred on  %1 (%2): ").arg(name, text);
        qInfo().noquote() << translated("Try to do something to allow access to device!");
        break;
    case QSerialPort::OpenError:
        qInfo().noquote() << translated("You are attempting to open an already opened device in this object! Port: %1, "
                                "error string: %2")
                                 .arg(name, text);
        break;
    case QSerialPort::WriteError:
    case QSerialPort::ReadError:
        qCritical().noquote() << translated("An I/O error occurred while reading the data from port %1, error: %2")
                                     .arg(name, text);
        break;
    case QSerialPort::UnsupportedOperationError:
        qCritical().noquote() << translated("The requested device operation is not supported or prohibited by the running "
                                    "operating system! Port: %1, error string: %2")
                                     .arg(name, text);
        break;
    case QSerialPort::UnknownError:
        qCritical().noquote() << translated("An unidentified error occurred! Port: %1, error string: %2").arg(name, text);
        break;
    case QSerialPort::TimeoutError:
        qCritical().noquote() << translated("A timeout error occurred! Port: %1, error string: %2").arg(name, text);
        break;
    case QSerialPort::NotOpenError:
        qCritical().noquote() << translated("Some operation is executed that can only be successfully performed if the "
                                    "device is open! Port: %1, error string: %2")
                                     .arg(name, text);
        break;
    default:
        qInfo().noquote() << translated("Some Unknown error occurred! Port: %1, error string: %2").arg(name, text);
        break;
    }
    setHWState(HW_ERROR, uint32_t(error));
}
