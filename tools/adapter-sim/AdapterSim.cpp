#include "tools/adapter-sim/AdapterSim.h"

#include "connectors/usbtin_protocol.h"

#include <QCanBus>
#include <QCanBusFrame>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Junk between replies: bare line ends, BEL, stray letters, a cut-off frame
// and bytes without any line end in front of the next reply.
const char *const kNoise[] = {"\r", "\a", "\r\r", "?#", "Zq\r", "\xff\xfe\r", "t12\r", "\a\r", "t0"};
const int kPieces[] = {1, 4, 2, 7, 3, 5};

}  // namespace

AdapterSim::AdapterSim(const AdapterSimOptions &options, QObject *parent) : QObject(parent), m_options(options)
{
    m_pumpTimer.setSingleShot(true);
    connect(&m_pumpTimer, &QTimer::timeout, this, &AdapterSim::pump);
}

AdapterSim::~AdapterSim()
{
    if (!m_options.link.isEmpty() && QFileInfo(m_options.link).symLinkTarget() == m_path)
        QFile::remove(m_options.link);
    m_readNotifier.reset();
    if (m_bus && m_bus->state() == QCanBusDevice::ConnectedState)
        m_bus->disconnectDevice();
    if (m_master >= 0)
        ::close(m_master);
    if (m_slave >= 0)
        ::close(m_slave);
}

bool AdapterSim::start(QString *error)
{
    char name[256] = {};
    if (::openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0) {
        *error = QStringLiteral("cannot create a pseudo-terminal: %1").arg(QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    // Raw, so that nothing is echoed back to us whoever opens it.
    termios tio;
    ::tcgetattr(m_slave, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(m_slave, TCSANOW, &tio);
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    ::fcntl(m_master, F_SETFD, FD_CLOEXEC);
    ::fcntl(m_slave, F_SETFD, FD_CLOEXEC);
    m_path = QString::fromLocal8Bit(name);

    if (!m_options.link.isEmpty()) {
        const QFileInfo link(m_options.link);
        if (link.isSymLink())
            QFile::remove(m_options.link);
        if (!QFile::link(m_path, m_options.link)) {
            *error = QStringLiteral("cannot make the link %1").arg(m_options.link);
            return false;
        }
    }

    m_readNotifier = std::make_unique<QSocketNotifier>(m_master, QSocketNotifier::Read);
    connect(m_readNotifier.get(), &QSocketNotifier::activated, this, &AdapterSim::readHost);

    if (m_options.bus) {
        QString busError;
        m_bus.reset(QCanBus::instance()->createDevice(QStringLiteral("virtualcan"), m_options.device, &busError));
        if (!m_bus) {
            *error = QStringLiteral("no virtual CAN bus: %1").arg(busError);
            return false;
        }
        connect(m_bus.get(), &QCanBusDevice::framesReceived, this, &AdapterSim::readBus);
        if (!m_bus->connectDevice()) {
            *error = QStringLiteral("cannot join the virtual CAN bus: %1").arg(m_bus->errorString());
            return false;
        }
    }
    return true;
}

void AdapterSim::readHost()
{
    char buf[4096];
    const ssize_t n = ::read(m_master, buf, sizeof buf);
    if (n <= 0)
        return;
    m_in.append(buf, int(n));
    int end;
    while ((end = m_in.indexOf('\r')) >= 0) {
        const QByteArray line = m_in.left(end);
        m_in.remove(0, end + 1);
        if (m_options.trace) {
            std::printf("< %s\n", line.constData());
            std::fflush(stdout);
        }
        handleLine(line);
    }
    // A host that never ends its lines must not make us grow.
    if (m_in.size() > 4096)
        m_in.clear();
}

void AdapterSim::handleLine(const QByteArray &line)
{
    const char command = line.isEmpty() ? '\0' : line.at(0);
    switch (command) {
    case 'V':
        if (!m_options.muteWatchdog)
            send("V" + m_options.hardwareVersion + "\r");
        return;
    case 'v':
        send("v0107\r");
        return;
    case 'S':
        send("\r");
        return;
    case 'O':
        m_channelOpen = true;
        send("\r");
        return;
    case 'C':
        m_channelOpen = false;
        send("\r");
        return;
    case 't':
    case 'T':
    case 'r':
    case 'R':
        if (m_channelOpen) {
            carryToBus(line);
            return;
        }
        break;
    default:
        break;
    }
    send("\a");
}

void AdapterSim::carryToBus(const QByteArray &line)
{
    usbtin::Reply parsed;
    if (!usbtin::parseLine(line.constData(), line.size(), parsed) || parsed.kind != usbtin::ReplyKind::Frame) {
        send("\a");
        return;
    }
    const can_message &f = parsed.frame;
    QCanBusFrame frame(f.can_identifier, QByteArray(reinterpret_cast<const char *>(f.data), f.can_rtr ? 0 : f.can_dlc));
    frame.setExtendedFrameFormat(f.can_extbit != 0);
    if (f.can_rtr)
        frame.setFrameType(QCanBusFrame::RemoteRequestFrame);
    if (m_bus && m_bus->state() == QCanBusDevice::ConnectedState && m_bus->writeFrame(frame))
        ++m_toBus;
    acknowledge();
}

void AdapterSim::acknowledge()
{
    switch (m_options.ack) {
    case AdapterSimOptions::Ack::Now:
        send("z\r");
        break;
    case AdapterSimOptions::Ack::Late:
        QTimer::singleShot(m_options.ackDelayMs, this, [this] { send("z\r"); });
        break;
    case AdapterSimOptions::Ack::Never:
        break;
    case AdapterSimOptions::Ack::Bel:
        send("\a");
        break;
    }
}

void AdapterSim::readBus()
{
    while (m_bus->framesAvailable() > 0) {
        const QCanBusFrame frame = m_bus->readFrame();
        if (!m_channelOpen || frame.frameType() == QCanBusFrame::ErrorFrame)
            continue;
        can_message f;
        const QByteArray payload = frame.payload();
        f.can_identifier = frame.frameId();
        f.can_extbit = frame.hasExtendedFrameFormat() ? 1 : 0;
        f.can_rtr = frame.frameType() == QCanBusFrame::RemoteRequestFrame ? 1 : 0;
        f.can_dlc = uint8_t(qMin(payload.size(), 8));
        memcpy(f.data, payload.constData(), f.can_dlc);
        QByteArray line = usbtin::frameLine(&f);
        if (m_options.lowerHex)
            line = line.left(1) + line.mid(1).toLower();
        ++m_fromBus;
        send(line);
    }
}

void AdapterSim::send(const QByteArray &bytes)
{
    if (m_options.noise)
        m_out += kNoise[m_noiseIndex++ % int(sizeof kNoise / sizeof *kNoise)];
    m_out += bytes;
    // Nobody has read for a long while: what waits is stale.
    if (m_out.size() > 65536)
        m_out = bytes;
    if (!m_pumpTimer.isActive())
        pump();
}

void AdapterSim::pump()
{
    while (!m_out.isEmpty()) {
        int size = m_out.size();
        if (m_options.split)
            size = qMin(size, kPieces[m_pieceIndex++ % int(sizeof kPieces / sizeof *kPieces)]);
        const ssize_t n = ::write(m_master, m_out.constData(), size_t(size));
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            m_out.clear();  // nobody will read it
            return;
        }
        if (n > 0)
            m_out.remove(0, int(n));
        if (n <= 0 || m_options.split) {
            // Pieces a millisecond apart arrive in separate reads.
            m_pumpTimer.start(1);
            return;
        }
    }
}
