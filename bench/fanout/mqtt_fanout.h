#pragma once
// One publisher and N subscribers on a mosquitto broker, all driven from the
// Qt event loop through the library's non-threaded read/write/misc calls.

#include <QObject>
#include <QTimer>
#include <memory>
#include <vector>

struct mosquitto;
struct mosquitto_message;
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
        MqttFanout *owner = nullptr;
        mosquitto *m = nullptr;
        QSocketNotifier *rd = nullptr;
        QSocketNotifier *wr = nullptr;
        int index = -1; // receiver index, -1 for the publisher
        bool ready = false;
        bool dead = false;
    };

    Client *newClient(const QByteArray &id, int index);
    void attach(Client *c);
    void readClient(Client *c);
    void writeClient(Client *c);
    void updateWrite(Client *c);
    void pump();
    void fail(const QString &what);

    static void onConnect(mosquitto *, void *obj, int rc);
    static void onSubscribe(mosquitto *, void *obj, int mid, int qos_count, const int *granted);
    static void onMessage(mosquitto *, void *obj, const mosquitto_message *msg);

    quint16 m_port;
    std::vector<std::unique_ptr<Client>> m_subs;
    std::unique_ptr<Client> m_pub;
    LoadTracker *m_tracker = nullptr;
    bool m_pumpPending = false;
    QTimer m_misc;
    QString m_error;
};
