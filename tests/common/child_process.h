#pragma once
// Every program a test starts is one of these: it dies with the test program, even when that crashes or is
// killed at a timeout, so no test leaves a process running behind it.

#include <QProcess>
#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

// For a child just forked from `parent`: ends with it, and at once if it has already gone.
inline void dieWithParent(pid_t parent)
{
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent)
        ::_exit(127);
}

class ChildProcess : public QProcess {
public:
    using QProcess::QProcess;

protected:
    void setupChildProcess() override { dieWithParent(m_parent); }

private:
    const pid_t m_parent = ::getpid();
};
