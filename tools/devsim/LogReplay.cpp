#include "tools/devsim/LogReplay.h"

#include <algorithm>

LogReplay::LogReplay(const QString &fileName, double speed, bool loop)
    : m_file(fileName), m_speed(speed), m_loop(loop)
{
}

bool LogReplay::open(QString *error)
{
    if (m_file.open(QIODevice::ReadOnly))
        return true;
    *error = QStringLiteral("%1: %2").arg(m_file.fileName(), m_file.errorString());
    return false;
}

bool LogReplay::readLine(QByteArray &line, bool *overlong)
{
    *overlong = false;
    if (m_file.atEnd())
        return false;
    line = m_file.readLine(kMaxLineBytes + 1);
    ++m_lineNo;
    if (line.endsWith('\n') || m_file.atEnd())
        return true;
    // The rest of an overlong line is read past, never kept.
    *overlong = true;
    char c = 0;
    while (m_file.getChar(&c) && c != '\n') {
    }
    return true;
}

void LogReplay::malformedLine(const QString &why)
{
    if (m_pass > 1)
        return;
    ++m_malformed;
    if (onMalformed)
        onMalformed(QStringLiteral("%1:%2: malformed line skipped (%3)").arg(m_file.fileName()).arg(m_lineNo).arg(why));
}

bool LogReplay::next(Item &item)
{
    for (;;) {
        QByteArray line;
        bool overlong = false;
        if (!readLine(line, &overlong)) {
            // A pass without a message would loop without end.
            if (!m_loop || !m_sentThisPass)
                return false;
            m_file.seek(0);
            m_lineNo = 0;
            ++m_pass;
            m_sentThisPass = false;
            m_haveLast = false;  // the next pass follows at once
            continue;
        }
        if (overlong) {
            malformedLine(QStringLiteral("longer than %1 bytes").arg(kMaxLineBytes));
            continue;
        }
        const CorvidLogRecord r = corvid_log_parse_line(line);
        if (r.kind == CorvidLogRecord::Header)
            continue;
        if (r.kind == CorvidLogRecord::Malformed) {
            malformedLine(r.error);
            continue;
        }
        if (r.dirToSat) {
            ++m_skipped;
            continue;
        }
        // A clock set back (or files joined out of order) gives no gap, not a negative one.
        if (m_haveLast)
            m_recordedMs += double(std::max<qint64>(0, m_last.msecsTo(r.utc)));
        m_last = r.utc;
        m_haveLast = true;
        m_sentThisPass = true;
        item.msg = r.msg;
        item.dueMs = m_speed > 0 ? m_recordedMs / m_speed : 0;
        return true;
    }
}
