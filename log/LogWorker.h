#pragma once
// Writes message log text to one file on a thread-pool thread. Text handed over
// while a run is in progress is queued, and one run at a time drains the queue
// in hand-over order, so every line reaches the file exactly once and in order.

#include <QMutex>
#include <QRunnable>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>

class QFile;
class QTextStream;

class LogWorker : public QRunnable
{
public:
    // Opens the file for appending at once. `mayShowBox`: a failure to open is
    // also handed to the launch-error handler (only ever on the main thread).
    LogWorker(const QString &fileName, bool mayShowBox);

    // Tells an operator that a log file cannot be created; the start-up
    // installs it. Without one, only the diagnostic is written.
    static void setLaunchErrorHandler(std::function<void(const QString &text)> handler);
    ~LogWorker() override;

    LogWorker(const LogWorker &) = delete;
    LogWorker &operator=(const LogWorker &) = delete;

    // Writes everything queued so far, then returns. Safe to call from any
    // thread and concurrently with a pool run.
    void run() override;

    // Queues text, holding `lines` message lines, behind everything handed
    // over before. Returns true when the caller must schedule a run (none is
    // scheduled or running yet).
    bool handOver(const QString &text, int lines = 0);

    // Where the message lines that reached the file are counted.
    void countLinesIn(std::shared_ptr<std::atomic<quint64>> counter) { m_linesWritten = std::move(counter); }

    // Opens the file again when it no longer exists (append, text).
    bool reopenIfMissing(bool mayShowBox);

    bool isOpened() const;
    QString fileName() const { return m_fileName; }

private:
    bool openFile(bool mayShowBox);   // under m_mutex

    const QString m_fileName;
    QString m_text;                   // queued, not yet written; under m_textMutex
    int m_lines = 0;                  // message lines in m_text; under m_textMutex
    std::shared_ptr<std::atomic<quint64>> m_linesWritten;
    std::shared_ptr<QFile> m_file;
    std::unique_ptr<QTextStream> m_stream;
    std::unique_ptr<QMutex> m_mutex;  // serialises runs and the file state
    bool m_opened = false;
    bool m_failed = false;            // the last open failed and was reported

    mutable QMutex m_textMutex;
    bool m_scheduled = false;         // a run will see the queued text; under m_textMutex
};
