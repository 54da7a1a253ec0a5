#include "log/LogWorker.h"

#include <QCoreApplication>
#include <QFile>
#include <QTextStream>
#include <QThread>

#include <utility>

namespace {

std::function<void(const QString &)> g_launchErrorHandler;

// An operator may have to answer: only ever asked from the main thread.
void reportCreationFailed()
{
    const QCoreApplication *app = QCoreApplication::instance();
    if (!g_launchErrorHandler || !app || QThread::currentThread() != app->thread())
        return;
    g_launchErrorHandler(QStringLiteral("Cannot create corvid log file."));
}

}  // namespace

void LogWorker::setLaunchErrorHandler(std::function<void(const QString &)> handler)
{
    g_launchErrorHandler = std::move(handler);
}

LogWorker::LogWorker(const QString &fileName, bool mayShowBox)
    : m_fileName(fileName), m_mutex(std::make_unique<QMutex>())
{
    setAutoDelete(false);
    QMutexLocker lock(m_mutex.get());
    openFile(mayShowBox);
}

LogWorker::~LogWorker()
{
    if (m_stream)
        m_stream->flush();
    m_stream.reset();
    if (m_file)
        m_file->close();
}

bool LogWorker::openFile(bool mayShowBox)
{
    m_stream.reset();
    m_file = std::make_shared<QFile>(m_fileName);
    m_opened = m_file->open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text);
    if (m_opened) {
        m_stream = std::make_unique<QTextStream>(m_file.get());
        if (m_failed)
            qInfo("Message log is written again: %s", qUtf8Printable(m_fileName));
        m_failed = false;
        return true;
    }
    // Said once when it breaks, not for every line while it stays so.
    if (m_failed)
        return false;
    m_failed = true;
    qCritical("Corvid Messages log file creation failed: %s", qUtf8Printable(m_fileName));
    if (mayShowBox)
        reportCreationFailed();
    return false;
}

bool LogWorker::reopenIfMissing(bool mayShowBox)
{
    QMutexLocker lock(m_mutex.get());
    if (m_opened && QFile::exists(m_fileName))
        return true;
    return openFile(mayShowBox);
}

bool LogWorker::isOpened() const
{
    QMutexLocker lock(m_mutex.get());
    return m_opened;
}

bool LogWorker::handOver(const QString &text, int lines)
{
    QMutexLocker lock(&m_textMutex);
    m_text += text;
    m_lines += lines;
    if (m_scheduled)
        return false;
    m_scheduled = true;
    return true;
}

void LogWorker::run()
{
    // Taking text and writing it both happen under m_mutex, so two runs can
    // never interleave their pieces.
    QMutexLocker lock(m_mutex.get());
    for (;;) {
        QString text;
        int lines = 0;
        {
            QMutexLocker textLock(&m_textMutex);
            if (m_text.isEmpty()) {
                m_scheduled = false;
                return;
            }
            text.swap(m_text);
            lines = std::exchange(m_lines, 0);
        }
        if (!QFile::exists(m_fileName))
            openFile(false);
        if (m_stream) {
            *m_stream << text;
            m_stream->flush();
            if (m_linesWritten)
                *m_linesWritten += quint64(lines);
        }
    }
}
