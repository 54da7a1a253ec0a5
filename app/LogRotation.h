#pragma once
// Keeps the server's logs in bounds without outside help: on request (SIGHUP)
// and every `rotateEveryMs` it ends the error log and the message log and
// starts new ones, named as at start with the time of the switch; at start and
// at each switch it deletes its own log files older than `keepDays`.

#include <QDateTime>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>

class CorvidLog;
class QFile;
class QTextStream;

class LogRotation : public QObject {
    Q_OBJECT
public:
    struct Settings {
        QString errorLogPrefix;  // ErrorLogFile
        QString messageLogDir;   // CorvidLogFile
        qint64 rotateEveryMs = 0;  // 0: only on request
        int keepDays = 0;          // 0: keep every file
    };

    // Takes over the open error log file and the stream the diagnostics
    // write to; `messageLog` must outlive this object, or be null.
    LogRotation(const Settings &settings, QFile *errorLogFile, QTextStream *errorLogStream, const QDateTime &startUtc,
                CorvidLog *messageLog, QObject *parent = nullptr);
    ~LogRotation() override;

    // Ends the current files and starts new ones; `why` is said in both
    // error logs. Then old files are deleted.
    void rotate(const QString &why);

    // Deletes the files in the log folders that carry the names of this
    // server's logs and were last written more than keepDays ago; the files
    // in use stay. Returns how many went.
    int deleteOldFiles();

    QString errorLogFileName() const;

signals:
    void rotated();

private:
    void schedule();
    void onTimer();

    Settings m_settings;
    std::unique_ptr<QFile> m_errorLogFile;
    std::unique_ptr<QTextStream> m_errorLogStream;
    QDateTime m_startUtc;
    CorvidLog *m_messageLog = nullptr;
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_dueAt = 0;  // on m_clock

    Q_DISABLE_COPY(LogRotation)
};
