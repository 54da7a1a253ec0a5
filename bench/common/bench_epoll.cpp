#include "bench/common/bench_epoll.h"

#include <QSocketNotifier>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
QString systemError() { return QString::fromLocal8Bit(std::strerror(errno)); }
} // namespace

BenchEpoll &BenchEpoll::shared()
{
    static BenchEpoll *set = new BenchEpoll; // lives as long as the program
    return *set;
}

BenchEpoll::BenchEpoll()
{
    m_fd = ::epoll_create1(EPOLL_CLOEXEC);
    if (m_fd < 0)
        return;
    m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &BenchEpoll::ready);
}

BenchEpoll::~BenchEpoll()
{
    delete m_notifier;
    if (m_fd >= 0)
        ::close(m_fd);
}

bool BenchEpoll::add(int fd, Handler handler)
{
    epoll_event e{};
    e.events = EPOLLIN;
    e.data.fd = fd;
    if (m_fd < 0 || ::epoll_ctl(m_fd, EPOLL_CTL_ADD, fd, &e) != 0)
        return false;
    m_handlers[fd] = std::move(handler);
    return true;
}

void BenchEpoll::setWritable(int fd, bool on)
{
    epoll_event e{};
    e.events = EPOLLIN | (on ? EPOLLOUT : 0u);
    e.data.fd = fd;
    ::epoll_ctl(m_fd, EPOLL_CTL_MOD, fd, &e);
}

void BenchEpoll::remove(int fd)
{
    ::epoll_ctl(m_fd, EPOLL_CTL_DEL, fd, nullptr);
    m_handlers.erase(fd);
}

void BenchEpoll::ready()
{
    epoll_event events[256];
    const int n = ::epoll_wait(m_fd, events, 256, 0);
    for (int i = 0; i < n; ++i) {
        // A handler may remove its own connection, or another of this batch.
        const auto it = m_handlers.find(events[i].data.fd);
        if (it == m_handlers.end())
            continue;
        const Handler handler = it->second;
        handler(events[i].events);
    }
}

BenchConnection::BenchConnection(DataHandler onData) : m_onData(std::move(onData)) {}

BenchConnection::~BenchConnection()
{
    if (m_fd >= 0) {
        BenchEpoll::shared().remove(m_fd);
        ::close(m_fd);
    }
}

bool BenchConnection::open(quint16 port)
{
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0) {
        fail(QStringLiteral("socket: ") + systemError());
        return false;
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // On the loopback a connection is made at once; blocking keeps it simple.
    if (::connect(m_fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        fail(QStringLiteral("connect to port %1: %2").arg(port).arg(systemError()));
        return false;
    }
    const int one = 1;
    ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::fcntl(m_fd, F_SETFL, ::fcntl(m_fd, F_GETFL) | O_NONBLOCK);
    if (!BenchEpoll::shared().add(m_fd, [this](quint32 e) { events(e); })) {
        fail(QStringLiteral("epoll: ") + systemError());
        return false;
    }
    return true;
}

void BenchConnection::send(const QByteArray &bytes)
{
    if (failed() || m_fd < 0)
        return;
    m_out.append(bytes);
    if (m_flushQueued || m_waitingWritable)
        return;
    m_flushQueued = true;
    std::weak_ptr<bool> alive = m_alive;
    QMetaObject::invokeMethod(
        &BenchEpoll::shared(),
        [this, alive] {
            if (alive.lock()) {
                m_flushQueued = false;
                flush();
            }
        },
        Qt::QueuedConnection);
}

void BenchConnection::flush()
{
    if (failed() || m_out.isEmpty())
        return;
    const ssize_t n = ::write(m_fd, m_out.constData(), size_t(m_out.size()));
    if (n < 0 && errno != EAGAIN && errno != EINTR) {
        fail(QStringLiteral("write: ") + systemError());
        return;
    }
    if (n > 0)
        m_out.remove(0, int(n));
    const bool waiting = !m_out.isEmpty();
    if (waiting != m_waitingWritable) {
        m_waitingWritable = waiting;
        BenchEpoll::shared().setWritable(m_fd, waiting);
    }
}

void BenchConnection::events(quint32 e)
{
    if (e & EPOLLOUT)
        flush();
    if (e & (EPOLLIN | EPOLLHUP | EPOLLERR))
        read();
}

void BenchConnection::read()
{
    if (failed())
        return;
    static char buf[256 * 1024];
    const ssize_t n = ::read(m_fd, buf, sizeof buf);
    if (n == 0)
        fail(QStringLiteral("the server closed the connection"));
    else if (n < 0 && errno != EAGAIN && errno != EINTR)
        fail(QStringLiteral("read: ") + systemError());
    else if (n > 0)
        m_onData(buf, int(n));
}

void BenchConnection::fail(const QString &why)
{
    if (m_error.isEmpty())
        m_error = why;
    if (m_fd >= 0)
        BenchEpoll::shared().remove(m_fd);
}
