// The diagnostic handler and the error log, on real files and threads; the
// fatal case runs in a child process of this same program.

#include "app/CorvidDiagnostics.h"
#include "tests/common/child_process.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>
#include <QtTest>

#include <QHash>

#include <memory>
#include <vector>

#define VERIFY_MATCH(pattern, text)                                                                                    \
    QVERIFY2(QRegularExpression(pattern).match(text).hasMatch(), qPrintable(QString(text)))

namespace {

const char kChildEnv[] = "CORVID_DIAG_CHILD";
const QString kWindowTime = QStringLiteral("[A-Z][a-z]{2} [A-Z][a-z]{2} {1,2}\\d{1,2} \\d\\d:\\d\\d:\\d\\d \\d{4} GMT");
const QString kEntryTime = QStringLiteral("\\d\\d:\\d\\d:\\d\\d: ");

// Window lines as a pattern: each "Level : text", one per line.
QString windowLines(const QStringList &lines)
{
    QString out = QStringLiteral("^");
    for (const QString &l : lines)
        out += kWindowTime + QLatin1Char(' ') + l + QLatin1Char('\n');
    return out + QLatin1Char('$');
}

QString readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QStringLiteral("<unreadable>");
}

// The error log's entry texts from line `from` on, without their time of day;
// each entry must be followed by an empty line.
QStringList entryTexts(const QString &content, int from = 0)
{
    static const QRegularExpression entry(QLatin1Char('^') + kEntryTime);
    const QStringList lines = content.split(QLatin1Char('\n'));
    QStringList texts;
    for (int i = from; i + 1 < lines.size(); i += 2) {
        const bool ok = entry.match(lines[i]).hasMatch() && lines[i + 1].isEmpty();
        texts << (ok ? lines[i].mid(10) : QStringLiteral("<bad entry> ") + lines[i]);
    }
    if (!content.endsWith(QLatin1String("\n\n")))
        texts << QStringLiteral("<unterminated>");
    return texts;
}

// The "t<thread> n<count>" texts come complete, once each, each thread's in its own order.
QString orderFault(const QStringList &texts, int threads, int perThread)
{
    static const QRegularExpression re(QStringLiteral("t(\\d) n(\\d+)$"));
    QVector<int> next(threads, 0);
    for (const QString &t : texts) {
        const auto m = re.match(t);
        const int thread = m.captured(1).toInt();
        if (!m.hasMatch() || thread >= threads || m.captured(2).toInt() != next[thread]++)
            return t;
    }
    return next == QVector<int>(threads, perThread) ? QString() : QStringLiteral("lines missing");
}

// Runs with the working directory switched to a fresh temporary one.
struct InTempDir {
    QTemporaryDir dir;
    QString old = QDir::currentPath();
    InTempDir() { QDir::setCurrent(dir.path()); }
    ~InTempDir() { QDir::setCurrent(old); }
};

// Installs the handler and opens an error log in a temporary working directory for
// one test; leaves no state behind.
struct HandlerInstalled {
    InTempDir tmp;
    QtMessageHandler old = qInstallMessageHandler(corvid_message_handler);
    QFile file;
    QTextStream stream{&file};
    bool opened = false;
    explicit HandlerInstalled(const QString &prefix)
        : opened(corvid_open_error_log(file, prefix, QDateTime::currentDateTimeUtc()))
    {
    }
    void attach() { corvid_set_error_log_stream(&stream); }
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
    qWarning("early");
    QFile file;
    if (!corvid_open_error_log(file, QStringLiteral("logs/err"), QDateTime::currentDateTimeUtc()))
        return 3;
    QTextStream stream(&file);
    corvid_write_error_log_start(stream, QDateTime::currentDateTimeUtc());
    corvid_set_error_log_stream(&stream);
    qWarning("before fatal");
    qFatal("fatal %s", "now");
    return 0;
}

}  // namespace

class TstDiagnostics : public QObject
{
    Q_OBJECT
private slots:
    void errorLogOpenAndWindowLine();
    void handlerWritesFileAndWindow();
    void handlerFromManyThreads();
    void floodsAreFolded_data();
    void floodsAreFolded();
    void fatalEndsProcess();
};

void TstDiagnostics::errorLogOpenAndWindowLine()
{
    const QDateTime utc(QDate(2026, 12, 5), QTime(15, 16, 17), Qt::UTC);
    // Shown in UTC whatever zone the time was given in.
    QCOMPARE(corvid_diagnostic_window_line(QtInfoMsg, QStringLiteral("a: b"), utc.toOffsetFromUtc(-7200)),
             QStringLiteral("Sat Dec 5 15:16:17 2026 GMT Info : a: b"));
    // The whole folder path is created; the file is named for the UTC time.
    InTempDir tmp;
    QFile f;
    QVERIFY(corvid_open_error_log(f, QStringLiteral("logs/a/err"), utc.toOffsetFromUtc(3600)));
    QCOMPARE(f.fileName(), QStringLiteral("logs/a/err2026-12-05_15-16-17.txt"));
    f.write("old content\n");
    f.close();
    // Same second again: the old file is truncated.
    QVERIFY(corvid_open_error_log(f, QStringLiteral("logs/a/err"), utc));
    QTextStream stream(&f);
    corvid_write_error_log_start(stream, utc.toOffsetFromUtc(3600));
    QCOMPARE(readAll(f.fileName()), QStringLiteral("Server started at 2026-12-05 15:16:17\n"));
}

void TstDiagnostics::handlerWritesFileAndWindow()
{
    HandlerInstalled h(QStringLiteral("el/err"));
    QVERIFY(h.opened);
    corvid_take_pending_diagnostics();
    QTime now(23, 59, 58);
    corvid_set_error_log_clock([&now] { return now; });
    const auto realClock = qScopeGuard([] { corvid_set_error_log_clock({}); });
    // Before the error log exists diagnostics are kept, and go into it once it opens.
    qInfo("early one");
    corvid_write_error_log_start(h.stream, QDateTime(QDate(2026, 12, 5), QTime(15, 16, 17), Qt::UTC));
    h.attach();
    now = QTime(0, 0, 1);
    qWarning("x");
    // On disk at once, each entry followed by an empty line; no level word.
    QCOMPARE(readAll(h.file.fileName()),
             QStringLiteral("Server started at 2026-12-05 15:16:17\n23:59:58: early one\n\n00:00:01: x\n\n"));
    // No window yet: each window line is kept with a line feed.
    VERIFY_MATCH(windowLines({"Info : early one", "Warning : x"}), corvid_take_pending_diagnostics());

    qCritical("c");
    // Attaching the window hands over what was kept, at once.
    QObject window;
    QStringList shown;
    const QString handed = corvid_set_diagnostic_sink(&window, [&shown, &window](const QString &line) {
        QCOMPARE(QThread::currentThread(), window.thread());
        shown << line;
    });
    VERIFY_MATCH(windowLines({"Critical : c"}), handed);
    // With a window, lines go straight to it and nothing is kept.
    qWarning("y");
    VERIFY_MATCH(windowLines({"Warning : y"}), shown.join(QLatin1Char('\n')) + QLatin1Char('\n'));
    QCOMPARE(corvid_take_pending_diagnostics(), QString());
    // Without a window, once the mode is known, diagnostics go to the file only.
    corvid_set_diagnostic_sink(nullptr, {});
    qInfo("kept");
    corvid_discard_pending_diagnostics();
    qInfo("z");
    QCOMPARE(corvid_take_pending_diagnostics(), QString());
    QCOMPARE(shown.size(), 1);
    QCOMPARE(entryTexts(readAll(h.file.fileName()), 3), QStringList({"x", "c", "y", "kept", "z"}));
}

void TstDiagnostics::handlerFromManyThreads()
{
    HandlerInstalled h(QStringLiteral("mt"));
    QVERIFY(h.opened);
    h.attach();
    CorvidRepeatLimits unlimited;
    unlimited.bytesPerMinute = 0;
    corvid_set_repeat_limits(unlimited);
    const auto restore = qScopeGuard([] { corvid_set_repeat_limits(CorvidRepeatLimits()); });
    QObject window;
    QStringList shown;
    bool wrongThread = false;
    corvid_set_diagnostic_sink(&window, [&](const QString &line) {
        wrongThread |= QThread::currentThread() != window.thread();
        shown << line;
    });

    const int threads = 8, perThread = 500;
    std::vector<std::unique_ptr<QThread>> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back(QThread::create([t]() {
            for (int n = 0; n < perThread; ++n)
                qInfo("t%d n%d", t, n);
        }));
        workers.back()->start();
    }
    for (int n = 0; n < perThread; ++n)
        qWarning("t%d n%d", threads, n);  // the main thread joins in
    for (auto &w : workers)
        QVERIFY(w->wait(60000));

    QTRY_COMPARE(shown.size(), (threads + 1) * perThread);
    QVERIFY(!wrongThread);
    // Window: each thread's lines complete, once each, in its own order.
    QCOMPARE(orderFault(shown, threads + 1, perThread), QString());
    // File: whole entries, never interleaved.
    QCOMPARE(orderFault(entryTexts(readAll(h.file.fileName())), threads + 1, perThread), QString());
}

void TstDiagnostics::floodsAreFolded_data()
{
    QTest::addColumn<QStringList>("texts");  // sent in turn, %1 the running number
    QTest::addColumn<int>("everyMs");
    QTest::addColumn<int>("minutes");
    QTest::addColumn<int>("maxBytes");
    // The default configuration with no adapter: its link is rebuilt every second.
    QTest::newRow("no adapter, a day") << QStringList{"No SNIFRX devices available!", "No serial devices available!"}
                                       << 500 << 24 * 60 << 20000;
    QTest::newRow("texts of a peer, 10 minutes") << QStringList{"from A\nforged\r\x1b[2J%1", "TCP client %1"} << 5
                                                 << 10 << 100000;
    QTest::newRow("levels and copies") << QStringList{"same", "same", "other"} << 10000 << 4 << 1000;
}

void TstDiagnostics::floodsAreFolded()
{
    QFETCH(QStringList, texts);
    QFETCH(int, everyMs);
    QFETCH(int, minutes);
    QFETCH(int, maxBytes);
    HandlerInstalled h(QStringLiteral("fold"));
    QVERIFY(h.opened);
    h.attach();
    corvid_discard_pending_diagnostics();
    qint64 now = 0;
    corvid_set_repeat_limits(CorvidRepeatLimits(), [&now] { return now; });
    corvid_set_error_log_clock([&now] { return QTime(0, 0).addMSecs(int(now % 86400000)); });
    const auto restore = qScopeGuard([] {
        corvid_set_repeat_limits(CorvidRepeatLimits());
        corvid_set_error_log_clock({});
    });
    QHash<QString, int> sent;
    for (int i = 0; now < qint64(minutes) * 60000; ++i, now += everyMs) {
        QString text = texts[i % texts.size()];
        if (text.contains(QLatin1String("%1")))
            text = text.arg(i / 7);
        if (i % 3 == 1)
            qWarning("%s", qUtf8Printable(text));  // another level is another diagnostic
        else
            qCritical("%s", qUtf8Printable(text));
        ++sent[text];
    }
    corvid_set_repeat_limits(CorvidRepeatLimits(), [&now] { return now; });  // what is still counted comes out
    const QString log = readAll(h.file.fileName());
    QVERIFY2(log.toUtf8().size() <= maxBytes, qPrintable(QString::number(log.toUtf8().size())));
    // Every copy is accounted for: written, counted by the text it names, or
    // among those a flood kept out; no entry holds a control character.
    static const QRegularExpression counted(QStringLiteral("^last message repeated (\\d+) times: (.*)$"));
    static const QRegularExpression dropped(QStringLiteral("^(\\d+) diagnostics were not written: too many"));
    QHash<QString, int> seen;
    int lost = 0;
    for (const QString &t : entryTexts(log)) {
        QVERIFY2(!t.contains(QRegularExpression(QStringLiteral("[\\x00-\\x1f\\x7f]"))), qPrintable(t));
        if (const auto m = counted.match(t); m.hasMatch())
            seen[m.captured(2)] += m.captured(1).toInt();
        else if (const auto d = dropped.match(t); d.hasMatch())
            lost += d.captured(1).toInt();
        else
            seen[t] += 1;
    }
    int total = 0, accounted = lost;
    for (auto it = sent.cbegin(); it != sent.cend(); ++it) {
        QString shown = it.key();
        shown.replace(QLatin1Char('\n'), QLatin1String("\\x0a")).replace(QLatin1Char('\r'), QLatin1String("\\x0d"));
        total += it.value();
        accounted += seen.value(shown.replace(QLatin1Char('\x1b'), QLatin1String("\\x1b")));
    }
    QCOMPARE(accounted, total);
    if (texts.size() == 3)  // one of each, then their counts, a minute after each was written
        QCOMPARE(entryTexts(log).mid(3, 3), QStringList({"last message repeated 2 times: same",
                                                         "last message repeated 2 times: same",
                                                         "last message repeated 2 times: other"}));
}

void TstDiagnostics::fatalEndsProcess()
{
    QTemporaryDir dir;
    ChildProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QString::fromLatin1(kChildEnv), dir.path());
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationFilePath(), QStringList());
    QVERIFY(child.waitForFinished(60000));
    QCOMPARE(child.exitStatus(), QProcess::CrashExit);

    const QStringList files = QDir(dir.path() + QStringLiteral("/logs")).entryList(QDir::Files);
    QCOMPARE(files.size(), 1);
    const QString content = readAll(dir.path() + QStringLiteral("/logs/") + files[0]);
    QCOMPARE(entryTexts(content, 1), QStringList({"early", "before fatal", "fatal now"}));
    // Only what came before the error log went to the console.
    VERIFY_MATCH(QStringLiteral("^") + kEntryTime + QStringLiteral("early\n$"), child.readAllStandardError());
    QCOMPARE(child.readAllStandardOutput(), QByteArray());
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
