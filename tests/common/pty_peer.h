#pragma once
// The far end of a pseudo-terminal, for driving a serial-port client the way
// an adapter would: raw mode, non-blocking reads of what the client wrote.

#include <QByteArray>
#include <QString>
#include <QtTest>

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

class PtyPeer {
public:
    PtyPeer()
    {
        char name[256] = {};
        if (::openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0)
            return;
        termios tio;
        ::tcgetattr(m_slave, &tio);
        ::cfmakeraw(&tio);
        ::tcsetattr(m_slave, TCSANOW, &tio);
        ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
        m_path = QString::fromLocal8Bit(name);
    }
    ~PtyPeer() { close(); }
    PtyPeer(const PtyPeer &) = delete;
    PtyPeer &operator=(const PtyPeer &) = delete;

    QString path() const { return m_path; }

    // The adapter goes away: both ends closed.
    void close()
    {
        if (m_master >= 0)
            ::close(m_master);
        if (m_slave >= 0)
            ::close(m_slave);
        m_master = m_slave = -1;
    }

    bool write(const QByteArray &bytes)
    {
        return ::write(m_master, bytes.constData(), size_t(bytes.size())) == bytes.size();
    }

    // Everything written by the client so far and not yet taken.
    QByteArray &received()
    {
        char buf[4096];
        ssize_t n;
        while (m_master >= 0 && (n = ::read(m_master, buf, sizeof buf)) > 0)
            m_received.append(buf, int(n));
        return m_received;
    }

    // Waits until `size` bytes have come and takes them.
    QByteArray take(int size, int timeoutMs = 5000)
    {
        // A timeout shows as fewer bytes, which the caller's comparison reports.
        (void)QTest::qWaitFor([&] { return received().size() >= size; }, timeoutMs);
        const QByteArray out = m_received.left(size);
        m_received.remove(0, out.size());
        return out;
    }

private:
    int m_master = -1;
    int m_slave = -1;
    QString m_path;
    QByteArray m_received;
};
