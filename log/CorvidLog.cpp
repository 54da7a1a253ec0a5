#include "log/CorvidLog.h"

#include "log/LogWorker.h"
#include "log/corvid_log_format.h"

#include <QDateTime>
#include <QLoggingCategory>
#include <QFileInfo>
#include <QTextStream>
#include <QThreadPool>
#include <QTimer>

namespace {

Q_LOGGING_CATEGORY(lcLog, "corvid.log", QtWarningMsg)

// A free name for a new file. Two file changes within one millisecond would
// otherwise reuse a name and truncate the earlier file.
QString freeFileName(const QString &prefix, const QString &callsign)
{
    QDateTime t = QDateTime::currentDateTimeUtc();
    for (;;) {
        const QString stamp = corvid_log_file_stamp(t);
        const QString name = callsign.isEmpty()
                                 ? QString(prefix + stamp + QStringLiteral(".csv"))
                                 : QString(prefix + QLatin1Char('_') + callsign + QLatin1Char('_') + stamp
                                           + QStringLiteral(".csv"));
        if (!QFile::exists(name))
            return name;
        t = t.addMSecs(1);
    }
}

constexpr uint64_t kHourMs = 3600 * 1000;

}  // namespace

CorvidLog::CorvidLog(const QString &baseDir, bool enabled, uint32_t threadCount, QObject *parent)
    : QObject(parent), m_threadCount(threadCount), m_enabled(enabled),
      m_filePrefix(baseDir + QStringLiteral("/HistoryLogServer"))
{
    m_fileName = freeFileName(m_filePrefix, QString());

    if (m_threadCount != 0 && m_enabled) {
        // The file and its header exist from start-up on.
        openWorkerFile(true);
    } else if (m_enabled) {
        // Direct mode opens its first file with the first message; an
        // unusable folder is said now, not only once traffic flows.
        const QFileInfo dir(baseDir);
        const char *why = !dir.exists() ? "it does not exist"
                          : !dir.isDir() ? "it is not a folder"
                          : !dir.isWritable() ? "it is not writable"
                                              : nullptr;
        if (why) {
            m_broken = true;
            qCritical("%s", qPrintable(QStringLiteral("Message log folder %1 cannot be used: %2")
                                           .arg(baseDir, QLatin1String(why))));
        }
    }

    m_flushTimer = new QTimer(this);
    connect(m_flushTimer, &QTimer::timeout, this, &CorvidLog::on_flush_timer);
    m_flushTimer->start(1000);
}

CorvidLog::~CorvidLog()
{
    if (m_worker) {
        // Writes what no pool run has taken yet; a run still in progress is
        // waited for. A queued run keeps the worker alive and finds nothing.
        m_worker->run();
        m_worker.reset();
    }
    closeDirectFile();
}

void CorvidLog::openWorkerFile(bool mayShowBox)
{
    // The worker reports a file it cannot make.
    m_fileReady = false;
    m_worker = std::make_shared<LogWorker>(m_fileName, mayShowBox);
    m_worker->countLinesIn(m_linesWritten);
    if (m_worker->isOpened() && m_worker->handOver(corvid_log_header()))
        startWorker();
}

QString CorvidLog::startNewFile()
{
    if (!m_enabled)
        return QString();
    if (m_threadCount != 0) {
        // What the old worker holds goes to the old file, now, so that file
        // is complete when this returns; a pool run still going keeps it
        // alive and finds nothing left.
        if (m_worker)
            m_worker->run();
        m_fileName = freeFileName(m_filePrefix, QString());
        openWorkerFile(false);
        return m_fileName;
    }
    // Direct mode: no file before the first message, and none needed yet.
    if (!m_stream)
        return QString();
    closeDirectFile();
    openDirectFile();
    return m_stream ? m_fileName : QString();
}

void CorvidLog::slotAppendCorvidToLog(corvid_message ucm, quint64 stampId, bool dirToSat, quint32 status,
                                      AX25HeaderOpt hdr)
{
    if (!m_enabled)
        return;
    const QString line = corvid_log_line(ucm, stampId, dirToSat, status, QDateTime::currentDateTimeUtc());
    if (line.isEmpty())
        return;
    if (m_threadCount == 0)
        appendDirect(line, corvid_log_callsign(hdr ? &*hdr : nullptr));
    else
        appendWorker(line);
}

void CorvidLog::on_flush_timer()
{
    if (!m_flushed && m_fileReady && m_stream) {
        m_stream->flush();
        m_flushed = true;
    }
}

void CorvidLog::closeDirectFile()
{
    if (m_stream) {
        if (!m_flushed)
            m_stream->flush();
        m_flushed = true;
        m_stream.reset();
    }
    if (m_file.isOpen())
        m_file.close();
}

void CorvidLog::openDirectFile()
{
    m_fileName = freeFileName(m_filePrefix, corvid_log_file_callsign(m_callsign));
    m_file.setFileName(m_fileName);
    m_fileReady = false;
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Text)) {
        // Said once when it breaks, not for every message while it stays so.
        if (!m_broken)
            qCritical("CorvidLog: Couldn't open log file.");
        m_broken = true;
        return;
    }
    qCDebug(lcLog).noquote() << "writing" << m_fileName;
    m_stream = std::make_unique<QTextStream>(&m_file);
    *m_stream << corvid_log_header();
    m_stream->flush();
    m_fileReady = true;
    if (m_broken)
        qInfo("%s", qPrintable(QStringLiteral("Message log is written again: %1").arg(m_fileName)));
    m_broken = false;
}

bool CorvidLog::mayOpenCallsignFile()
{
    const uint64_t now = m_clock();
    if (!m_hourStarted || now - m_hourStart >= kHourMs) {
        m_hourStarted = true;
        m_hourStart = now;
        m_callsignFiles = 0;
    }
    if (m_callsignFiles >= kCallsignFilesPerHour)
        return false;
    ++m_callsignFiles;
    return true;
}

void CorvidLog::appendDirect(const QString &line, const QString &callsign)
{
    // The applications' own messages carry no callsign and belong with the
    // traffic around them: only another callsign starts another file.
    bool changed = !callsign.isEmpty() && callsign != m_callsign;
    if (changed && !mayOpenCallsignFile()) {
        // This hour's share is spent: every callsign into the one mixed file.
        changed = false;
        if (m_callsign != mixedCallsign()) {
            closeDirectFile();
            m_callsign = mixedCallsign();
            openDirectFile();
            qCritical("%s", qPrintable(QStringLiteral("Message log: the callsign changed %1 times within an hour; "
                                                      "until the hour is over, messages of every callsign go to %2")
                                           .arg(kCallsignFilesPerHour)
                                           .arg(m_fileName)));
        }
    }
    if (!m_stream || changed) {
        closeDirectFile();
        if (changed) {
            qInfo("Callsign changed: %s", qUtf8Printable(callsign));
            m_callsign = callsign;
        }
        openDirectFile();
    }
    if (m_stream) {
        *m_stream << line;
        m_flushed = false;
        ++*m_linesWritten;
    }
}

void CorvidLog::appendWorker(const QString &line)
{
    QString text = line;
    if (!m_fileReady) {
        if (QFile::exists(m_fileName)) {
            m_fileReady = true;
        } else {
            // The file could not be made so far: try again, header first.
            text = corvid_log_header() + line;
            if (!m_worker) {
                m_worker = std::make_shared<LogWorker>(m_fileName, true);
                m_worker->countLinesIn(m_linesWritten);
            } else
                m_worker->reopenIfMissing(true);
            if (QFile::exists(m_fileName))
                m_fileReady = true;
        }
    }
    if (m_worker->handOver(text, 1))
        startWorker();
}

void CorvidLog::startWorker()
{
    // The pool shares ownership, so the worker outlives a run that is still
    // going when the log replaces or drops it.
    std::shared_ptr<LogWorker> worker = m_worker;
    QThreadPool *pool = QThreadPool::globalInstance();
    if (!pool->tryStart([worker]() { worker->run(); }))
        pool->start([worker]() { worker->run(); });
}
