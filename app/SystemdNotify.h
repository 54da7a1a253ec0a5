#pragma once
// Readiness, status and watchdog for systemd (Type=notify). Everything here is
// a no-op unless systemd gave the process a notify socket, so a server started
// by hand behaves exactly as before.

#include <QObject>
#include <QString>
#include <QTimer>

class CorvidServer;

class SystemdNotify : public QObject {
    Q_OBJECT
public:
    explicit SystemdNotify(QObject *parent = nullptr);

    // Tells systemd the server is ready; only the first call sends anything.
    void notifyReady();

    // From now on STATUS= tells the link's state and the number of connected
    // applications, sent again whenever either changes. The hub must outlive
    // this object.
    void followServer(CorvidServer &server);

    // "Link <interface>: <state>; clients: <n>".
    static QString statusText(const CorvidServer &server);

private:
    void send(const QByteArray &state);
    void sendStatus();

    QTimer m_watchdog;
    bool m_active = false;
    bool m_readySent = false;
    CorvidServer *m_server = nullptr;
    bool m_statusQueued = false;
    QString m_lastStatus;

    Q_DISABLE_COPY(SystemdNotify)
};
