#include "app/SystemdNotify.h"

#include <QLoggingCategory>
#include <systemd/sd-daemon.h>

#include <cstdint>

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
}

void SystemdNotify::notifyReady()
{
    if (!m_active || m_readySent)
        return;
    m_readySent = true;
    send("READY=1");
}

void SystemdNotify::send(const char *state)
{
    const int rc = sd_notify(0, state);
    qCDebug(lcSystemd) << "sd_notify" << state << rc;
}
