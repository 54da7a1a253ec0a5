#pragma once
// SIGTERM and SIGINT end the event loop like an ordinary quit, so links are
// closed and logs flushed before the process ends. Call once, after the
// application object exists.

class QCoreApplication;

void corvid_quit_on_termination_signals(QCoreApplication &app);
