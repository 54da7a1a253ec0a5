#include "app/CorvidDiagnostics.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QObject>
#include <QPointer>
#include <QRegularExpression>
#include <QRecursiveMutex>
#include <QTextStream>
#include <QThread>

#include <cstdio>
#include <cstdlib>
#include <limits>
#include <utility>
#include <unistd.h>

namespace {

// The handler's state is never destroyed: Qt's own exit handlers may still
// say something after main() has returned.

// One lock over the stream, the pending text and the sink. Recursive, because
// writing to the window may itself produce a diagnostic in the same thread.
QRecursiveMutex &diagMutex()
{
    static auto *mutex = new QRecursiveMutex;  // never destroyed, like the rest of the state below
    return *mutex;
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
    static auto *clock = new std::function<QTime()>([] { return QTime::currentTime(); });
    return *clock;
}

// One distinct text written lately, and its copies not written since.
struct RecentText {
    qint64 since = 0;       // when it was written
    qint64 lastSeen = 0;
    qint64 lastReport = 0;  // when it or its count was last written
    qint64 copies = 0;
    int written = 1;
};

using TextKey = QPair<int, QString>;  // an int: handlers may be given type values QtMsgType lacks

struct DiagState {
    QTextStream *stream = nullptr;
    QStringList early;  // error log entries from before the stream existed
    CorvidRepeatLimits limits;
    std::function<qint64()> clock = monotonicMs;
    QHash<TextKey, RecentText> recent;
    qint64 lastSweep = 0;
    // Error log volume left, in bytes times 60,000 so that every millisecond
    // adds its share of the per-minute rate.
    qint64 budget = CorvidRepeatLimits().burstBytes * 60000;
    qint64 budgetAt = 0;
    qint64 keptOut = 0;  // diagnostics not written for the volume, not said yet
    qint64 lastKeptOutNote = std::numeric_limits<qint64>::min() / 2;
    QString pending;
    bool keepPending = true;
    QPointer<QObject> owner;
    bool hasSink = false;
    CorvidDiagnosticSink sink;
    enum { NoEcho, JournalEcho, TerminalEcho } echo = NoEcho;
    quint64 written = 0;  // entries for the error log
    quint64 folded = 0;   // diagnostics not written as an entry of their own
};

DiagState &state()
{
    // Qt still writes diagnostics while the program's statics are destroyed
    // (plugins unloaded at exit), so the handler's state outlives them all.
    static auto *s = new DiagState;
    return *s;
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
    ++s.written;
    // One line each on standard error; several texts end in a line feed of their own.
    QString text = msg;
    while (text.endsWith(QLatin1Char('\n')))
        text.chop(1);
    auto toStandardError = [](const QString &line) {
        std::fputs(qUtf8Printable(line + QLatin1Char('\n')), stderr);
        std::fflush(stderr);
    };
    if (s.stream) {
        *s.stream << entry << Qt::endl;
        // The journal stamps lines itself; the prefix gives it the level.
        if (s.echo == DiagState::JournalEcho)
            toStandardError(journalPrefix(type) + text);
        else if (s.echo == DiagState::TerminalEcho)
            toStandardError(fileEntry(text).trimmed());
    } else {
        // Nobody else would see a problem of the start-up, such as a
        // configuration that could not be read.
        toStandardError(fileEntry(text).trimmed());
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

bool isControl(ushort u)
{
    return u < 0x20 || u == 0x7F || (u >= 0x80 && u < 0xA0) || u == 0x2028 || u == 0x2029;
}

// Text from outside (a callsign, a client's name, a datagram) must not forge
// a line of the log: control characters are written as \xNN. Several fixed
// texts end in a line feed; that one stays.
QString escapedText(const QString &msg)
{
    const int end = msg.endsWith(QLatin1Char('\n')) ? msg.size() - 1 : msg.size();
    int first = 0;
    while (first < end && !isControl(msg.at(first).unicode()))
        ++first;
    if (first == end)
        return msg;
    QString out = msg.left(first);
    for (int i = first; i < end; ++i) {
        const ushort u = msg.at(i).unicode();
        if (!isControl(u))
            out += msg.at(i);
        else if (u <= 0xFF)
            out += QStringLiteral("\\x%1").arg(u, 2, 16, QLatin1Char('0'));
        else
            out += QStringLiteral("\\u%1").arg(u, 4, 16, QLatin1Char('0'));
    }
    return out + msg.mid(end);
}

// Whether an entry of `text` still fits in the error log's volume; if not, the
// `weight` diagnostics it stands for are counted as kept out. When some were
// kept out, that is said first, at most once a minute, and nothing else is
// written until it has been.
bool admit(DiagState &s, qint64 now, const QString &text, qint64 weight = 1)
{
    const CorvidRepeatLimits &l = s.limits;
    if (l.bytesPerMinute <= 0)
        return true;
    s.budget = std::min(l.burstBytes * 60000, s.budget + std::max<qint64>(0, now - s.budgetAt) * l.bytesPerMinute);
    s.budgetAt = now;
    // With the time of day and the line ends.
    auto cost = [](const QString &t) { return qint64(t.toUtf8().size() + 12) * 60000; };
    if (s.keptOut > 0) {
        const QString note =
            QStringLiteral("%1 diagnostics were not written: too many in a short time").arg(s.keptOut);
        if (now - s.lastKeptOutNote < 60000 || s.budget < cost(note)) {
            s.keptOut += weight;
            return false;
        }
        s.budget -= cost(note);
        s.lastKeptOutNote = now;
        s.keptOut = 0;
        writeDiagnostic(s, QtWarningMsg, note);
    }
    if (s.budget < cost(text)) {
        s.keptOut += weight;
        return false;
    }
    s.budget -= cost(text);
    return true;
}

// Writes the count of a text's copies, volume permitting. A count that does
// not fit stays for later, or, when the text is being forgotten, is counted
// among those kept out.
void reportCopies(DiagState &s, const TextKey &key, RecentText &r, qint64 now, bool forgetting)
{
    r.lastReport = now;
    if (r.copies == 0)
        return;
    const QString line = QStringLiteral("last message repeated %1 times: %2").arg(r.copies).arg(key.second);
    if (!admit(s, now, line, forgetting ? r.copies : 0))
        return;
    r.copies = 0;
    writeDiagnostic(s, QtMsgType(key.first), line);
}

// Texts not seen for a while (or all of them) are forgotten, their counts
// written first.
void sweep(DiagState &s, qint64 now, bool all)
{
    if (!all && now - s.lastSweep < 1000)
        return;
    s.lastSweep = now;
    for (auto it = s.recent.begin(); it != s.recent.end();) {
        if (all || now - it->lastSeen >= s.limits.forgetAfterMs) {
            reportCopies(s, it.key(), *it, now, true);
            it = s.recent.erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace

void corvid_message_handler(QtMsgType type, const QMessageLogContext &context, const QString &msg)
{
    Q_UNUSED(context);
    QMutexLocker lock(&diagMutex());
    DiagState &s = state();
    const QString text = escapedText(msg);
    if (type == QtFatalMsg) {
        writeDiagnostic(s, type, text);  // does not return
        return;
    }
    const qint64 now = s.clock();
    sweep(s, now, false);

    // The same diagnostic over and over (a link that cannot be built, a noisy
    // peer), also among others, is written once lately, then counted.
    const TextKey key(int(type), text);
    const auto it = s.recent.find(key);
    if (it != s.recent.end()) {
        it->lastSeen = now;
        if (it->written < s.limits.writtenCopies) {
            // Limits may allow a few copies as they come.
            if (admit(s, now, text)) {
                ++it->written;
                it->lastReport = now;
                writeDiagnostic(s, type, text);
            } else {
                ++s.folded;
            }
            return;
        }
        ++it->copies;
        ++s.folded;
        const bool slow = now - it->since >= s.limits.slowAfterMs;
        if (now - it->lastReport >= (slow ? s.limits.slowRepeatEveryMs : s.limits.repeatEveryMs))
            reportCopies(s, key, *it, now, false);
        return;
    }
    if (!admit(s, now, text)) {
        ++s.folded;
        return;
    }
    if (s.limits.maxTexts > 0 && s.recent.size() >= s.limits.maxTexts) {
        auto oldest = s.recent.begin();
        for (auto o = s.recent.begin(); o != s.recent.end(); ++o)
            if (o->lastSeen < oldest->lastSeen)
                oldest = o;
        reportCopies(s, oldest.key(), *oldest, now, true);
        s.recent.erase(oldest);
    }
    s.recent.insert(key, RecentText{now, now, now, 0, 1});
    writeDiagnostic(s, type, text);
}

void corvid_set_repeat_limits(const CorvidRepeatLimits &limits, std::function<qint64()> clockMs)
{
    QMutexLocker lock(&diagMutex());
    DiagState &s = state();
    sweep(s, s.clock(), true);
    if (s.keptOut > 0)
        writeDiagnostic(s, QtWarningMsg, QStringLiteral("%1 diagnostics were not written: too many in a short time")
                                             .arg(std::exchange(s.keptOut, 0)));
    s.lastKeptOutNote = std::numeric_limits<qint64>::min() / 2;
    s.limits = limits;
    s.clock = clockMs ? std::move(clockMs) : std::function<qint64()>(monotonicMs);
    s.budget = limits.burstBytes * 60000;
    s.budgetAt = s.clock();
    s.lastSweep = s.budgetAt;
}

CorvidDiagnosticCounts corvid_diagnostic_counts()
{
    QMutexLocker lock(&diagMutex());
    return {state().written, state().folded};
}

void corvid_echo_to_standard_error()
{
    QMutexLocker lock(&diagMutex());
    state().echo = !qEnvironmentVariableIsEmpty("JOURNAL_STREAM") ? DiagState::JournalEcho
                   : ::isatty(STDERR_FILENO)                     ? DiagState::TerminalEcho
                                                                 : DiagState::NoEcho;
}

void corvid_install_diagnostics()
{
    qInstallMessageHandler(corvid_message_handler);
    // Counts still open when the program ends are written, not lost.
    if (QCoreApplication *app = QCoreApplication::instance())
        QObject::connect(app, &QCoreApplication::aboutToQuit, &corvid_write_repeat_counts);
}

void corvid_write_repeat_counts()
{
    QMutexLocker lock(&diagMutex());
    sweep(state(), state().clock(), true);
}

void corvid_set_error_log_stream(QTextStream *stream)
{
    QMutexLocker lock(&diagMutex());
    DiagState &s = state();
    if (s.stream && stream != s.stream) {
        // The old file ends complete: what it still counts is said in it,
        // and the new one starts without texts it never held.
        sweep(s, s.clock(), true);
    }
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

QRegularExpression corvid_error_log_file_pattern(const QString &prefix)
{
    const QString base = prefix.mid(prefix.lastIndexOf(QLatin1Char('/')) + 1);
    return QRegularExpression(QLatin1Char('^') + QRegularExpression::escape(base) +
                              QStringLiteral("\\d{4}-\\d\\d-\\d\\d_\\d\\d-\\d\\d-\\d\\d\\.txt$"));
}

void corvid_write_error_log_start(QTextStream &stream, const QDateTime &utc)
{
    stream << QStringLiteral("Server started at ") << utc.toUTC().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"))
           << Qt::endl;
}
