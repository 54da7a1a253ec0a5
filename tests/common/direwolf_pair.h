#pragma once
// Two Dire Wolf modems without a sound card: A modulates into a FIFO (an ALSA "file" PCM) that B demodulates,
// so a frame given to A's KISS or AGW port comes out of B's ports. With `realTime`, pv paces each modem's input
// at the sample rate, so A's transmit audio drains only as fast as B reads it.

#include "tests/common/child_process.h"

#include <QFile>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QElapsedTimer>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

class DirewolfPair {
public:
    struct Modem {
        ChildProcess proc, pacer;
        QByteArray output;
        uint16_t kissPort = freePort(), agwPort = freePort();
    };
    Modem a, b;
    int baud = 1200;
    bool realTime = false;
    static constexpr int sampleRate = 44100;

    ~DirewolfPair() { stop(); }

    // False when they cannot run here; why() says why.
    bool start()
    {
        const QString exe = QStandardPaths::findExecutable(QStringLiteral("direwolf"));
        const QString fifo = m_dir.filePath(QStringLiteral("audio"));
        if (exe.isEmpty() || (realTime && QStandardPaths::findExecutable(QStringLiteral("pv")).isEmpty()))
            return fail(QStringLiteral("direwolf or pv is not installed"));
        if (mkfifo(QFile::encodeName(fifo).constData(), 0600) != 0)
            return fail(QStringLiteral("cannot make a FIFO"));
        // Holding the FIFO open both ways, B's input opens without waiting for A.
        m_fifoFd = ::open(QFile::encodeName(fifo).constData(), O_RDWR);
        write(QStringLiteral("alsa.conf"),
              QStringLiteral("pcm.dwtx {\n type file\n slave.pcm \"null\"\n file \"%1\"\n format \"raw\"\n}\n").arg(fifo));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        launch(b, exe, QStringLiteral("null"), fifo, env);
        env.insert(QStringLiteral("ALSA_CONFIG_PATH"),
                   QStringLiteral("/usr/share/alsa/alsa.conf:") + m_dir.filePath(QStringLiteral("alsa.conf")));
        launch(a, exe, QStringLiteral("dwtx"), QStringLiteral("/dev/zero"), env);
        QElapsedTimer t;
        t.start();
        while (!(ready(a) && ready(b))) {
            if (a.proc.state() == QProcess::NotRunning || b.proc.state() == QProcess::NotRunning || t.elapsed() > 15000)
                return fail(QStringLiteral("direwolf did not come up: ") + QString::fromLocal8Bit(a.output + b.output));
            a.proc.waitForReadyRead(50);  // output is read only while waiting here
            b.proc.waitForReadyRead(50);
        }
        return true;
    }

    void stop()
    {
        if (m_fifoFd >= 0)
            ::close(m_fifoFd);
        m_fifoFd = -1;
        for (QProcess *p : {&a.proc, &a.pacer, &b.proc, &b.pacer}) {
            if (p->state() != QProcess::NotRunning) {
                p->kill();
                p->waitForFinished(5000);
            }
        }
    }

    QString why() const { return m_why; }

    static uint16_t freePort()
    {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        return probe.serverPort();
    }

private:
    void launch(Modem &m, const QString &exe, const QString &audioOut, const QString &input,
                const QProcessEnvironment &env)
    {
        const QString conf = audioOut + QStringLiteral(".conf");
        write(conf, QStringLiteral("ADEVICE stdin %1\nARATE %2\nMODEM %3\nAGWPORT %4\nKISSPORT %5\n")
                        .arg(audioOut).arg(sampleRate).arg(baud).arg(m.agwPort).arg(m.kissPort));
        m.proc.setWorkingDirectory(m_dir.path());
        m.proc.setProcessChannelMode(QProcess::MergedChannels);
        m.proc.setProcessEnvironment(env);
        if (realTime) {  // 16-bit mono samples
            m.pacer.setStandardInputFile(input);
            m.pacer.setStandardOutputProcess(&m.proc);
            m.pacer.start(QStringLiteral("pv"), {QStringLiteral("-q"), QStringLiteral("-L"), QString::number(2 * sampleRate)});
        } else {
            m.proc.setStandardInputFile(input);
        }
        m.proc.start(exe, {QStringLiteral("-t"), QStringLiteral("0"), QStringLiteral("-c"), conf});
    }

    static bool ready(Modem &m)
    {
        m.output += m.proc.readAll();
        return m.output.contains("Ready to accept KISS TCP") && m.output.contains("Ready to accept AGW");
    }

    void write(const QString &name, const QString &text)
    {
        QFile f(m_dir.filePath(name));
        if (f.open(QIODevice::WriteOnly))
            f.write(text.toUtf8());
    }

    bool fail(const QString &why)
    {
        m_why = why;
        stop();
        return false;
    }

    QTemporaryDir m_dir;
    QString m_why;
    int m_fifoFd = -1;
};
