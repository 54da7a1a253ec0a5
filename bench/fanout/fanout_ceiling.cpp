// The least a fan-out of injected messages can cost on this machine: one
// thread, plain epoll and writev, no Qt. It speaks just enough of the
// control-application protocol for the load program: answers an application's
// identification with server information and a ready link state, and passes
// every injected message frame on to every other identified connection with
// the next stamp, the way the server does. Everything read in one pass goes
// out in one writev per receiver. Listens on 127.0.0.1 only.
//
//   corvid-fanout-ceiling PORT

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace {

constexpr uint16_t kAppInfo = 0x1001;
constexpr uint16_t kMsg2App = 0x2000;
constexpr uint32_t kMaxFrame = 1u << 20;

uint32_t get32(const char *p)
{
    return uint32_t(uint8_t(p[0])) | uint32_t(uint8_t(p[1])) << 8 | uint32_t(uint8_t(p[2])) << 16 |
           uint32_t(uint8_t(p[3])) << 24;
}
void put(std::string &s, uint64_t v, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        s.push_back(char((v >> (8 * i)) & 0xFF));
}
std::string frame(uint16_t kind, const std::string &payload)
{
    std::string f("\x5E\xBA", 2);
    put(f, kind, 2);
    put(f, 0, 2);
    put(f, 12 + payload.size(), 4);
    return f + payload + std::string("\x11\xBA", 2);
}
std::string answer()
{
    std::string info;
    put(info, 100, 4);
    put(info, 1, 4);
    put(info, 0, 8);
    put(info, 0, 8);
    std::string name("Corvid dedicated server");
    name.resize(32, '\0');
    info += name + std::string(8, '\0');
    std::string state;
    put(state, 0, 4);
    put(state, 2, 4);  // link ready
    put(state, 0, 16);
    return frame(0x2001, info) + frame(0x2002, state);
}

struct Conn {
    int fd = -1;
    bool identified = false;
    bool wantOut = false;
    std::string in;
    std::string out;  // what the kernel did not take yet
};

int g_epoll = -1;
std::unordered_map<int, Conn> g_conns;
std::vector<int> g_order;  // identified connections in order of identification
uint64_t g_stamp = 0;

void watch(Conn &c, bool out)
{
    if (c.wantOut == out)
        return;
    c.wantOut = out;
    epoll_event ev{};
    ev.events = out ? uint32_t(EPOLLIN | EPOLLOUT) : uint32_t(EPOLLIN);
    ev.data.fd = c.fd;
    epoll_ctl(g_epoll, EPOLL_CTL_MOD, c.fd, &ev);
}

void drop(int fd)
{
    epoll_ctl(g_epoll, EPOLL_CTL_DEL, fd, nullptr);
    close(fd);
    g_conns.erase(fd);
    for (size_t i = 0; i < g_order.size(); ++i)
        if (g_order[i] == fd) {
            g_order.erase(g_order.begin() + long(i));
            break;
        }
}

// Queued output first, then the new frames, in one call; the rest waits for EPOLLOUT.
bool sendAll(Conn &c, const std::vector<iovec> &frames)
{
    std::vector<iovec> iov;
    iov.reserve(frames.size() + 1);
    if (!c.out.empty())
        iov.push_back({c.out.data(), c.out.size()});
    iov.insert(iov.end(), frames.begin(), frames.end());
    size_t total = 0;
    for (const iovec &v : iov)
        total += v.iov_len;
    ssize_t n = 0;
    size_t done = 0;
    while (done < total) {
        size_t skip = done;
        std::vector<iovec> rest;
        for (const iovec &v : iov) {
            if (skip >= v.iov_len) {
                skip -= v.iov_len;
                continue;
            }
            rest.push_back({static_cast<char *>(v.iov_base) + skip, v.iov_len - skip});
            skip = 0;
            if (rest.size() == IOV_MAX)
                break;
        }
        n = writev(c.fd, rest.data(), int(rest.size()));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    std::string left;
    size_t skip = done;
    for (const iovec &v : iov) {
        if (skip >= v.iov_len) {
            skip -= v.iov_len;
            continue;
        }
        left.append(static_cast<const char *>(v.iov_base) + skip, v.iov_len - skip);
        skip = 0;
    }
    c.out.swap(left);
    watch(c, !c.out.empty());
    return true;
}

void readFrom(int fd)
{
    Conn &c = g_conns[fd];
    char buf[256 * 1024];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            c.in.append(buf, size_t(n));
            if (size_t(n) < sizeof buf)
                break;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        drop(fd);
        return;
    }
    // Whole frames only; injected message frames are stamped in place and
    // passed on together.
    std::vector<iovec> frames;
    size_t pos = 0;
    bool answerNow = false;
    while (c.in.size() - pos >= 10) {
        const char *f = c.in.data() + pos;
        const uint32_t len = get32(f + 6);
        if (uint8_t(f[0]) != 0x5E || uint8_t(f[1]) != 0xBA || len < 12 || len > kMaxFrame) {
            std::fprintf(stderr, "corvid-fanout-ceiling: bad frame, connection dropped\n");
            drop(fd);
            return;
        }
        if (c.in.size() - pos < len)
            break;
        const uint16_t kind = uint16_t(uint8_t(f[2]) | uint8_t(f[3]) << 8);
        if (kind == kAppInfo && !c.identified) {
            c.identified = true;
            g_order.push_back(fd);
            answerNow = true;
        } else if (kind == kMsg2App && c.identified && len >= 52) {
            std::string stamp;
            put(stamp, ++g_stamp, 8);
            std::memcpy(c.in.data() + pos + 26, stamp.data(), 8);
            frames.push_back({c.in.data() + pos, len});
        }
        pos += len;
    }
    if (answerNow) {
        static const std::string a = answer();
        if (!sendAll(c, {{const_cast<char *>(a.data()), a.size()}})) {
            drop(fd);
            return;
        }
    }
    if (!frames.empty()) {
        const std::vector<int> targets = g_order;
        for (int t : targets) {
            if (t == fd)
                continue;
            auto it = g_conns.find(t);
            if (it != g_conns.end() && !sendAll(it->second, frames))
                drop(t);
        }
    }
    auto it = g_conns.find(fd);
    if (it != g_conns.end())
        it->second.in.erase(0, pos);
}

}  // namespace

int main(int argc, char **argv)
{
    const int port = argc == 2 ? std::atoi(argv[1]) : 0;
    if (port <= 0 || port > 65535) {
        std::fprintf(stderr, "usage: corvid-fanout-ceiling PORT\n");
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    const int lfd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    const int one = 1;
    setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(lfd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0 || listen(lfd, 256) < 0) {
        std::perror("corvid-fanout-ceiling: listen");
        return 1;
    }
    g_epoll = epoll_create1(0);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = lfd;
    epoll_ctl(g_epoll, EPOLL_CTL_ADD, lfd, &ev);
    epoll_event events[256];
    for (;;) {
        const int n = epoll_wait(g_epoll, events, 256, -1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return 1;
        for (int i = 0; i < n; ++i) {
            const int fd = events[i].data.fd;
            if (fd == lfd) {
                int cfd;
                while ((cfd = accept4(lfd, nullptr, nullptr, SOCK_NONBLOCK)) >= 0) {
                    setsockopt(cfd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                    Conn &c = g_conns[cfd];
                    c.fd = cfd;
                    epoll_event cev{};
                    cev.events = EPOLLIN;
                    cev.data.fd = cfd;
                    epoll_ctl(g_epoll, EPOLL_CTL_ADD, cfd, &cev);
                }
                continue;
            }
            if (!g_conns.count(fd))
                continue;
            if (events[i].events & EPOLLOUT) {
                Conn &c = g_conns[fd];
                if (!sendAll(c, {})) {
                    drop(fd);
                    continue;
                }
            }
            if (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR))
                if (g_conns.count(fd))
                    readFrom(fd);
        }
    }
}
