#include "app/CorvidDiagnostics.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QObject>
#include <QPointer>
#include <QRecursiveMutex>
#include <QTextStream>
#include <QThread>

#include <cstdlib>

namespace {

// One lock over the stream, the pending text and the sink. Recursive, because
// writing to the window may itself produce a diagnostic in the same thread.
QRecursiveMutex &diagMutex()
{
    static QRecursiveMutex mutex;
    return mutex;
}

struct DiagState {
    QTextStream *stream = nullptr;
    QString pending;
    bool keepPending = true;
    QPointer<QObject> owner;
    bool hasSink = false;
    CorvidDiagnosticSink sink;
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

QString corvid_diagnostic_window_line(QtMsgType type, const QString &msg, const QDateTime &utc)
{
    return utc.toUTC().toString(Qt::TextDate) + QLatin1Char(' ') + corvid_diagnostic_level_word(type)
           + QStringLiteral(": ") + msg;
}

void corvid_message_handler(QtMsgType type, const QMessageLogContext &context, const QString &msg)
{
    Q_UNUSED(context);
    QMutexLocker lock(&diagMutex());
    DiagState &s = state();

    if (s.stream) {
        *s.stream << QTime::currentTime().toString(QStringLiteral("hh:mm:ss")) << QStringLiteral(": ") << msg
                  << QLatin1Char('\n') << Qt::endl;
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

void corvid_install_diagnostics()
{
    qInstallMessageHandler(corvid_message_handler);
}

void corvid_set_error_log_stream(QTextStream *stream)
{
    QMutexLocker lock(&diagMutex());
    state().stream = stream;
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
    const int slash = prefix.indexOf(QLatin1Char('/'));
    return slash < 0 ? prefix : prefix.left(slash);
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
