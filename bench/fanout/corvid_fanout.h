#pragma once
// Fan-out through the server: one Observer injects messages as if they came
// from the bus, N Observers receive them.

#include <QObject>
#include <QSslConfiguration>
#include <memory>
#include <optional>
#include <vector>

class CorvidLoadClient;
class LoadTracker;
struct crs_msg2app_t;

class CorvidFanout : public QObject
{
    Q_OBJECT
public:
    // With `tls`, every connection speaks TLS.
    explicit CorvidFanout(quint16 port, std::optional<QSslConfiguration> tls = {}, QObject *parent = nullptr);
    ~CorvidFanout() override;

    bool connectInjector(int timeoutMs);
    // Grows the receiver set to `total`; waits until each is identified.
    bool growReceivers(int total, int timeoutMs);
    int receivers() const { return int(m_receivers.size()); }

    void startRun(LoadTracker *tracker);
    void stopRun() { m_tracker = nullptr; }
    QString lastError() const;

    // Message fields of every injected message.
    static constexpr quint16 kMsgId = 0x0B01;
    static constexpr quint16 kFrom = 0x0042;
    static constexpr quint16 kTo = 0x0001;

private:
    void received(CorvidLoadClient *c, const crs_msg2app_t &m);
    void pump();

    quint16 m_port;
    std::optional<QSslConfiguration> m_tls;
    std::unique_ptr<CorvidLoadClient> m_injector;
    std::vector<std::unique_ptr<CorvidLoadClient>> m_receivers;
    LoadTracker *m_tracker = nullptr;
    bool m_pumping = false;
    QString m_error;
};
