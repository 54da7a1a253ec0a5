// The acceptor as a whole: one input drives up to six connections at once
// (open, bytes, identification, message, close), over socket pairs handed to
// the acceptor as accepted connections. After every step:
// - no connection has more than one client record;
// - never more records than the limit;
// - a connection that has no record, and had none before the step, was sent
//   nothing; and the first thing any connection receives is server information.

#include "server/CorvidTCPserver.h"
#include "server/corvid_wire.h"
#include "fuzz/fuzz_check.h"

#include <QCoreApplication>
#include <QPointer>
#include <QTcpSocket>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

void quiet(QtMsgType, const QMessageLogContext &, const QString &) {}

struct Conn {
    int peer = -1;                 // the client's end
    QPointer<QTcpSocket> socket;   // the server's end
    bool hadRecord = false;
    qint64 received = 0;
    QByteArray head;               // first bytes received
};

class Input {
public:
    Input(const uint8_t *d, size_t n) : m_d(d), m_n(n) {}
    bool empty() const { return m_pos >= m_n; }
    uint8_t byte() { return empty() ? 0 : m_d[m_pos++]; }
    QByteArray bytes(size_t count)
    {
        count = std::min(count, m_n - m_pos);
        QByteArray b(reinterpret_cast<const char *>(m_d + m_pos), int(count));
        m_pos += count;
        return b;
    }

private:
    const uint8_t *m_d;
    size_t m_n;
    size_t m_pos = 0;
};

void writeAll(int fd, const QByteArray &b)
{
    // Socket pair buffers are large; what does not fit is simply not sent.
    if (fd >= 0 && !b.isEmpty())
        (void)::send(fd, b.constData(), size_t(b.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
}

void settle()
{
    for (int i = 0; i < 3; ++i)
        QCoreApplication::processEvents();
}

void verify(CorvidTCPserver &srv, std::array<Conn, 6> &conns)
{
    const QList<crd_client_info_t> records = srv.clientList();
    if (srv.maxClients != 0)
        check(records.size() <= int(srv.maxClients));
    for (Conn &c : conns) {
        int count = 0;
        for (const crd_client_info_t &r : records)
            count += c.socket && r.socket == c.socket.data();
        check(count <= 1);
        if (c.peer < 0)
            continue;
        char buf[65536];
        qint64 got = 0;
        for (ssize_t n; (n = ::recv(c.peer, buf, sizeof buf, MSG_DONTWAIT)) > 0;) {
            if (c.head.size() < 6)
                c.head += QByteArray(buf, int(std::min<ssize_t>(n, 6 - c.head.size())));
            got += n;
        }
        if (got > 0) {
            check(count == 1 || c.hadRecord);
            check(c.head.startsWith(QByteArray::fromHex("5EBA01200000").left(c.head.size())));
        }
        c.received += got;
        c.hadRecord = count == 1;
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    static int argc = 1;
    static char name[] = "fuzz_acceptor";
    static char *argv[] = {name, nullptr};
    new QCoreApplication(argc, argv);
    qInstallMessageHandler(quiet);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Input in(data, size);
    std::array<Conn, 6> conns;
    {
        CorvidTCPserver srv(0);
        srv.maxClients = in.byte() % 4;  // 0: no limit
        srv.maxUnidentified = 1 + in.byte() % 4;
        srv.unidentifiedTimeoutMs = 0;   // time plays no part here

        while (!in.empty()) {
            const uint8_t op = in.byte();
            Conn &c = conns[(op >> 3) % conns.size()];
            switch (op & 7) {
            case 0: {
                if (c.peer >= 0)
                    break;
                int fds[2];
                check(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0);
                auto *socket = new QTcpSocket;
                check(socket->setSocketDescriptor(fds[0]));
                c = Conn();
                c.peer = fds[1];
                c.socket = socket;
                srv.adoptConnection(socket);
                break;
            }
            case 1:
            case 2:
                writeAll(c.peer, in.bytes(in.byte() % 64));
                break;
            case 3:
            case 4: {
                const uint8_t flags = in.byte();
                writeAll(c.peer, buildAppInfoFrame(flags & 0x80 ? 0x10000u : 100u, in.bytes(flags % 8), flags & 1));
                break;
            }
            case 5: {
                const QByteArray payload = in.bytes(in.byte() % 16);
                writeAll(c.peer, buildMsg2SatFrame(in.byte(), corvid_message_over(0x10, 1, 2, payload)));
                break;
            }
            case 6:
                if (c.peer >= 0)
                    ::close(c.peer);
                c.peer = -1;
                break;
            default:
                srv.slotHardwareStatusHandler(in.byte() % 3);
                break;
            }
            settle();
            verify(srv, conns);
        }
        for (Conn &c : conns) {
            if (c.peer >= 0)
                ::close(c.peer);
        }
        settle();
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return 0;
}
