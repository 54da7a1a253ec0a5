#pragma once
// The load programs' connections, behind one descriptor of the Qt event loop.
// Qt polls every socket notifier at every wake-up: with hundreds of
// connections, most of them idle in any one run, a wake-up that brings one
// message would cost more than the message. The kernel's epoll set keeps
// them instead, and a wake-up costs only what is ready.

#include <QByteArray>
#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <unordered_map>

class QSocketNotifier;

class BenchEpoll : public QObject
{
    Q_OBJECT
public:
    // The one set of this single-threaded program.
    static BenchEpoll &shared();

    using Handler = std::function<void(quint32 events)>;
    bool add(int fd, Handler handler);
    void setWritable(int fd, bool on);
    void remove(int fd);

private:
    BenchEpoll();
    ~BenchEpoll() override;
    void ready();

    int m_fd = -1;
    QSocketNotifier *m_notifier = nullptr;
    std::unordered_map<int, Handler> m_handlers;
};

// A non-blocking TCP connection to a port on 127.0.0.1 in the shared set.
// What is sent during one pass of the event loop leaves in one write at the
// start of the next; what arrives goes to the callback a read at a time, as
// much as the kernel holds.
class BenchConnection
{
public:
    using DataHandler = std::function<void(const char *data, int size)>;
    explicit BenchConnection(DataHandler onData);
    ~BenchConnection();
    BenchConnection(const BenchConnection &) = delete;
    BenchConnection &operator=(const BenchConnection &) = delete;

    // Connects at once (loopback); false with error() set when that fails.
    bool open(quint16 port);
    void send(const QByteArray &bytes);
    bool failed() const { return !m_error.isEmpty(); }
    QString error() const { return m_error; }

private:
    void events(quint32 events);
    void read();
    void flush();
    void fail(const QString &why);

    int m_fd = -1;
    QByteArray m_out;
    bool m_flushQueued = false;
    bool m_waitingWritable = false;
    DataHandler m_onData;
    QString m_error;
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
};
