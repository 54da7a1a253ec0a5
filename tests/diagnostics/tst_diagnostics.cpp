// The diagnostic handler and the error log, on real files and threads; the
// fatal case runs in a child process of this same program.

#include "app/CorvidDiagnostics.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>
#include <QtTest>

#include <memory>
#include <vector>

namespace {

const char kChildEnv[] = "CORVID_DIAG_CHILD";
const QString kWindowTime = QStringLiteral("[A-Z][a-z]{2} [A-Z][a-z]{2} {1,2}\\d{1,2} \\d\\d:\\d\\d:\\d\\d \\d{4} GMT");

QString readAll(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QStringLiteral("<unreadable>");
    return QString::fromUtf8(f.readAll());
}

// Runs with the working directory switched to a fresh temporary one.
struct InTempDir {
    QTemporaryDir dir;
    QString old = QDir::currentPath();
    InTempDir() { QDir::setCurrent(dir.path()); }
    ~InTempDir() { QDir::setCurrent(old); }
};

// Installs the handler for one test and leaves no state behind.
struct HandlerInstalled {
    QtMessageHandler old = qInstallMessageHandler(corvid_message_handler);
    ~HandlerInstalled()
    {
        corvid_set_error_log_stream(nullptr);
        corvid_set_diagnostic_sink(nullptr, {});
        qInstallMessageHandler(old);
    }
};

int childMain(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QDir::setCurrent(qEnvironmentVariable(kChildEnv));
    corvid_install_diagnostics();
    QFile file;
    if (!corvid_open_error_log(file, QStringLiteral("logs/err"), QDateTime::currentDateTimeUtc()))
        return 3;
    QTextStream stream(&file);
    corvid_set_error_log_stream(&stream);
    corvid_write_error_log_start(stream, QDateTime::currentDateTimeUtc());
    qWarning("before fatal");
    qInfo("info too");
    qFatal("fatal %s", "now");
    return 0;
}

}  // namespace

class TstDiagnostics : public QObject
{
    Q_OBJECT
private slots:
    void levelWordsAndWindowLine();
    void errorLogNameAndOpen();
    void handlerWritesFileAndWindow();
    void handlerFromManyThreads();
    void repeatsAreCounted();
    void fatalEndsProcess();
};

void TstDiagnostics::levelWordsAndWindowLine()
{
    QCOMPARE(corvid_diagnostic_level_word(QtDebugMsg), QStringLiteral("Debug "));
    QCOMPARE(corvid_diagnostic_level_word(QtWarningMsg), QStringLiteral("Warning "));
    QCOMPARE(corvid_diagnostic_level_word(QtCriticalMsg), QStringLiteral("Critical "));
    QCOMPARE(corvid_diagnostic_level_word(QtFatalMsg), QStringLiteral("Fatal error "));
    QCOMPARE(corvid_diagnostic_level_word(QtInfoMsg), QStringLiteral("Info "));
    QCOMPARE(corvid_diagnostic_level_word(QtMsgType(42)), QStringLiteral("Unknown "));

    const QDateTime utc(QDate(2026, 12, 5), QTime(15, 16, 17), Qt::UTC);
    QCOMPARE(corvid_diagnostic_window_line(QtWarningMsg, QStringLiteral("x"), utc),
             QStringLiteral("Sat Dec 5 15:16:17 2026 GMT Warning : x"));
    // Shown in UTC whatever zone the time was given in.
    QCOMPARE(corvid_diagnostic_window_line(QtInfoMsg, QStringLiteral("a: b"), utc.toOffsetFromUtc(-7200)),
             QStringLiteral("Sat Dec 5 15:16:17 2026 GMT Info : a: b"));
    QCOMPARE(corvid_diagnostic_window_line(QtMsgType(42), QString(), utc),
             QStringLiteral("Sat Dec 5 15:16:17 2026 GMT Unknown : "));
}

void TstDiagnostics::errorLogNameAndOpen()
{
    const QDateTime utc(QDate(2026, 12, 5), QTime(15, 16, 17), Qt::UTC);
    QCOMPARE(corvid_error_log_file_name(QStringLiteral("server_logs/error_log"), utc),
             QStringLiteral("server_logs/error_log2026-12-05_15-16-17.txt"));
    QCOMPARE(corvid_error_log_file_name(QString(), utc.toOffsetFromUtc(3600)), QStringLiteral("2026-12-05_15-16-17.txt"));
    QCOMPARE(corvid_error_log_directory(QStringLiteral("server_logs/error_log")), QStringLiteral("server_logs"));
    QCOMPARE(corvid_error_log_directory(QStringLiteral("logs/a/err")), QStringLiteral("logs/a"));
    QCOMPARE(corvid_error_log_directory(QStringLiteral("plain")), QString());
    QCOMPARE(corvid_error_log_directory(QString()), QString());

    InTempDir tmp;
    {
        QFile f;
        QVERIFY(corvid_open_error_log(f, QStringLiteral("server_logs/error_log"), utc));
        QCOMPARE(f.fileName(), QStringLiteral("server_logs/error_log2026-12-05_15-16-17.txt"));
        f.write("old content\n");
    }
    {
        // Same second again: the old file is truncated.
        QFile f;
        QVERIFY(corvid_open_error_log(f, QStringLiteral("server_logs/error_log"), utc));
        QTextStream s(&f);
        corvid_write_error_log_start(s, utc.toOffsetFromUtc(3600));
        QCOMPARE(readAll(f.fileName()), QStringLiteral("Server started at 2026-12-05 15:16:17\n"));
    }
    {
        // No prefix: the file is named after the time alone, in the working directory.
        QFile f;
        QVERIFY(corvid_open_error_log(f, QString(), utc));
        QVERIFY(QFileInfo::exists(QStringLiteral("2026-12-05_15-16-17.txt")));
    }
    {
        // The whole folder path is created.
        QFile f;
        QVERIFY(corvid_open_error_log(f, QStringLiteral("logs/a/b/err"), utc));
        QCOMPARE(f.fileName(), QStringLiteral("logs/a/b/err2026-12-05_15-16-17.txt"));
    }
    {
        // The directory part is a plain file.
        QFile plain(QStringLiteral("occupied"));
        QVERIFY(plain.open(QIODevice::WriteOnly));
        plain.close();
        QFile f;
        QVERIFY(!corvid_open_error_log(f, QStringLiteral("occupied/err"), utc));
        QVERIFY(QFileInfo(QStringLiteral("occupied")).isFile());
    }
}

void TstDiagnostics::handlerWritesFileAndWindow()
{
    InTempDir tmp;
    HandlerInstalled installed;
    corvid_take_pending_diagnostics();

    // Before the error log exists diagnostics are kept, and go into it once it opens.
    qInfo("early one");
    QFile file;
    QVERIFY(corvid_open_error_log(file, QStringLiteral("el/err"), QDateTime::currentDateTimeUtc()));
    QTextStream stream(&file);
    corvid_write_error_log_start(stream, QDateTime::currentDateTimeUtc());
    corvid_set_error_log_stream(&stream);

    const QTime before = QTime::currentTime();
    qWarning("x");
    const QTime after = QTime::currentTime();

    // The entry is on disk at once, followed by an empty line; no level word.
    const QRegularExpression content(QStringLiteral("^Server started at \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\n"
                                                    "\\d\\d:\\d\\d:\\d\\d: early one\n\n"
                                                    "(\\d\\d:\\d\\d:\\d\\d): x\n\n$"));
    const auto m = content.match(readAll(file.fileName()));
    QVERIFY2(m.hasMatch(), qPrintable(readAll(file.fileName())));
    const QTime logged = QTime::fromString(m.captured(1), QStringLiteral("hh:mm:ss"));
    QVERIFY(logged.isValid());
    if (before <= after)  // local time of day, unless midnight passed meanwhile
        QVERIFY(logged >= QTime(before.hour(), before.minute(), before.second()) && logged <= after);

    // No window yet: each window line is kept with a line feed.
    const QString pending = corvid_take_pending_diagnostics();
    const QRegularExpression twoLines(QStringLiteral("^") + kWindowTime + QStringLiteral(" Info : early one\n") + kWindowTime
                                      + QStringLiteral(" Warning : x\n$"));
    QVERIFY2(twoLines.match(pending).hasMatch(), qPrintable(pending));
    QCOMPARE(corvid_take_pending_diagnostics(), QString());

    qDebug("d");
    qCritical("c");

    // Attaching the window hands over what was kept, at once.
    QObject window;
    QStringList shown;
    const QString handed = corvid_set_diagnostic_sink(&window, [&shown, &window](const QString &line) {
        QCOMPARE(QThread::currentThread(), window.thread());
        shown << line;
    });
    QVERIFY2(QRegularExpression(QStringLiteral("^") + kWindowTime + QStringLiteral(" Debug : d\n") + kWindowTime
                                + QStringLiteral(" Critical : c\n$"))
                 .match(handed)
                 .hasMatch(),
             qPrintable(handed));

    // With a window, lines go straight to it and nothing is kept.
    qWarning("y");
    QMessageLogContext ctx;
    corvid_message_handler(QtMsgType(42), ctx, QStringLiteral("odd"));
    QCOMPARE(shown.size(), 2);
    QVERIFY2(QRegularExpression(QStringLiteral("^") + kWindowTime + QStringLiteral(" Warning : y$")).match(shown[0]).hasMatch(),
             qPrintable(shown[0]));
    QVERIFY2(QRegularExpression(QStringLiteral("^") + kWindowTime + QStringLiteral(" Unknown : odd$")).match(shown[1]).hasMatch(),
             qPrintable(shown[1]));
    QCOMPARE(corvid_take_pending_diagnostics(), QString());

    // Without a window, once the mode is known, diagnostics go to the file only.
    corvid_set_diagnostic_sink(nullptr, {});
    qInfo("kept?");
    QVERIFY(!corvid_take_pending_diagnostics().isEmpty());
    qInfo("before discard");
    corvid_discard_pending_diagnostics();
    qInfo("z");
    QCOMPARE(corvid_take_pending_diagnostics(), QString());
    QCOMPARE(shown.size(), 2);

    const QStringList entries = readAll(file.fileName()).split(QLatin1Char('\n'));
    QStringList texts;
    for (int i = 3; i + 1 < entries.size(); i += 2) {
        QCOMPARE(entries[i + 1], QString());
        texts << entries[i].mid(10);
        QVERIFY(QRegularExpression(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d: ")).match(entries[i]).hasMatch());
    }
    QCOMPARE(texts, QStringList({QStringLiteral("x"), QStringLiteral("d"), QStringLiteral("c"), QStringLiteral("y"),
                                 QStringLiteral("odd"), QStringLiteral("kept?"), QStringLiteral("before discard"),
                                 QStringLiteral("z")}));
}

void TstDiagnostics::handlerFromManyThreads()
{
    InTempDir tmp;
    HandlerInstalled installed;
    QFile file;
    QVERIFY(corvid_open_error_log(file, QStringLiteral("mt"), QDateTime::currentDateTimeUtc()));
    QTextStream stream(&file);
    corvid_set_error_log_stream(&stream);

    QObject window;
    QStringList shown;
    bool wrongThread = false;
    corvid_set_diagnostic_sink(&window, [&](const QString &line) {
        if (QThread::currentThread() != window.thread())
            wrongThread = true;
        shown << line;
    });

    const int threads = 8, perThread = 500;
    std::vector<std::unique_ptr<QThread>> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back(QThread::create([t]() {
            for (int n = 0; n < perThread; ++n)
                qInfo("t%d n%d", t, n);
        }));
    }
    for (auto &w : workers)
        w->start();
    for (int n = 0; n < perThread; ++n)
        qWarning("t%d n%d", threads, n);  // the main thread joins in
    for (auto &w : workers)
        QVERIFY(w->wait(60000));

    const int total = (threads + 1) * perThread;
    QTRY_COMPARE(shown.size(), total);
    QVERIFY(!wrongThread);

    // Window: each thread's lines complete, once each, in its own order.
    const QRegularExpression windowLine(QStringLiteral("^") + kWindowTime + QStringLiteral(" (Info|Warning) : t(\\d) n(\\d+)$"));
    QVector<int> next(threads + 1, 0);
    for (const QString &line : shown) {
        const auto m = windowLine.match(line);
        QVERIFY2(m.hasMatch(), qPrintable(line));
        const int t = m.captured(2).toInt();
        QCOMPARE(m.captured(1), QString(t == threads ? QStringLiteral("Warning") : QStringLiteral("Info")));
        QCOMPARE(m.captured(3).toInt(), next[t]);
        ++next[t];
    }

    // File: whole entries, never interleaved.
    const QStringList lines = readAll(file.fileName()).split(QLatin1Char('\n'));
    QCOMPARE(lines.size(), 2 * total + 1);
    const QRegularExpression fileLine(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d: t(\\d) n(\\d+)$"));
    next.fill(0);
    for (int i = 0; i < total; ++i) {
        const auto m = fileLine.match(lines[2 * i]);
        QVERIFY2(m.hasMatch(), qPrintable(lines[2 * i]));
        QCOMPARE(lines[2 * i + 1], QString());
        const int t = m.captured(1).toInt();
        QCOMPARE(m.captured(2).toInt(), next[t]);
        ++next[t];
    }
    QCOMPARE(lines.last(), QString());
}

void TstDiagnostics::repeatsAreCounted()
{
    InTempDir tmp;
    HandlerInstalled installed;
    qint64 now = 0;
    corvid_set_repeat_limit(60000, [&now] { return now; });
    QFile file;
    QVERIFY(corvid_open_error_log(file, QStringLiteral("rep"), QDateTime::currentDateTimeUtc()));
    QTextStream stream(&file);
    corvid_set_error_log_stream(&stream);

    for (int i = 0; i < 5; ++i)
        qCritical("same");
    now = 59999;
    qCritical("same");
    now = 60000;
    qCritical("same");  // a minute after it was written: the count so far
    qCritical("same");
    qWarning("same");   // another level is another diagnostic
    qWarning("other");
    qWarning("other");
    corvid_set_repeat_limit(60000);

    QStringList texts;
    const QStringList lines = readAll(file.fileName()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString &l : lines)
        texts << l.mid(10);
    QCOMPARE(texts, QStringList({QStringLiteral("same"), QStringLiteral("last message repeated 6 times"),
                                 QStringLiteral("last message repeated 1 times"), QStringLiteral("same"),
                                 QStringLiteral("other")}));
}

void TstDiagnostics::fatalEndsProcess()
{
    QTemporaryDir dir;
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QString::fromLatin1(kChildEnv), dir.path());
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationFilePath(), QStringList());
    QVERIFY(child.waitForFinished(60000));
    QCOMPARE(child.exitStatus(), QProcess::CrashExit);

    const QStringList files = QDir(dir.path() + QStringLiteral("/logs")).entryList(QDir::Files);
    QCOMPARE(files.size(), 1);
    QVERIFY2(QRegularExpression(QStringLiteral("^err\\d{4}-\\d\\d-\\d\\d_\\d\\d-\\d\\d-\\d\\d\\.txt$")).match(files[0]).hasMatch(),
             qPrintable(files[0]));
    const QString content = readAll(dir.path() + QStringLiteral("/logs/") + files[0]);
    QVERIFY2(QRegularExpression(QStringLiteral("^Server started at \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\n"
                                               "\\d\\d:\\d\\d:\\d\\d: before fatal\n\n"
                                               "\\d\\d:\\d\\d:\\d\\d: info too\n\n"
                                               "\\d\\d:\\d\\d:\\d\\d: fatal now\n\n$"))
                 .match(content)
                 .hasMatch(),
             qPrintable(content));

    // The handler writes nothing to the console.
    const QByteArray err = child.readAllStandardError();
    QVERIFY2(!err.contains("before fatal") && !err.contains("fatal now") && !err.contains("info too"), err.constData());
    QVERIFY(!child.readAllStandardOutput().contains("fatal"));
}

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsSet(kChildEnv))
        return childMain(argc, argv);
    QCoreApplication app(argc, argv);
    TstDiagnostics tc;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&tc, argc, argv);
}

#include "tst_diagnostics.moc"
