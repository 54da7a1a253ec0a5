#pragma once
// One publisher and N subscribers on a mosquitto broker at QoS 0, as lean as
// a client can be so that the broker, not this program, sets the pace: plain
// sockets in the program's epoll set (bench_epoll.h), every read as large as
// the kernel has, and each pass's publishes written with one system call.

#include "bench/common/bench_epoll.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <memory>
#include <vector>

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
    QString lastError() const;

private:
    struct Client
    {
        explicit Client(MqttFanout *owner, int index);
        int index; // receiver index, -1 for the publisher
        QByteArray in; // an unfinished packet from the last read
        bool ready = false; // publisher: connected; subscriber: SUBACK seen
        QString refused;    // what the broker said no to, or sent unasked
        BenchConnection conn;
    };

    Client *newClient(const QByteArray &id, int index);
    void received(Client *c, const char *data, int size);
    // Takes the complete packets off the front of the data; keeps the rest.
    void packets(Client *c, const char *data, int size);
    void packet(Client *c, quint8 first, const char *body, int size);
    void pump();
    void fail(const QString &what);

    quint16 m_port;
    std::vector<std::unique_ptr<Client>> m_subs;
    std::unique_ptr<Client> m_pub;
    LoadTracker *m_tracker = nullptr;
    QString m_error;
};
