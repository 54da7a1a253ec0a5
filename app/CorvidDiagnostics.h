#pragma once
// The one handler for every diagnostic of the program. It writes each one to
// the per-run error log and to the main window's text area; until a window is
// attached the window lines are kept as pending diagnostics. Safe to call from
// any thread.

#include <QString>
#include <QtGlobal>

#include <functional>

class QDateTime;
class QFile;
class QObject;
class QRegularExpression;
class QTextStream;
class QTime;

// Qt's message handler signature; the context is ignored.
void corvid_message_handler(QtMsgType type, const QMessageLogContext &context, const QString &msg);

// Installs corvid_message_handler for the rest of the process.
void corvid_install_diagnostics();

// Every diagnostic written to the error log also goes to standard error when
// that is the journal (JOURNAL_STREAM is set: with its syslog level) or a
// terminal (as the error log has it), so that someone sees it at once.
void corvid_echo_to_standard_error();

// Entries written to the error log (or kept for it until it opens), and
// diagnostics folded into a count instead (repeats, and those held back by
// the volume limit). Safe from any thread.
struct CorvidDiagnosticCounts {
    quint64 written = 0;
    quint64 folded = 0;
};
CorvidDiagnosticCounts corvid_diagnostic_counts();

// Writes what is still counted, so that nothing counted at the end is lost.
// Also done when the event loop ends.
void corvid_write_repeat_counts();

// The error log stream. Not owned. While there is none (the default),
// each entry goes to standard error at once and is kept; setting the stream
// writes the kept entries into it first. A stream that takes another's place
// first gets what is still counted in the old one, which nobody uses once
// this returns.
void corvid_set_error_log_stream(QTextStream *stream);

// What keeps the error log small when diagnostics come again and again. A
// text (same type and text) written `writtenCopies` times lately is counted,
// not written again; a line "last message repeated N times: <text>" stands
// for the copies, at most once per `repeatEveryMs`, and once the text has come
// back for `slowAfterMs`, at most once per `slowRepeatEveryMs`. A text not
// seen for `forgetAfterMs` is written anew when it comes back. Besides, the
// error log takes at most `burstBytes` at once and `bytesPerMinute` more each
// minute (0: no such limit); what does not fit is counted and said later.
struct CorvidRepeatLimits {
    int writtenCopies = 1;
    qint64 repeatEveryMs = 60000;
    qint64 slowRepeatEveryMs = 3600000;
    qint64 slowAfterMs = 600000;
    qint64 forgetAfterMs = 300000;
    int maxTexts = 256;
    qint64 burstBytes = 48 * 1024;
    qint64 bytesPerMinute = 4096;
};
// Writes out what is still counted, then applies `limits`. The clock reads
// milliseconds; an empty one restores the monotonic clock.
void corvid_set_repeat_limits(const CorvidRepeatLimits &limits, std::function<qint64()> clockMs = {});

// The local time of day stamped on each error log entry; an empty clock
// restores the real one.
void corvid_set_error_log_clock(std::function<QTime()> localTimeOfDay);

// The window's text area, as a function that appends one paragraph. It is
// always called in the thread of `owner`: from other threads the line is handed
// over by a queued call. Returns the pending diagnostics (each line followed by
// a line feed) and empties them, in the same step, so nothing is shown twice
// or lost in between. A null owner detaches the window.
using CorvidDiagnosticSink = std::function<void(const QString &line)>;
QString corvid_set_diagnostic_sink(QObject *owner, CorvidDiagnosticSink sink);

// Empties the pending diagnostics and returns what they held.
QString corvid_take_pending_diagnostics();

// Empties the pending diagnostics and stops keeping them: without a window
// they would never be shown.
void corvid_discard_pending_diagnostics();

// "Debug ", "Info ", "Warning ", "Critical ", "Fatal error ", else "Unknown ".
QString corvid_diagnostic_level_word(QtMsgType type);

// The window line: UTC date and time in text date format, a blank, the level
// word, ": ", the text.
QString corvid_diagnostic_window_line(QtMsgType type, const QString &msg, const QDateTime &utc);

// Error log file: "<prefix>yyyy-MM-dd_hh-mm-ss.txt" of a UTC time. The prefix
// is a path prefix, not a directory.
QString corvid_error_log_file_name(const QString &prefix, const QDateTime &utc);

// The folder part of the prefix: everything before its last "/" (empty
// without one: the working directory).
QString corvid_error_log_directory(const QString &prefix);

// Creates the whole folder path of the prefix when missing and opens the
// file named for `utc` for writing in text mode, truncating an old one.
bool corvid_open_error_log(QFile &file, const QString &prefix, const QDateTime &utc);

// The names of the error log files of a prefix, within its folder.
QRegularExpression corvid_error_log_file_pattern(const QString &prefix);

// The first line of an error log: "Server started at yyyy-MM-dd hh:mm:ss", ended and flushed.
void corvid_write_error_log_start(QTextStream &stream, const QDateTime &utc);
