#pragma once
// The CSV record of every bus message that passes the server. Direct mode
// writes through one stream on the main thread and starts a new file whenever
// the traffic comes from another station callsign; worker mode hands the lines to
// a LogWorker on Qt's global thread pool.
//
// Anyone with a transmitter can put any callsign on the air, so a sender that
// changes it with every frame would make a file per frame. Past
// kCallsignFilesPerHour such files within an hour, the messages of every
// callsign go to one file named "mixed" until the hour is over.

#include "engine/corvid_engine.h"
#include "engine/corvid_types.h"

#include <QFile>
#include <QObject>
#include <QString>

#include <atomic>
#include <cstdint>
#include <memory>

class LogWorker;
class QTextStream;
class QTimer;

class CorvidLog : public QObject
{
    Q_OBJECT
public:
    // baseDir: the message log directory (it is not created here).
    // threadCount: 0 writes directly, anything else through the worker.
    CorvidLog(const QString &baseDir, bool enabled, uint32_t threadCount, QObject *parent = nullptr);
    // Everything handed over so far is on disk when this returns.
    ~CorvidLog() override;

    // The current log file's path.
    QString fileName() const { return m_fileName; }

    // Message lines written to the files so far; safe from any thread.
    quint64 linesWritten() const { return *m_linesWritten; }

    static constexpr int kCallsignFilesPerHour = 60;
    // The callsign in the name of the file that takes every callsign.
    static QString mixedCallsign() { return QStringLiteral("mixed"); }
    // Monotonic milliseconds for the hourly count of callsign files; null
    // restores the steady clock.
    void setClock(corvid_clock_fn clock) { m_clock = clock ? clock : corvid_steady_ms; }

    // Ends the current file and starts the next one, named for now (in
    // direct mode only once a file is open, keeping the callsign). Every
    // message handed over before is in the old file, every later one in the
    // new. Returns the new file's path, empty when none was started.
    QString startNewFile();

public slots:
    // `ucm.data` is read during the call only.
    void slotAppendCorvidToLog(corvid_message ucm, quint64 stampId, bool dirToSat = false, quint32 status = 0,
                               AX25HeaderOpt hdr = {});
    void on_flush_timer();

private:
    void appendDirect(const QString &line, const QString &callsign);
    void appendWorker(const QString &line);
    void startWorker();
    void openWorkerFile(bool mayShowBox);
    void openDirectFile();
    void closeDirectFile();
    // Counts a file for another callsign; false when this hour has had its share.
    bool mayOpenCallsignFile();

    uint32_t m_threadCount = 0;
    bool m_enabled = true;
    std::shared_ptr<LogWorker> m_worker;
    QString m_filePrefix;
    QString m_fileName;
    QFile m_file;
    std::unique_ptr<QTextStream> m_stream;
    bool m_fileReady = false;
    bool m_flushed = true;
    QTimer *m_flushTimer = nullptr;
    QString m_callsign;
    corvid_clock_fn m_clock = corvid_steady_ms;
    uint64_t m_hourStart = 0;
    int m_callsignFiles = 0;  // opened for another callsign since m_hourStart
    bool m_hourStarted = false;
    bool m_broken = false;  // direct mode: the last attempt to open a file failed
    // Shared with the workers, which count in their own threads.
    std::shared_ptr<std::atomic<quint64>> m_linesWritten = std::make_shared<std::atomic<quint64>>(0);
};
