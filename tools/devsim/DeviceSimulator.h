#pragma once
// A bus device made of the server's own engine and CAN connector: it answers
// every message addressed to it with an echo and can send a stream of
// messages at a fixed rate.

#include "connectors/AbstractConnector.h"
#include "engine/CorvidEngine.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>
#include <cstdint>
#include <memory>

struct DeviceSimulatorOptions {
    QString plugin = QStringLiteral("virtualcan");
    QString device = QStringLiteral("can0");
    uint16_t address = 2;
    bool echo = true;
    bool quiet = false;
    // Stream: `rate` messages per second (0: none) to `to`, `count` in all
    // (0: without end), each `length` bytes.
    double rate = 0;
    uint64_t count = 0;
    uint16_t length = 8;
    uint16_t to = 1;
    uint16_t msgId = 0x200;
    bool exitWhenDone = false;
    // Replay of a message log's I lines (empty: none), at `speed` times the
    // recorded pace (0: as fast as the bus takes them); ends when done
    // unless `loop`.
    QString replayFile;
    double speed = 1;
    bool loop = false;
};

class LogReplay;
class QSocketCAN_connector;

class DeviceSimulator : public QObject {
    Q_OBJECT
public:
    explicit DeviceSimulator(const DeviceSimulatorOptions &options, QObject *parent = nullptr);
    ~DeviceSimulator() override;

    // False and the reason when a replay file cannot be read.
    bool start(QString *error = nullptr);

    uint64_t received() const { return m_received; }
    uint64_t echoed() const { return m_echoed; }
    uint64_t streamed() const { return m_streamed; }
    // "sent N, failed N, skipped N (O lines), malformed N" of a replay.
    QString replaySummary() const;

signals:
    void finished();

private:
    void onStateChanged(AbstractConnector::HWState state);
    void onMessage(const corvid_message *message);
    void onEngineError(uint16_t code);
    void sendEchoes();
    void streamTick();
    bool send(uint16_t msgId, uint16_t to, const QByteArray &data);
    bool sendAs(uint16_t from, uint16_t msgId, uint16_t to, const QByteArray &data);
    void replayPump();
    void replayResume();
    void finishReplay();
    void finishWhenSent();
    void finishIfSent();
    void print(const QString &line) const;

    DeviceSimulatorOptions m_options;
    CorvidEngine m_engine;
    std::unique_ptr<QSocketCAN_connector> m_connector;
    bool m_joined = false;
    bool m_finishing = false;  // finished() once everything sent has left
    QTimer m_rejoinTimer;
    QTimer m_streamTimer;
    QElapsedTimer m_streamClock;
    uint64_t m_received = 0;
    uint64_t m_echoed = 0;
    uint64_t m_streamed = 0;
    uint64_t m_streamFailed = 0;
    // Echoes wait for the event loop: the engine is still inside its receive
    // path when a message is handed over.
    struct Pending {
        uint16_t msgId;
        uint16_t to;
        QByteArray data;
    };
    QList<Pending> m_pendingEchoes;

    std::unique_ptr<LogReplay> m_replay;
    QTimer m_replayTimer;
    QElapsedTimer m_replayClock;
    double m_replayBaseMs = 0;
    bool m_haveItem = false;
    bool m_replayDone = false;
    corvid_owned_message m_item;
    double m_itemDueMs = 0;
    uint64_t m_replaySent = 0;
    uint64_t m_replayFailed = 0;
};
