#pragma once
// Runs a built program of this project (the server by default) in a scratch directory of its own, with a
// configuration file written by the test; the device simulator beside it.

#include "tests/common/child_process.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QPair>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>

using ConfigParams = QList<QPair<QString, QString>>;

// A program of the build tree, e.g. "app/corvid-server"; a test that needs it fails when it is missing.
inline QString builtProgram(const QString &relative)
{
    return qEnvironmentVariable("CORVID_BUILD_DIR") + QLatin1Char('/') + relative;
}

inline uint16_t freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

inline QString readText(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

// Starts a program and waits until its standard output holds `marker`; output read so far goes to `seen`.
inline bool startUntil(QProcess &p, const QString &program, const QStringList &args, const QByteArray &marker,
                       QByteArray &seen, int ms = 10000)
{
    p.start(program, args);
    if (!p.waitForStarted(5000))
        return false;
    return QTest::qWaitFor([&] { return (seen += p.readAllStandardOutput()).contains(marker); }, ms);
}

// Ends a child with SIGTERM, then SIGKILL if it does not go.
inline void endProcess(QProcess &p)
{
    if (p.state() == QProcess::NotRunning)
        return;
    p.terminate();
    if (!p.waitForFinished(5000)) {
        p.kill();
        p.waitForFinished(5000);
    }
}

// A configuration file in the server's format, one entry per parameter.
inline bool writeConfig(const QString &path, const ConfigParams &params)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    QByteArray xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Config>\n<ConfigVer>2</ConfigVer>\n";
    for (const auto &p : params)
        xml += "<Parameter><ParmName>" + p.first.toUtf8() + "</ParmName><ParmDesc>d</ParmDesc><ParmValue>" +
               p.second.toUtf8() + "</ParmValue></Parameter>\n";
    xml += "</Config>\n";
    return f.write(xml) == xml.size();
}

// Headless, no link, no Telnet terminal, no client limit, logs under server_logs/, listening on `port`.
inline ConfigParams headlessParams(uint16_t port, const QString &interface = QStringLiteral("none"))
{
    return {{"Interface", interface}, {"DisableGUI", "1"}, {"TcpPort", QString::number(port)},
            {"ErrorLogFile", "server_logs/error_log"}, {"CorvidLogFile", "server_logs/corvid_log"},
            {"TELNET_Devices", "none"}, {"MaxTCPClients", "0"}};
}

// A headless server on the virtual CAN bus, logs under server_logs/.
inline ConfigParams virtualCanParams(uint16_t port)
{
    return headlessParams(port, QStringLiteral("virtualcan")) +
           ConfigParams{{"SocketCANPortName", "can0"}, {"NumLogThreads", "0"}, {"MaxTCPClients", "8"}};
}

// The device simulator as an echo device on the virtual bus; `output` keeps its "rx ..." line per message.
struct Devsim {
    ChildProcess proc;
    QByteArray output;
    QStringList args;

    explicit Devsim(uint16_t address = 2, const QStringList &extra = {})
        : args(QStringList{QStringLiteral("--address"), QString::number(address), QStringLiteral("--device"),
                           QStringLiteral("can0")} + extra)
    {
    }
    ~Devsim() { endProcess(proc); }
    bool start()
    {
        output.clear();
        proc.setProcessChannelMode(QProcess::MergedChannels);
        return startUntil(proc, builtProgram(QStringLiteral("tools/devsim/corvid-devsim")), args, "joined", output);
    }
};

struct ServerRun {
    QTemporaryDir dir;
    ChildProcess proc;
    // Where the run's configuration puts its logs.
    QString errorLogDir = QStringLiteral("server_logs");
    QString csvDir = QStringLiteral("server_logs/corvid_log");

    ~ServerRun()
    {
        if (proc.state() != QProcess::NotRunning) {
            proc.kill();
            proc.waitForFinished(5000);
        }
    }
    QString path(const QString &rel) const { return dir.path() + QLatin1Char('/') + rel; }
    bool configure(const ConfigParams &params) { return writeConfig(path(QStringLiteral("server_config.xml")), params); }

    void start(const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment(),
               const QString &program = builtProgram(QStringLiteral("app/corvid-server")), const QStringList &args = {})
    {
        proc.setWorkingDirectory(dir.path());
        proc.setProcessEnvironment(env);
        proc.start(program, args);
    }
    QStringList filesIn(const QString &rel, const QString &pattern) const
    {
        QStringList out;
        for (const auto &n : QDir(path(rel)).entryList({pattern}, QDir::Files, QDir::Name))
            out << path(rel) + QLatin1Char('/') + n;
        return out;
    }
    QString errorLog() const
    {
        const QStringList files = filesIn(errorLogDir, QStringLiteral("*.txt"));
        return files.isEmpty() ? QString() : readText(files.last());
    }
    // How often a diagnostic was given over all error logs: its entries and
    // the copies the logs counted instead ("last message repeated N times").
    int diagnosticCount(const QString &text) const
    {
        const QString shown = QRegularExpression::escape(text);
        const QRegularExpression entry(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d: (last message repeated (\\d+) times: )?") +
                                           shown + QLatin1Char('$'),
                                       QRegularExpression::MultilineOption);
        int n = 0;
        for (const QString &file : filesIn(errorLogDir, QStringLiteral("*.txt")))
            for (auto it = entry.globalMatch(readText(file)); it.hasNext();) {
                const auto m = it.next();
                n += m.capturedLength(2) ? m.captured(2).toInt() : 1;
            }
        return n;
    }
    // Until the error log holds `text` or the program has ended.
    bool waitForErrorLog(const QString &text, int ms = 15000)
    {
        (void)QTest::qWaitFor([&] { return errorLog().contains(text) || proc.state() == QProcess::NotRunning; }, ms);
        return errorLog().contains(text);
    }
    bool waitStarted(uint16_t port) { return waitForErrorLog(QStringLiteral("started at port %1").arg(port)); }
    QStringList csvLines() const
    {
        QStringList lines;
        for (const auto &f : filesIn(csvDir, QStringLiteral("*.csv")))
            lines += readText(f).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        return lines;
    }
    // Resident memory of the running program, in bytes (0 once it is gone).
    qint64 rss() const
    {
        const QString status = readText(QStringLiteral("/proc/%1/status").arg(proc.processId()));
        const QRegularExpression vmRss(QStringLiteral("VmRSS:\\s*(\\d+) kB"));
        return vmRss.match(status).captured(1).toLongLong() * 1024;
    }
    // The sanitizer keeps freed memory resident (its quarantine); memory tests measure without that.
    static QProcessEnvironment withoutQuarantine()
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        const QString off = QStringLiteral(":quarantine_size_mb=0:allocator_release_to_os_interval_ms=0");
        env.insert(QStringLiteral("ASAN_OPTIONS"), env.value(QStringLiteral("ASAN_OPTIONS")) + off);
        return env;
    }
    // Ends the program with a signal; its exit code, -2 when it hung, -3 when it crashed.
    int stop(int sig = SIGTERM)
    {
        ::kill(pid_t(proc.processId()), sig);
        if (!proc.waitForFinished(20000))
            return -2;
        return proc.exitStatus() == QProcess::NormalExit ? proc.exitCode() : -3;
    }
};
