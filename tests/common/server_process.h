#pragma once
// The server program run in a scratch directory of its own, its configuration
// file, and a control application speaking the wire protocol to it.

#include "engine/corvid_types.h"
#include "server/corvid_wire.h"

#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

using Params = QList<QPair<QString, QString>>;

inline QString buildDir()
{
    return qEnvironmentVariable("CORVID_BUILD_DIR");
}

inline QString serverBinary()
{
    return buildDir() + QStringLiteral("/app/corvid-server");
}

inline QString devsimBinary()
{
    return buildDir() + QStringLiteral("/tools/devsim/corvid-devsim");
}

// A headless server on the virtual CAN bus, logs under server_logs/.
inline Params virtualCanParams(uint16_t port)
{
    return {{"Interface", "virtualcan"},        {"SocketCANPortName", "can0"},
            {"DisableGUI", "1"},                {"TcpPort", QString::number(port)},
            {"ErrorLogFile", "server_logs/error_log"}, {"CorvidLogFile", "server_logs/corvid_log"},
            {"NumLogThreads", "0"},             {"MaxTCPClients", "8"}};
}

inline uint16_t freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::Any, 0);
    return probe.serverPort();
}

inline void writeConfig(const QString &path, const Params &params)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QByteArray xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Config>\n<ConfigVer>2</ConfigVer>\n";
    for (const auto &p : params)
        xml += "<Parameter><ParmName>" + p.first.toUtf8() + "</ParmName><ParmDesc>d</ParmDesc><ParmValue>" +
               p.second.toUtf8() + "</ParmValue></Parameter>\n";
    xml += "</Config>\n";
    f.write(xml);
}

inline QString readAll(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(f.readAll());
}

// One run of the server program in its own scratch directory.
struct ServerRun {
    QTemporaryDir dir;
    QProcess proc;

    ~ServerRun()
    {
        if (proc.state() != QProcess::NotRunning) {
            proc.kill();
            proc.waitForFinished(5000);
        }
    }

    QString path(const QString &rel) const { return dir.path() + QLatin1Char('/') + rel; }

    void start(const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment())
    {
        proc.setWorkingDirectory(dir.path());
        proc.setProcessEnvironment(env);
        proc.setProcessChannelMode(QProcess::SeparateChannels);
        proc.start(serverBinary(), QStringList());
    }

    QStringList filesIn(const QString &rel, const QString &pattern) const
    {
        QStringList out;
        const auto names = QDir(path(rel)).entryList({pattern}, QDir::Files, QDir::Name);
        for (const auto &n : names)
            out << path(rel) + QLatin1Char('/') + n;
        return out;
    }

    // Where the run's configuration puts its logs.
    QString errorLogDir = QStringLiteral("server_logs");
    QString csvDir = QStringLiteral("server_logs/corvid_log");

    QString errorLog() const
    {
        const QStringList files = filesIn(errorLogDir, QStringLiteral("*.txt"));
        return files.isEmpty() ? QString() : readAll(files.last());
    }

    bool waitForErrorLog(const QString &text, int ms = 15000)
    {
        return QTest::qWaitFor([&] { return errorLog().contains(text) || proc.state() == QProcess::NotRunning; }, ms) &&
               errorLog().contains(text);
    }

    bool waitStarted(uint16_t port) { return waitForErrorLog(QStringLiteral("started at port %1").arg(port)); }

    QStringList csvLines() const
    {
        const QStringList files = filesIn(csvDir, QStringLiteral("*.csv"));
        QStringList lines;
        for (const auto &f : files)
            lines += readAll(f).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        return lines;
    }

    // Ends the server with a signal; returns its exit code (-2 when it hung).
    int stop(int sig = SIGTERM)
    {
        ::kill(pid_t(proc.processId()), sig);
        if (!proc.waitForFinished(20000))
            return -2;
        return proc.exitStatus() == QProcess::NormalExit ? proc.exitCode() : -3;
    }
};

// The device simulator as an echo device on the virtual bus; `output` keeps
// what it printed (one "rx ..." line per message it received).
struct Devsim {
    QProcess proc;
    QByteArray output;
    QStringList args;

    explicit Devsim(uint16_t address = 2, const QStringList &extra = {})
        : args(QStringList{QStringLiteral("--address"), QString::number(address), QStringLiteral("--device"),
                           QStringLiteral("can0")} +
               extra)
    {
    }
    ~Devsim() { stop(); }

    bool start()
    {
        output.clear();
        proc.setProcessChannelMode(QProcess::MergedChannels);
        proc.start(devsimBinary(), args);
        if (!proc.waitForStarted(5000))
            return false;
        return QTest::qWaitFor([this] { return joined(); }, 10000);
    }
    bool joined()
    {
        output += proc.readAll();
        return output.contains("joined");
    }
    void stop()
    {
        if (proc.state() == QProcess::NotRunning)
            return;
        proc.terminate();
        if (!proc.waitForFinished(5000)) {
            proc.kill();
            proc.waitForFinished(5000);
        }
    }
};

// A control application speaking the wire protocol.
class WireClient : public QObject {
public:
    QTcpSocket socket;
    CorvidFrameReceiver rx{CorvidFrameReceiver::clientKinds()};
    QVector<crs_frame_t> frames;

    WireClient()
    {
        connect(&socket, &QTcpSocket::readyRead, this, [this] {
            const auto got = rx.feed(socket.readAll());
            frames += got;
        });
    }

    bool open(uint16_t port)
    {
        socket.connectToHost(QHostAddress::LocalHost, port);
        return socket.waitForConnected(5000);
    }

    bool identify(const QByteArray &name, bool observer)
    {
        socket.write(buildAppInfoFrame(CRS_APP_VERSION, name, observer));
        return QTest::qWaitFor([this] { return countKind(FrameSrvState) >= 1; }, 5000);
    }

    int countKind(uint32_t kind) const
    {
        int n = 0;
        for (const auto &f : frames)
            n += f.kind == kind;
        return n;
    }

    QVector<crs_msg2app_t> messages() const
    {
        QVector<crs_msg2app_t> out;
        for (const auto &f : frames)
            if (f.kind == FrameMsg2App)
                if (auto m = parseMsg2AppFrame(f.bytes))
                    out << *m;
        return out;
    }

    QVector<uint32_t> states() const
    {
        QVector<uint32_t> out;
        for (const auto &f : frames)
            if (f.kind == FrameSrvState)
                if (auto s = parseSrvStateFrame(f.bytes))
                    out << s->hw_state;
        return out;
    }

    void send(uint32_t recId, uint16_t msgId, uint16_t from, uint16_t to, const QByteArray &data)
    {
        corvid_message m = corvid_message_over(msgId, from, to, data);
        socket.write(buildMsg2SatFrame(recId, m));
    }
};

// Data bytes that differ from message to message.
inline QByteArray pattern(int size, int seed)
{
    QByteArray b(size, '\0');
    for (int i = 0; i < size; ++i)
        b[i] = char((i * 7 + seed * 13 + (i >> 8)) & 0xFF);
    return b;
}
