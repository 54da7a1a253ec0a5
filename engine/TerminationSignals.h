#pragma once
// SIGTERM and SIGINT end the event loop like an ordinary quit, so links are
// closed and logs flushed before the process ends. SIGHUP, once a handler is
// given, calls it from the event loop and leaves the process running. Call
// after the application object exists.

#include <functional>

class QCoreApplication;

void corvid_quit_on_termination_signals(QCoreApplication &app);
void corvid_on_hangup_signal(QCoreApplication &app, std::function<void()> handler);
