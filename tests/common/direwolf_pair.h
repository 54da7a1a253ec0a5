#pragma once
// Two Dire Wolf modems joined without a sound card: A modulates into a FIFO
// (an ALSA "file" PCM) that B reads as its audio input and demodulates. A
// frame given to A's KISS or AGW port comes out of B's ports. Used by the
// tests and the benchmarks; everything lives in a scratch directory.
//
// Without a sound card nothing paces the audio, so frames cross faster than
// the baud rate allows. With `realTime`, pv feeds each modem's input at the
// sample rate, and A's transmit audio can only drain as fast as B reads it.

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

class DirewolfPair {
public:
    struct Modem {
        QProcess proc;
        QProcess pacer;
        QByteArray output;
        uint16_t kissPort = 0;
        uint16_t agwPort = 0;
    };
    Modem a, b;
    int baud = 1200;
    bool realTime = false;
    static constexpr int sampleRate = 44100;

    ~DirewolfPair() { stop(); }

    // Starts both; on failure returns false and why() tells the reason.
    bool start()
    {
        const QString exe = QStandardPaths::findExecutable(QStringLiteral("direwolf"));
        if (exe.isEmpty())
            return fail(QStringLiteral("direwolf is not installed"));
        if (realTime && QStandardPaths::findExecutable(QStringLiteral("pv")).isEmpty())
            return fail(QStringLiteral("pv is not installed"));
        if (!m_dir.isValid())
            return fail(QStringLiteral("no scratch directory"));
        const QString fifo = m_dir.filePath(QStringLiteral("audio"));
        if (mkfifo(QFile::encodeName(fifo).constData(), 0600) != 0)
            return fail(QStringLiteral("cannot make a FIFO"));
        writeFile(QStringLiteral("alsa.conf"), QStringLiteral("pcm.dwtx {\n type file\n slave.pcm \"null\"\n file \"%1\"\n"
                                                              " format \"raw\"\n}\n")
                                                   .arg(fifo));
        for (Modem *m : {&a, &b}) {
            m->kissPort = freePort();
            m->agwPort = freePort();
            writeFile(m == &a ? QStringLiteral("a.conf") : QStringLiteral("b.conf"),
                      QStringLiteral("ADEVICE stdin %1\nARATE %5\nMODEM %2\nAGWPORT %3\nKISSPORT %4\n")
                          .arg(m == &a ? QStringLiteral("dwtx") : QStringLiteral("null"))
                          .arg(baud)
                          .arg(m->agwPort)
                          .arg(m->kissPort)
                          .arg(sampleRate));
        }
        // Holding both ends open ourselves, opening the FIFO for B's input
        // never waits for A.
        m_fifoFd = ::open(QFile::encodeName(fifo).constData(), O_RDWR);
        if (m_fifoFd < 0)
            return fail(QStringLiteral("cannot open the FIFO"));
        launch(b, exe, QStringLiteral("b.conf"), fifo, {});
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("ALSA_CONFIG_PATH"),
                   QStringLiteral("/usr/share/alsa/alsa.conf:") + m_dir.filePath(QStringLiteral("alsa.conf")));
        launch(a, exe, QStringLiteral("a.conf"), QStringLiteral("/dev/zero"), env);
        QElapsedTimer t;
        t.start();
        while (!(ready(a) && ready(b))) {
            if (a.proc.state() == QProcess::NotRunning || b.proc.state() == QProcess::NotRunning ||
                t.elapsed() > 15000)
                return fail(QStringLiteral("direwolf did not come up: ") + QString::fromLocal8Bit(a.output + b.output));
            a.proc.waitForReadyRead(100);
            b.proc.waitForReadyRead(100);
        }
        return true;
    }

    void stop()
    {
        if (m_fifoFd >= 0)
            ::close(m_fifoFd);
        m_fifoFd = -1;
        for (Modem *m : {&a, &b}) {
            for (QProcess *p : {&m->proc, &m->pacer}) {
                if (p->state() == QProcess::NotRunning)
                    continue;
                p->terminate();
                if (!p->waitForFinished(5000)) {
                    p->kill();
                    p->waitForFinished(5000);
                }
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
    void launch(Modem &m, const QString &exe, const QString &conf, const QString &input,
                const QProcessEnvironment &env)
    {
        m.proc.setWorkingDirectory(m_dir.path());
        m.proc.setProcessChannelMode(QProcess::MergedChannels);
        if (realTime) {
            // 16-bit mono samples at the sample rate.
            m.pacer.setStandardInputFile(input);
            m.pacer.setStandardOutputProcess(&m.proc);
            m.pacer.start(QStringLiteral("pv"), {QStringLiteral("-q"), QStringLiteral("-L"),
                                                 QString::number(2 * sampleRate)});
        } else {
            m.proc.setStandardInputFile(input);
        }
        if (!env.isEmpty())
            m.proc.setProcessEnvironment(env);
        m.proc.start(exe, {QStringLiteral("-t"), QStringLiteral("0"), QStringLiteral("-c"), conf});
    }

    static bool ready(Modem &m)
    {
        m.output += m.proc.readAll();
        return m.output.contains("Ready to accept KISS TCP") && m.output.contains("Ready to accept AGW");
    }

    void writeFile(const QString &name, const QString &text)
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
