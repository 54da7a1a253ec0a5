#pragma once
// Round trip through the bus: a Manager sends each message to the simulated
// device, which echoes it; the echo comes back to the Manager as a bus message.

#include <QObject>
#include <QStringList>
#include <memory>

class CorvidLoadClient;
class LoadTracker;
struct crs_msg2app_t;

class CorvidEcho : public QObject
{
    Q_OBJECT
public:
    explicit CorvidEcho(quint16 port, QObject *parent = nullptr);
    ~CorvidEcho() override;

    static constexpr quint16 kOwnAddress = 0x0001;
    static constexpr quint16 kDeviceAddress = 0x0002;
    static constexpr quint16 kMsgId = 0x0B02;
    // How the device simulator is started so that it echoes as kDeviceAddress.
    static QStringList devsimArguments();

    // Connects, identifies and waits until the server reports its link ready.
    bool connectManager(int timeoutMs);
    void startRun(LoadTracker *tracker);
    void stopRun() { m_tracker = nullptr; }
    QString lastError() const;
    quint64 ownEchoes() const { return m_ownEchoes; }

private:
    void received(const crs_msg2app_t &m);
    void pump();

    quint16 m_port;
    std::unique_ptr<CorvidLoadClient> m_manager;
    LoadTracker *m_tracker = nullptr;
    bool m_pumping = false;
    quint64 m_ownEchoes = 0;
    QString m_error;
};
