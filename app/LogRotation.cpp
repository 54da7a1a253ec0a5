#include "app/LogRotation.h"

#include "app/CorvidDiagnostics.h"
#include "log/CorvidLog.h"
#include "log/corvid_log_format.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTextStream>

#include <algorithm>

namespace {

// Long periods are waited for in steps a QTimer can take.
constexpr qint64 kStepMs = 3600 * 1000;

QString folderOf(const QString &path)
{
    return path.isEmpty() ? QStringLiteral(".") : path;
}

}  // namespace

LogRotation::LogRotation(const Settings &settings, QFile *errorLogFile, QTextStream *errorLogStream,
                         const QDateTime &startUtc, CorvidLog *messageLog, QObject *parent)
    : QObject(parent), m_settings(settings), m_errorLogFile(errorLogFile), m_errorLogStream(errorLogStream),
      m_startUtc(startUtc), m_messageLog(messageLog)
{
    m_clock.start();
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &LogRotation::onTimer);
    deleteOldFiles();
    schedule();
}

LogRotation::~LogRotation()
{
    // Diagnostics must not reach a stream that is gone.
    corvid_set_error_log_stream(nullptr);
}

QString LogRotation::errorLogFileName() const
{
    return m_errorLogFile ? m_errorLogFile->fileName() : QString();
}

void LogRotation::schedule()
{
    if (m_settings.rotateEveryMs <= 0)
        return;
    m_dueAt = m_clock.elapsed() + m_settings.rotateEveryMs;
    m_timer.start(int(std::min(m_settings.rotateEveryMs, kStepMs)));
}

void LogRotation::onTimer()
{
    const qint64 left = m_dueAt - m_clock.elapsed();
    if (left > 0) {
        m_timer.start(int(std::min(left, kStepMs)));
        return;
    }
    const qint64 hours = m_settings.rotateEveryMs / 3600000;
    rotate(hours > 0 && m_settings.rotateEveryMs % 3600000 == 0 ? QStringLiteral("every %1 hours").arg(hours)
                                                                 : QStringLiteral("every %1 ms").arg(m_settings.rotateEveryMs));
}

void LogRotation::rotate(const QString &why)
{
    // A name not in use: two switches within a second must not truncate
    // the file the first one started.
    const QString prefix = m_settings.errorLogPrefix;
    QDateTime at = QDateTime::currentDateTimeUtc();
    QString name = corvid_error_log_file_name(prefix, at);
    while (QFile::exists(name)) {
        at = at.addSecs(1);
        name = corvid_error_log_file_name(prefix, at);
    }
    const QString oldName = errorLogFileName();
    const QString dir = corvid_error_log_directory(prefix);
    if (!dir.isEmpty())
        QDir().mkpath(dir);  // an operator may have cleared it away
    auto file = std::make_unique<QFile>(name);
    if (file->open(QIODevice::WriteOnly | QIODevice::Text | QIODevice::NewOnly)) {
        auto stream = std::make_unique<QTextStream>(file.get());
        corvid_write_error_log_start(*stream, m_startUtc);
        qInfo("%s", qUtf8Printable(QStringLiteral("Log files end here (%1); the error log goes on in %2").arg(why, name)));
        corvid_set_error_log_stream(stream.get());
        m_errorLogStream = std::move(stream);
        m_errorLogFile = std::move(file);
    } else {
        qCritical("%s", qUtf8Printable(QStringLiteral("Cannot create error log file %1: %2; the error log stays %3")
                                           .arg(name, file->errorString(), oldName)));
    }
    const QString csv = m_messageLog ? m_messageLog->startNewFile() : QString();
    qInfo("%s", qUtf8Printable(QStringLiteral("Log files start here (%1); previous error log: %2%3")
                                   .arg(why, oldName, csv.isEmpty() ? QString() : QStringLiteral("; message log: ") + csv)));
    deleteOldFiles();
    schedule();
    emit rotated();
}

int LogRotation::deleteOldFiles()
{
    if (m_settings.keepDays <= 0)
        return 0;
    const QDateTime limit = QDateTime::currentDateTimeUtc().addDays(-m_settings.keepDays);
    const QStringList inUse = {QFileInfo(errorLogFileName()).absoluteFilePath(),
                               m_messageLog ? QFileInfo(m_messageLog->fileName()).absoluteFilePath() : QString()};
    const QString errorDir = folderOf(corvid_error_log_directory(m_settings.errorLogPrefix));
    const QList<QPair<QString, QRegularExpression>> own = {
        {errorDir, corvid_error_log_file_pattern(m_settings.errorLogPrefix)},
        {folderOf(m_settings.messageLogDir), corvid_log_file_pattern()},
    };
    int deleted = 0;
    for (const auto &folder : own) {
        // Plain files only: a link may point anywhere.
        const QFileInfoList files = QDir(folder.first).entryInfoList(QDir::Files | QDir::NoSymLinks | QDir::Hidden);
        for (const QFileInfo &info : files) {
            if (!folder.second.match(info.fileName()).hasMatch() || inUse.contains(info.absoluteFilePath()) ||
                info.lastModified().toUTC() >= limit)
                continue;
            QFile old(info.filePath());
            if (old.remove())
                ++deleted;
            else
                qWarning("%s", qUtf8Printable(QStringLiteral("Cannot delete old log file %1: %2")
                                                  .arg(info.filePath(), old.errorString())));
        }
    }
    if (deleted > 0)
        qInfo("%s", qUtf8Printable(QStringLiteral("Deleted %1 log files last written more than %2 days ago")
                                       .arg(deleted)
                                       .arg(m_settings.keepDays)));
    return deleted;
}
