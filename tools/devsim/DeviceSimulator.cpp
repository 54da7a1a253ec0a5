#include "tools/devsim/DeviceSimulator.h"

#include "connectors/QSocketCAN_connector.h"
#include "engine/corvid_hardware.h"
#include "tools/devsim/LogReplay.h"

#include <QCoreApplication>
#include <QTcpSocket>
#include <cmath>
#include <cstdio>

namespace {

constexpr int kPrintedBytes = 32;  // longer data is cut in printed lines
constexpr int kStreamTickMs = 5;
// One tick never sends more than this, so a stalled loop does not turn into a burst.
constexpr uint64_t kMaxBurst = 1000;

QString hex16(uint16_t v)
{
    return QStringLiteral("0x%1").arg(v, 4, 16, QLatin1Char('0'));
}

}  // namespace

DeviceSimulator::DeviceSimulator(const DeviceSimulatorOptions &options, QObject *parent)
    : QObject(parent), m_options(options)
{
    m_rejoinTimer.setInterval(1000);
    connect(&m_rejoinTimer, &QTimer::timeout, this, [this] { m_engine.hwInit(); });
    m_streamTimer.setInterval(kStreamTickMs);
    m_streamTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_streamTimer, &QTimer::timeout, this, &DeviceSimulator::streamTick);
    m_replayTimer.setSingleShot(true);
    m_replayTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_replayTimer, &QTimer::timeout, this, &DeviceSimulator::replayPump);
}

DeviceSimulator::~DeviceSimulator()
{
    if (m_connector)
        disconnect(m_connector.get(), nullptr, this, nullptr);  // no "left the bus" on the way out
    m_engine.deinit();
}

bool DeviceSimulator::start(QString *error)
{
    if (!m_options.replayFile.isEmpty()) {
        m_replay = std::make_unique<LogReplay>(m_options.replayFile, m_options.speed, m_options.loop);
        QString why;
        if (!m_replay->open(&why)) {
            if (error)
                *error = why;
            return false;
        }
        m_replay->onMalformed = [](const QString &text) { fprintf(stderr, "corvid-devsim: %s\n", qPrintable(text)); };
    }
    m_engine.setMessageHandler([this](const corvid_message *m) { onMessage(m); });
    m_engine.setErrorHandler([this](uint16_t code) { onEngineError(code); });
    m_connector = std::make_unique<QSocketCAN_connector>(m_engine, m_options.plugin, m_options.device, nullptr, false);
    connect(m_connector.get(), &AbstractConnector::stateChanges, this, &DeviceSimulator::onStateChanged);
    m_engine.setHardware(m_connector.get());  // initialises the link
    if (!m_joined)
        m_rejoinTimer.start();
    return true;
}

void DeviceSimulator::onStateChanged(AbstractConnector::HWState state)
{
    const bool joined = state == AbstractConnector::HW_READY;
    if (joined == m_joined)
        return;
    m_joined = joined;
    if (joined) {
        m_rejoinTimer.stop();
        print(QStringLiteral("corvid-devsim: joined the bus on %1 %2 as device %3")
                  .arg(m_options.plugin, m_options.device, hex16(m_options.address)));
        if (m_options.rate > 0 && !m_streamTimer.isActive()) {
            m_streamClock.start();
            m_streamTimer.start();
        }
        if (m_replay && !m_replayDone) {
            // The next frames go out as the bus takes the ones before.
            if (QCanBusDevice *device = m_connector->device())
                connect(device, &QCanBusDevice::framesWritten, this, &DeviceSimulator::replayResume,
                        Qt::UniqueConnection);
            // Resumed where it stopped, without making up for the time off the bus.
            if (!m_replayClock.isValid())
                m_replayClock.start();
            m_replayBaseMs = double(m_replayClock.elapsed()) - (m_haveItem ? m_itemDueMs : 0);
            m_replayTimer.start(0);
        }
    } else {
        print(QStringLiteral("corvid-devsim: left the bus, trying again every second"));
        finishIfSent();
        // Rejoining later must not make up for the time off the bus.
        m_streamTimer.stop();
        m_replayTimer.stop();
        m_rejoinTimer.start();
    }
}

void DeviceSimulator::onMessage(const corvid_message *message)
{
    if (message->address_to != m_options.address)
        return;
    ++m_received;
    const QByteArray data(reinterpret_cast<const char *>(message->data), message->length);
    if (!m_options.quiet) {
        QString line = QStringLiteral("rx %1 from %2 to %3, %4 bytes")
                           .arg(hex16(message->msg_id), hex16(message->address_from), hex16(message->address_to))
                           .arg(message->length);
        if (!data.isEmpty()) {
            line += QStringLiteral(": ") + QString::fromLatin1(data.left(kPrintedBytes).toHex());
            if (data.size() > kPrintedBytes)
                line += QStringLiteral("...");
        }
        print(line);
    }
    if (!m_options.echo)
        return;
    m_pendingEchoes.append({message->msg_id, message->address_from, data});
    if (m_pendingEchoes.size() == 1)
        QMetaObject::invokeMethod(this, &DeviceSimulator::sendEchoes, Qt::QueuedConnection);
}

void DeviceSimulator::sendEchoes()
{
    const QList<Pending> pending = std::move(m_pendingEchoes);
    m_pendingEchoes.clear();
    for (const Pending &p : pending)
        m_echoed += send(p.msgId, p.to, p.data) ? 1 : 0;
}

bool DeviceSimulator::send(uint16_t msgId, uint16_t to, const QByteArray &data)
{
    return sendAs(m_options.address, msgId, to, data);
}

bool DeviceSimulator::sendAs(uint16_t from, uint16_t msgId, uint16_t to, const QByteArray &data)
{
    corvid_message m = corvid_message_over(msgId, from, to, data);
    return m_connector && m_joined && m_connector->sendCorvidMessage(&m) == m.length && m_engine.isOnline();
}

void DeviceSimulator::streamTick()
{
    const double elapsed = double(m_streamClock.nsecsElapsed()) / 1e9;
    uint64_t due = uint64_t(std::floor(elapsed * m_options.rate)) + 1;
    if (m_options.count && due > m_options.count)
        due = m_options.count;
    const uint64_t done = m_streamed + m_streamFailed;
    uint64_t n = due > done ? due - done : 0;
    if (n > kMaxBurst)
        n = kMaxBurst;
    QByteArray data(m_options.length, '\0');
    for (int i = 0; i < data.size(); ++i)
        data[i] = char(i * 7 + 1);
    for (uint64_t i = 0; i < n; ++i) {
        // Sequence number first, so a receiver can tell losses and doubles.
        const uint64_t seq = m_streamed + m_streamFailed;
        for (int b = 0; b < 8 && b < data.size(); ++b)
            data[b] = char(seq >> (8 * b));
        if (send(m_options.msgId, m_options.to, data))
            ++m_streamed;
        else
            ++m_streamFailed;
    }
    if (m_options.count && m_streamed + m_streamFailed >= m_options.count) {
        m_streamTimer.stop();
        print(QStringLiteral("corvid-devsim: stream done, %1 sent, %2 failed").arg(m_streamed).arg(m_streamFailed));
        if (m_options.exitWhenDone)
            finishWhenSent();
    }
}

void DeviceSimulator::replayPump()
{
    if (!m_joined || m_replayDone)
        return;
    // One message a turn of the event loop, and only once the bus has taken
    // the frames of the one before: as fast as the bus takes them, no faster.
    if (m_connector->queuedFrames() > 0)
        return;
    if (!m_haveItem) {
        LogReplay::Item item;
        if (!m_replay->next(item)) {
            finishReplay();
            return;
        }
        m_item = item.msg;
        m_itemDueMs = item.dueMs;
        m_haveItem = true;
    }
    const double wait = m_replayBaseMs + m_itemDueMs - double(m_replayClock.elapsed());
    if (wait > 0) {
        m_replayTimer.start(int(std::ceil(wait)));
        return;
    }
    if (sendAs(m_item.address_from, m_item.msg_id, m_item.address_to, m_item.data))
        ++m_replaySent;
    else
        ++m_replayFailed;
    m_haveItem = false;
    if (m_connector->queuedFrames() == 0)
        m_replayTimer.start(0);
}

void DeviceSimulator::replayResume()
{
    if (m_connector->queuedFrames() == 0 && !m_replayTimer.isActive())
        m_replayTimer.start(0);
}

void DeviceSimulator::finishReplay()
{
    m_replayDone = true;
    finishWhenSent();
}

void DeviceSimulator::finishWhenSent()
{
    // Frames still queued in the connector, or buffered in the bus plugin's
    // socket, must leave before the process does: an exit drops them.
    m_finishing = true;
    if (QCanBusDevice *device = m_connector ? m_connector->device() : nullptr) {
        connect(device, &QCanBusDevice::framesWritten, this, &DeviceSimulator::finishIfSent, Qt::UniqueConnection);
        for (QTcpSocket *socket : device->findChildren<QTcpSocket *>()) {
            connect(socket, &QTcpSocket::bytesWritten, this, &DeviceSimulator::finishIfSent, Qt::UniqueConnection);
            connect(socket, &QTcpSocket::disconnected, this, &DeviceSimulator::finishIfSent, Qt::UniqueConnection);
        }
    }
    finishIfSent();
}

void DeviceSimulator::finishIfSent()
{
    if (!m_finishing)
        return;
    // Off the bus nothing more leaves; waiting would never end.
    if (QCanBusDevice *device = m_joined && m_connector ? m_connector->device() : nullptr) {
        if (m_connector->queuedFrames() > 0)
            return;
        for (QTcpSocket *socket : device->findChildren<QTcpSocket *>()) {
            if (socket->state() == QAbstractSocket::ConnectedState && socket->bytesToWrite() > 0)
                return;
        }
    }
    m_finishing = false;
    emit finished();
}

QString DeviceSimulator::replaySummary() const
{
    QString text = QStringLiteral("%1 sent, %2 failed, %3 skipped (O lines), %4 malformed lines")
                       .arg(m_replaySent)
                       .arg(m_replayFailed)
                       .arg(m_replay ? m_replay->skipped() : 0)
                       .arg(m_replay ? m_replay->malformed() : 0);
    if (m_replay && m_replay->passes() > 1)
        text += QStringLiteral(", %1 passes").arg(m_replay->passes());
    return text;
}

void DeviceSimulator::onEngineError(uint16_t code)
{
    fprintf(stderr, "corvid-devsim: %s\n", qPrintable(corvid_error_text(code)));
}

void DeviceSimulator::print(const QString &line) const
{
    const QByteArray b = line.toUtf8() + '\n';
    fwrite(b.constData(), 1, size_t(b.size()), stdout);
    fflush(stdout);
}
