#include "app/CorvidDiagnostics.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QObject>
#include <QPointer>
#include <QRecursiveMutex>
#include <QTextStream>
#include <QThread>

#include <cstdio>
#include <cstdlib>

namespace {

// One lock over the stream, the pending text and the sink. Recursive, because
// writing to the window may itself produce a diagnostic in the same thread.
QRecursiveMutex &diagMutex()
{
    static QRecursiveMutex mutex;
    return mutex;
}

// Entries kept for the error log until it opens; a start-up that never opens
// one must not keep them without end.
constexpr int kEarlyMax = 1000;

qint64 monotonicMs()
{
    static QElapsedTimer clock;
    if (!clock.isValid())
        clock.start();
    return clock.elapsed();
}

std::function<QTime()> &entryClock()
{
    static std::function<QTime()> clock = [] { return QTime::currentTime(); };
    return clock;
}

struct DiagState {
    QTextStream *stream = nullptr;
    QStringList early;  // error log entries from before the stream existed
    // The last diagnostic written, and how often it came again unwritten.
    bool hasLast = false;
    int lastType = -1;  // an int: handlers may be given type values QtMsgType lacks
    QString lastMsg;
    qint64 repeats = 0;
    qint64 lastWrittenAt = 0;
    qint64 repeatIntervalMs = 60000;
    std::function<qint64()> clock = monotonicMs;
    QString pending;
    bool keepPending = true;
    QPointer<QObject> owner;
    bool hasSink = false;
    CorvidDiagnosticSink sink;
    bool echoToJournal = false;
};

DiagState &state()
{
    static DiagState s;
    return s;
}

}  // namespace

QString corvid_diagnostic_level_word(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return QStringLiteral("Debug ");
    case QtWarningMsg:
        return QStringLiteral("Warning ");
    case QtCriticalMsg:
        return QStringLiteral("Critical ");
    case QtFatalMsg:
        return QStringLiteral("Fatal error ");
    case QtInfoMsg:
        return QStringLiteral("Info ");
    }
    return QStringLiteral("Unknown ");
}

void corvid_set_error_log_clock(std::function<QTime()> localTimeOfDay)
{
    QMutexLocker lock(&diagMutex());
    entryClock() = localTimeOfDay ? std::move(localTimeOfDay) : [] { return QTime::currentTime(); };
}

QString corvid_diagnostic_window_line(QtMsgType type, const QString &msg, const QDateTime &utc)
{
    return utc.toUTC().toString(Qt::TextDate) + QLatin1Char(' ') + corvid_diagnostic_level_word(type)
           + QStringLiteral(": ") + msg;
}

namespace {

QString fileEntry(const QString &msg)
{
    return entryClock()().toString(QStringLiteral("hh:mm:ss")) + QStringLiteral(": ") + msg
           + QLatin1Char('\n');
}

// Syslog levels as the journal reads them at the start of a line.
QString journalPrefix(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return QStringLiteral("<7>");
    case QtInfoMsg:
        return QStringLiteral("<6>");
    case QtWarningMsg:
        return QStringLiteral("<4>");
    case QtCriticalMsg:
        return QStringLiteral("<3>");
    case QtFatalMsg:
        return QStringLiteral("<2>");
    }
    return QStringLiteral("<5>");
}

// One diagnostic to the error log (or, before it exists, to standard error
// and the store for it) and to the window. Called under the lock.
void writeDiagnostic(DiagState &s, QtMsgType type, const QString &msg)
{
    const QString entry = fileEntry(msg);
    if (s.stream) {
        *s.stream << entry << Qt::endl;
        if (s.echoToJournal) {
            // The journal stamps lines itself; the prefix gives it the level.
            QString text = msg;
            while (text.endsWith(QLatin1Char('\n')))
                text.chop(1);  // several texts end in a line feed of their own
            std::fputs(qUtf8Printable(journalPrefix(type) + text + QLatin1Char('\n')), stderr);
            std::fflush(stderr);
        }
    } else {
        // Nobody else would see a problem of the start-up, such as a
        // configuration that could not be read.
        std::fputs(qUtf8Printable(entry), stderr);
        std::fflush(stderr);
        if (s.early.size() < kEarlyMax)
            s.early.append(entry);
    }

    const QString line = corvid_diagnostic_window_line(type, msg, QDateTime::currentDateTimeUtc());

    if (type == QtFatalMsg)
        std::abort();

    if (s.hasSink) {
        QObject *owner = s.owner.data();
        if (!owner)
            return;  // the window is gone; nowhere left to show it
        if (QThread::currentThread() == owner->thread()) {
            s.sink(line);
        } else {
            // The text area belongs to its own thread; calls queued from one
            // thread arrive in the order they were made.
            CorvidDiagnosticSink sink = s.sink;
            QMetaObject::invokeMethod(owner, [sink, line]() { sink(line); }, Qt::QueuedConnection);
        }
        return;
    }
    if (s.keepPending)
        s.pending += line + QLatin1Char('\n');
}

QString repeatedText(qint64 n)
{
    return QStringLiteral("last message repeated %1 times").arg(n);
}

}  // namespace

void corvid_message_handler(QtMsgType type, const QMessageLogContext &context, const QString &msg)
{
    Q_UNUSED(context);
    QMutexLocker lock(&diagMutex());
    DiagState &s = state();
    const qint64 now = s.clock();

    // The same diagnostic over and over (a link that cannot be built, a noisy
    // bus) is written once, then counted, as syslog does.
    if (s.hasLast && int(type) == s.lastType && msg == s.lastMsg && type != QtFatalMsg) {
        ++s.repeats;
        if (now - s.lastWrittenAt >= s.repeatIntervalMs) {
            writeDiagnostic(s, type, repeatedText(s.repeats));
            s.repeats = 0;
            s.lastWrittenAt = now;
        }
        return;
    }
    if (s.repeats > 0)
        writeDiagnostic(s, QtMsgType(s.lastType), repeatedText(s.repeats));
    s.hasLast = true;
    s.lastType = int(type);
    s.lastMsg = msg;
    s.repeats = 0;
    s.lastWrittenAt = now;
    writeDiagnostic(s, type, msg);
}

void corvid_set_repeat_limit(qint64 intervalMs, std::function<qint64()> clockMs)
{
    QMutexLocker lock(&diagMutex());
    DiagState &s = state();
    s.repeatIntervalMs = intervalMs;
    s.clock = clockMs ? std::move(clockMs) : std::function<qint64()>(monotonicMs);
    s.hasLast = false;
    s.repeats = 0;
}

void corvid_set_journal_echo(bool on)
{
    QMutexLocker lock(&diagMutex());
    state().echoToJournal = on;
}

void corvid_install_diagnostics()
{
    qInstallMessageHandler(corvid_message_handler);
}

void corvid_set_error_log_stream(QTextStream *stream)
{
    QMutexLocker lock(&diagMutex());
    DiagState &s = state();
    s.stream = stream;
    if (!stream)
        return;
    for (const QString &entry : qAsConst(s.early))
        *stream << entry << Qt::endl;
    s.early.clear();
}

QString corvid_set_diagnostic_sink(QObject *owner, CorvidDiagnosticSink sink)
{
    QMutexLocker lock(&diagMutex());
    DiagState &s = state();
    s.owner = owner;
    s.hasSink = owner != nullptr && sink != nullptr;
    s.sink = s.hasSink ? std::move(sink) : CorvidDiagnosticSink();
    QString pending;
    pending.swap(s.pending);
    return pending;
}

QString corvid_take_pending_diagnostics()
{
    QMutexLocker lock(&diagMutex());
    QString pending;
    pending.swap(state().pending);
    return pending;
}

void corvid_discard_pending_diagnostics()
{
    QMutexLocker lock(&diagMutex());
    state().pending.clear();
    state().keepPending = false;
}

QString corvid_error_log_file_name(const QString &prefix, const QDateTime &utc)
{
    return prefix + utc.toUTC().toString(QStringLiteral("yyyy-MM-dd_hh-mm-ss")) + QStringLiteral(".txt");
}

QString corvid_error_log_directory(const QString &prefix)
{
    const int slash = prefix.lastIndexOf(QLatin1Char('/'));
    return slash < 0 ? QString() : prefix.left(slash);
}

bool corvid_open_error_log(QFile &file, const QString &prefix, const QDateTime &utc)
{
    const QString dir = corvid_error_log_directory(prefix);
    if (!dir.isEmpty() && !QDir(dir).exists())
        QDir().mkpath(dir);
    file.setFileName(corvid_error_log_file_name(prefix, utc));
    return file.open(QIODevice::WriteOnly | QIODevice::Text | QIODevice::Truncate);
}

void corvid_write_error_log_start(QTextStream &stream, const QDateTime &utc)
{
    stream << QStringLiteral("Server started at ") << utc.toUTC().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"))
           << Qt::endl;
}
