#pragma once
// The bridge's connection to its broker. It lives in a thread of its own and
// drives libmosquitto's non-threaded calls from that thread's event loop:
// the socket on notifiers, the library's housekeeping on a timer. Connecting
// (name lookup, TCP, TLS) may block; it blocks only this thread.

#include "engine/corvid_types.h"
#include "server/CorvidMqttSettings.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QMutex>
#include <QObject>
#include <QSet>
#include <QString>
#include <QVector>
#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <memory>

struct mosquitto;
struct mosquitto_message;
struct mqtt5__property;
class QSocketNotifier;
class QTimer;

// One message for the broker, as the hub logged it.
struct MqttRecord {
    corvid_owned_message msg;
    quint64 stamp = 0;
    qint64 timeMs = 0;
    AX25HeaderOpt hdr;
    bool toLink = false;
    quint8 status = 0;
    // What it holds in memory, roughly: its data and the bookkeeping around it.
    int64_t weight() const { return int64_t(msg.data.size()) + 128; }
};

// The hand-over from the hub's thread to the session, bounded in bytes: past
// the bound the oldest records go, counted.
class MqttOutbox {
public:
    explicit MqttOutbox(int64_t limitBytes) : m_limit(limitBytes) {}
    // Hub side. True when the session is to be woken for it.
    bool push(MqttRecord &&record);
    // Session side: up to `max` records, oldest first. Once nothing is left,
    // the next push asks for a wake again.
    void take(std::deque<MqttRecord> &out, size_t max);
    // Records that were handed out and not delivered, back to the front.
    void putBack(std::deque<MqttRecord> &records);
    // Records dropped since the last call; dropping may be said again after it.
    quint64 takeDropped();
    size_t size() const;
    // What it holds now, and all it ever dropped.
    struct Counts {
        int64_t bytes = 0;
        quint64 dropped = 0;
    };
    Counts counts() const;

private:
    mutable QMutex m_mutex;
    std::deque<MqttRecord> m_queue;
    int64_t m_bytes = 0;
    const int64_t m_limit;
    quint64 m_dropped = 0;
    quint64 m_droppedTotal = 0;
    bool m_dropSaid = false;
    bool m_sessionWillLook = false;
};

// Notices that a peer can repeat at will: at most a few a minute, the rest counted.
class MqttNoticeLimit {
public:
    void say(const QString &text, bool info = false);

private:
    QElapsedTimer m_window;
    int m_inWindow = 0;
    int m_leftOut = 0;
};

// A message that a client of the broker asks the bridge to send to the link.
struct MqttRequest {
    corvid_owned_message msg;
    QString origin;  // "topic ..., correlation data ..." for diagnostics
};

class MqttSession : public QObject {
public:
    MqttSession(const CorvidMqttSettings &settings, MqttOutbox *outbox);
    ~MqttSession() override;

    // Everything below runs in the session's thread.
    void start();
    void drain();
    void setStatus(const QByteArray &json);
    // Publishes what waits for at most `ms`, then leaves with the will (the
    // broker shows the server offline) and calls `done`.
    void finish(int ms, std::function<void()> done);

    // Called in the session's thread for every request that passed the checks.
    std::function<void(MqttRequest)> onRequest;
    // How long a connection may go without the broker's answer to it.
    int connackTimeoutMs = 10000;
    // Whether the broker has taken the connection; safe from any thread.
    bool brokerConnected() const { return m_brokerUp; }

private:
    void connectNow();
    void connected();
    void fail(const QString &reason);
    void teardown();
    void scheduleRetry();
    void readReady();
    void writeReady();
    void afterIo();
    void updateWrite();
    bool publishRecord(MqttRecord &record);
    void publishStatus();
    void published(int mid, int reason);
    void request(const mosquitto_message *message, const mqtt5__property *props);
    void leave();
    QString where() const;

    static void onConnect(mosquitto *, void *self, int rc, int flags, const mqtt5__property *props);
    static void onDisconnect(mosquitto *, void *self, int rc, const mqtt5__property *props);
    static void onPublish(mosquitto *, void *self, int mid, int reason, const mqtt5__property *props);
    static void onMessage(mosquitto *, void *self, const mosquitto_message *message, const mqtt5__property *props);
    static void onLog(mosquitto *, void *self, int level, const char *text);

    const CorvidMqttSettings m_settings;
    MqttOutbox *m_outbox;
    mosquitto *m_mosq = nullptr;
    QSocketNotifier *m_read = nullptr;
    QSocketNotifier *m_write = nullptr;
    std::unique_ptr<QTimer> m_misc, m_retry, m_connackTimer, m_finishTimer;
    bool m_connected = false;
    std::atomic<bool> m_brokerUp{false};
    bool m_everConnected = false;
    bool m_outageSaid = false;
    bool m_failing = false;      // the current attempt has failed; its end is due
    bool m_drainDue = false;
    bool m_finishing = false;
    bool m_inPublish = false;
    QString m_reason;            // why the current attempt failed
    QString m_libraryError;      // the library's last error line (TLS says more there)
    int m_retryMs = 1000;
    std::function<void()> m_done;

    // Handed to the library and not yet through: QoS 1 until the broker's
    // acknowledgement, QoS 0 until written. Put back in order on a loss.
    std::map<quint64, MqttRecord> m_inflight;
    QHash<int, quint64> m_midSeq;
    QSet<int> m_doneEarly;       // finished inside the publish call that made them
    QSet<int> m_ownMids;         // status publishes, outside the window
    quint64 m_nextSeq = 0;
    int64_t m_inflightBytes = 0;

    QByteArray m_status;
    QByteArray m_statusTopic;

    // Correlation data of recent requests (a digest each, so a peer cannot
    // make this hold more than a few tens of KiB).
    QVector<QByteArray> m_seenRing;
    QSet<QByteArray> m_seen;
    int m_seenNext = 0;

    MqttNoticeLimit m_notices;
};
