#include "app/SystemdNotify.h"

#include "server/CorvidServer.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QMetaEnum>
#include <systemd/sd-daemon.h>

#include <cstdint>
#include <utility>

Q_LOGGING_CATEGORY(lcSystemd, "corvid.systemd", QtWarningMsg)

SystemdNotify::SystemdNotify(QObject *parent) : QObject(parent)
{
    m_active = !qEnvironmentVariableIsEmpty("NOTIFY_SOCKET");
    if (!m_active)
        return;

    // Pinged from the event loop itself: a loop that hangs stops the pings.
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0) {
        const uint64_t ms = usec / 2000;  // half the timeout, as systemd advises
        m_watchdog.setInterval(int(ms > 0 ? ms : 1));
        connect(&m_watchdog, &QTimer::timeout, this, [this] { send("WATCHDOG=1"); });
        m_watchdog.start();
    }
    if (QCoreApplication *app = QCoreApplication::instance())
        connect(app, &QCoreApplication::aboutToQuit, this, [this] { send("STOPPING=1"); });
}

void SystemdNotify::notifyReady()
{
    if (!m_active || m_readySent)
        return;
    m_readySent = true;
    send("READY=1");
}

QString SystemdNotify::statusText(const CorvidServer &server)
{
    const AbstractConnector *link = server.connector();
    const char *state = QMetaEnum::fromType<AbstractConnector::HWState>().valueToKey(
        link ? int(link->state) : int(AbstractConnector::HW_NOTINIT));
    return QStringLiteral("Link %1: %2; clients: %3")
        .arg(link ? link->interfaceName : QStringLiteral("none"), QLatin1String(state ? state : "unknown"))
        .arg(server.tcpServer()->clientCount());
}

void SystemdNotify::followServer(CorvidServer &server)
{
    if (!m_active)
        return;
    m_server = &server;
    // Counted once the event has been handled, and one update for a burst.
    auto changed = [this] {
        if (!std::exchange(m_statusQueued, true))
            QMetaObject::invokeMethod(this, &SystemdNotify::sendStatus, Qt::QueuedConnection);
    };
    connect(&server, &CorvidServer::statusChanged, this, changed);
    sendStatus();
}

void SystemdNotify::sendStatus()
{
    m_statusQueued = false;
    const QString text = statusText(*m_server);
    if (text == m_lastStatus)
        return;
    m_lastStatus = text;
    send("STATUS=" + text.toUtf8());
}

void SystemdNotify::send(const QByteArray &state)
{
    const int rc = sd_notify(0, state.constData());
    qCDebug(lcSystemd) << "sd_notify" << state << rc;
}
