#pragma once
// Hosts Qt's virtual CAN bus in a separate corvid-vbus process while the object lives, as deployments do:
// the test program and every process it starts only join the bus.

#include "tests/common/child_process.h"

#include <QByteArray>
#include <QString>
#include <QtTest>

class VirtualBusHost {
public:
    // False (and the reason in error()) when the tool is missing or the bus does not come up.
    bool start()
    {
        const QString bin = qEnvironmentVariable("CORVID_BUILD_DIR") + QStringLiteral("/tools/vbus/corvid-vbus");
        m_proc.setProcessChannelMode(QProcess::MergedChannels);
        m_proc.start(bin, QStringList());
        if (!m_proc.waitForStarted(5000)) {
            m_error = bin + QStringLiteral(": ") + m_proc.errorString();
            return false;
        }
        QByteArray said;
        const bool up = QTest::qWaitFor(
            [&] {
                said += m_proc.readAll();
                return said.contains("hosting") || m_proc.state() == QProcess::NotRunning;
            },
            10000);
        if (up && said.contains("hosting"))
            return true;
        m_error = QString::fromLocal8Bit(said + m_proc.readAll());
        return false;
    }
    QString error() const { return m_error; }

    // Takes the bus away at once, as a crash of its host would. Whichever process opens a virtual CAN device
    // next hosts the bus then, so a new host started afterwards may find the port taken.
    void kill()
    {
        m_proc.kill();
        m_proc.waitForFinished(5000);
    }

    // Ends the host as an operator would; its exit code (-1 when it hung or crashed).
    int stop()
    {
        if (m_proc.state() == QProcess::NotRunning)
            return m_proc.exitStatus() == QProcess::NormalExit ? m_proc.exitCode() : -1;
        m_proc.terminate();
        if (m_proc.waitForFinished(10000))
            return m_proc.exitStatus() == QProcess::NormalExit ? m_proc.exitCode() : -1;
        kill();
        return -1;
    }

    ~VirtualBusHost() { stop(); }

private:
    ChildProcess m_proc;
    QString m_error;
};
