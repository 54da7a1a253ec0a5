#pragma once
// Readiness and watchdog for systemd (Type=notify). Everything here is a no-op
// unless systemd gave the process a notify socket, so a server started by hand
// behaves exactly as before.

#include <QObject>
#include <QTimer>

class SystemdNotify : public QObject {
    Q_OBJECT
public:
    explicit SystemdNotify(QObject *parent = nullptr);

    // Tells systemd the server is ready; only the first call sends anything.
    void notifyReady();

private:
    void send(const char *state);

    QTimer m_watchdog;
    bool m_active = false;
    bool m_readySent = false;

    Q_DISABLE_COPY(SystemdNotify)
};
