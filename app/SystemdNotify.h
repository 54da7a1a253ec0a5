#pragma once
// Readiness and watchdog for systemd (Type=notify). Everything here is a no-op
// unless systemd gave the process a notify socket, so a server started by hand
// behaves exactly as before.

#include <QObject>
#include <QTimer>
#include <functional>

class SystemdNotify : public QObject {
    Q_OBJECT
public:
    // `listening` tells whether the control port is open; readiness is sent
    // the first time it says yes (checked at once and then once a second, so
    // a port that only opens after a retry is still announced).
    explicit SystemdNotify(std::function<bool()> listening, QObject *parent = nullptr);

    bool active() const { return m_active; }
    bool readySent() const { return m_readySent; }
    // The watchdog ping interval in milliseconds, 0 without a watchdog.
    int watchdogIntervalMs() const { return m_watchdog.isActive() ? m_watchdog.interval() : 0; }

private:
    void checkReady();
    void send(const char *state);

    std::function<bool()> m_listening;
    QTimer m_readyPoll;
    QTimer m_watchdog;
    bool m_active = false;
    bool m_readySent = false;

    Q_DISABLE_COPY(SystemdNotify)
};
