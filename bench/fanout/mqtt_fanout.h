#pragma once
// One publisher and N subscribers on a mosquitto broker at QoS 0, as lean as
// a client can be so that the broker, not this program, sets the pace: plain
// non-blocking sockets on the Qt event loop, every read as large as the kernel
// has, and each pass's publishes written with one system call.

#include <QByteArray>
#include <QObject>
#include <QString>
#include <memory>
#include <vector>

class QSocketNotifier;
class LoadTracker;

class MqttFanout : public QObject
{
    Q_OBJECT
public:
    explicit MqttFanout(quint16 port, QObject *parent = nullptr);
    ~MqttFanout() override;

    // Grows the subscriber set to `total` and waits until every one has its
    // subscription acknowledged.
    bool growSubscribers(int total, int timeoutMs);
    bool connectPublisher(int timeoutMs);
    int subscribers() const { return int(m_subs.size()); }

    // Feeds the tracker from now on; sends as the window allows.
    void startRun(LoadTracker *tracker);
    void stopRun() { m_tracker = nullptr; }
    QString lastError() const { return m_error; }

private:
    struct Client
    {
        int fd = -1;
        int index = -1; // receiver index, -1 for the publisher
        QSocketNotifier *rd = nullptr;
        QSocketNotifier *wr = nullptr;
        QByteArray in;  // an unfinished packet from the last read
        QByteArray out; // what the socket did not take yet
        bool connected = false; // CONNACK seen
        bool ready = false;     // publisher: connected; subscriber: SUBACK seen
        bool dead = false;
    };

    Client *newClient(const QByteArray &id, int index);
    void readClient(Client *c);
    void send(Client *c, const QByteArray &bytes);
    void flush(Client *c);
    // Takes the complete packets off the front of c->in.
    void packets(Client *c, const char *data, qsizetype size);
    void packet(Client *c, quint8 type, const char *body, int size);
    void drop(Client *c, const QString &why);
    void pump();
    void fail(const QString &what);

    quint16 m_port;
    std::vector<std::unique_ptr<Client>> m_subs;
    std::unique_ptr<Client> m_pub;
    LoadTracker *m_tracker = nullptr;
    bool m_pumping = false;
    QString m_error;
};
