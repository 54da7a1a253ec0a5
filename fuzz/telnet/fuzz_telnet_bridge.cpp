// The whole Telnet bridge with small caps, driven over real loopback
// connections: a terminal types, reads or not, leaves and comes back at once;
// the device writes; the pacing ticks. After every step:
// - the bridge never holds more typed data, nor more data for the terminal,
//   than its caps allow;
// - a terminal is cut off only when it went past a cap, and then with exactly
//   one diagnostic;
// - a terminal that reconnects after its predecessor has left is accepted;
// - when no terminal was cut off, the device has received exactly what the
//   terminals typed, cleaned of Telnet commands, in order.

#include "server/CorvidTelnet.h"
#include "server/telnet_stream.h"
#include "fuzz/fuzz_check.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QTcpSocket>

#include <array>
#include <cstdlib>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <linux/sockios.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int g_criticals = 0;

void countCriticals(QtMsgType type, const QMessageLogContext &, const QString &)
{
    g_criticals += type == QtCriticalMsg;
}

CorvidTelnet::Limits smallLimits()
{
    CorvidTelnet::Limits limits;
    limits.held = 2048;
    limits.output = 1024;
    limits.subnegotiation = 32;
    limits.read = 256;
    return limits;
}

constexpr uint16_t kPieceSize = 16 + 40;

// One bridge per setting: de-escaping, CR rewriting, pacing.
struct Bridge {
    std::unique_ptr<CorvidTelnet> telnet;
    bool deEscape = false;
    bool crRewrite = false;
    bool paced = false;
    QByteArray device;  // what reached the device
    int approved = 0;
};

std::array<Bridge, 8> g_bridges;

void makeBridges()
{
    uint16_t address = 0x1100;  // ports above the range handed out for outgoing connections
    for (size_t i = 0; i < g_bridges.size(); ++i) {
        Bridge &b = g_bridges[i];
        b.deEscape = i & 1;
        b.crRewrite = i & 2;
        b.paced = i & 4;
        for (; !b.telnet || !b.telnet->isListening(); ++address) {
            CorvidTelnet::Links links;
            links.send = [&b](corvid_message *m) -> int64_t {
                check(b.telnet->heldBytes() <= b.telnet->limits().held);
                check(!b.paced || m->length <= kPieceSize - 16);
                b.device.append(reinterpret_cast<const char *>(m->data), m->length);
                return m->length;
            };
            b.telnet = std::make_unique<CorvidTelnet>(address, links, 1, 0xFFF1, b.deEscape, b.crRewrite,
                                                      b.paced ? kPieceSize : 0, 60000, false);
        }
        b.telnet->setLimits(smallLimits());
        QObject::connect(b.telnet.get(), &CorvidTelnet::newClientAdded, [&b](const crd_client_info_t &client) {
            ++b.approved;
            // A slow network: the kernel takes little of what goes to the terminal.
            client.socket->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, 4096);
        });
    }
}

// Bytes a terminal has typed that the server has not taken yet; none once
// the connection is reset.
int untaken(int fd)
{
    tcp_info info{};
    socklen_t length = sizeof info;
    int unsent = 0;
    if (fd < 0 || ::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0 ||
        (info.tcpi_state != TCP_ESTABLISHED && info.tcpi_state != TCP_CLOSE_WAIT) || ::ioctl(fd, SIOCOUTQ, &unsent) != 0)
        return 0;
    return unsent;
}

// Until the loop has had nothing to do twice in a row and all the terminal
// typed has left it; a bridge that stops reading fails here.
void settle(const QTcpSocket *terminal = nullptr)
{
    const int fd = terminal ? int(terminal->socketDescriptor()) : -1;
    int idle = 0;
    for (int passes = 0; idle < 2; ++passes) {
        check(passes < 100000);
        idle = QAbstractEventDispatcher::instance()->processEvents(QEventLoop::AllEvents) ? 0 : idle + 1;
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        if (idle > 0 && untaken(fd) > 0) {
            idle = 0;
            ::usleep(20);
        }
    }
}

// A terminal with a small receive buffer, so that one that does not read
// soon leaves the server's replies waiting at the server. It sends at once:
// what it types must be at the server when the loop has settled.
std::unique_ptr<QTcpSocket> connectTerminal(uint16_t port, bool reads)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const int small = 2048, noDelay = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    check(::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0);
    auto socket = std::make_unique<QTcpSocket>();
    check(socket->setSocketDescriptor(fd));
    if (!reads)
        socket->setReadBufferSize(1);  // the socket takes no more than that from the kernel
    return socket;
}

// Ends a terminal with a reset, so that no port waits out a close.
void resetTerminal(QTcpSocket &socket)
{
    const linger now{1, 0};
    ::setsockopt(int(socket.socketDescriptor()), SOL_SOCKET, SO_LINGER, &now, sizeof now);
    socket.abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    static int argc = 1;
    static char name[] = "fuzz_telnet_bridge";
    static char *argv[] = {name, nullptr};
    new QCoreApplication(argc, argv);
    qInstallMessageHandler(countCriticals);
    makeBridges();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    Bridge &b = g_bridges[data[0] & 7];
    const bool reads = data[0] & 8;
    CorvidTelnet &telnet = *b.telnet;
    const CorvidTelnet::Limits limits = telnet.limits();
    b.device.clear();
    g_criticals = 0;

    auto terminal = connectTerminal(telnet.port(), reads);
    const int approvedBefore = b.approved;
    settle();
    check(b.approved == approvedBefore + 1 && telnet.hasTerminal());

    telnet::InputFilter model(b.deEscape, b.crRewrite, limits.subnegotiation);
    QByteArray expected;
    qint64 typedAll = 0, typed = 0, written = 0;  // by all terminals; by this one; by the device to it
    bool cut = false;
    for (size_t pos = 1; pos + 2 <= size && !cut;) {
        const uint8_t op = data[pos];
        const int repeat = 1 + data[pos + 1] % 64;
        pos += 2;
        const int length = int(std::min<size_t>(op >> 3, size - pos));
        const QByteArray bytes = QByteArray(reinterpret_cast<const char *>(data + pos), length).repeated(repeat);
        switch (op & 7) {
        case 0:
        case 1:
            pos += size_t(length);
            terminal->write(bytes);
            terminal->flush();
            typed += bytes.size();
            typedAll += bytes.size();
            expected += model.feed(bytes).data;
            break;
        case 2:
            pos += size_t(length);
            telnet.telnetWrite(bytes, true);
            written += bytes.size();
            break;
        case 3:
            telnet.on_UHF_send_timer();
            break;
        case 4: {
            // Leaves and comes back at once, as a script does.
            settle(terminal.get());
            terminal->close();
            const int approved = b.approved;
            terminal = connectTerminal(telnet.port(), reads);
            settle();
            check(b.approved == approved + 1 && telnet.hasTerminal());
            model = telnet::InputFilter(b.deEscape, b.crRewrite, limits.subnegotiation);
            typed = written = 0;
            break;
        }
        default:
            break;
        }
        settle(terminal.get());
        if (reads)
            terminal->readAll();
        check(telnet.heldBytes() <= limits.held && telnet.outputBytes() <= limits.output);
        cut = !telnet.hasTerminal();
    }
    if (cut) {
        // Replies and prepared device data are at most twice what caused them.
        check(typedAll > limits.held || 2 * (typed + written) > limits.output);
        check(g_criticals == 1);
    } else {
        check(g_criticals == 0);
    }
    resetTerminal(*terminal);
    settle();
    check(!telnet.hasTerminal());
    for (int ticks = 0; telnet.heldBytes() > 0; ++ticks) {
        check(ticks < 100000);
        telnet.on_UHF_send_timer();
    }
    if (!cut)
        check(b.device == expected);
    return 0;
}
