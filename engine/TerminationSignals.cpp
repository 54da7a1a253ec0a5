#include "engine/TerminationSignals.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int g_signalPipe[2] = {-1, -1};
std::function<void()> g_hangupHandler;

void onSignal(int signo)
{
    const char byte = char(signo);
    // Only async-signal-safe work here: the event loop does the rest.
    ssize_t n = ::write(g_signalPipe[1], &byte, 1);
    (void)n;
}

void catchSignal(int signo)
{
    struct sigaction sa = {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(signo, &sa, nullptr);
}

// The signal numbers arrive as bytes on a socket the event loop watches.
bool openSignalPipe(QCoreApplication &app)
{
    if (g_signalPipe[0] >= 0)
        return true;
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPipe) != 0)
        return false;
    auto *notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [&app, notifier]() {
        char buf[16];
        const ssize_t n = ::read(g_signalPipe[0], buf, sizeof buf);
        for (ssize_t i = 0; i < n; ++i) {
            if (buf[i] != char(SIGHUP)) {
                notifier->setEnabled(false);
                app.quit();
                return;
            }
            if (g_hangupHandler)
                g_hangupHandler();
        }
    });
    return true;
}

}  // namespace

void corvid_quit_on_termination_signals(QCoreApplication &app)
{
    if (!openSignalPipe(app))
        return;
    catchSignal(SIGTERM);
    catchSignal(SIGINT);
}

void corvid_on_hangup_signal(QCoreApplication &app, std::function<void()> handler)
{
    if (!openSignalPipe(app))
        return;
    g_hangupHandler = std::move(handler);
    catchSignal(SIGHUP);
}
