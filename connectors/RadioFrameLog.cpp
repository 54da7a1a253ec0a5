#include "connectors/RadioFrameLog.h"

#include "connectors/kiss_codec.h"

#include <QDir>
#include <QFileInfo>

namespace {
constexpr uint8_t KSS_TIME_COMMAND = 0x09;
}

QByteArray RadioFrameLog::textLine(const QByteArray &packet, const QDateTime &utc)
{
    return utc.toUTC().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")).toUtf8() + '|' + packet.toHex().toUpper() +
           '\n';
}

QByteArray RadioFrameLog::kssRecord(const QByteArray &packet, const QDateTime &utc)
{
    const QByteArray time = utc.toUTC().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz 'UTC'")).toUtf8();
    // Every packet byte is escaped, the first one too: a port byte of 0xC0
    // would otherwise end the frame early for every reader.
    return kiss_frame(KSS_TIME_COMMAND, time) + kiss_frame(0x00, packet);
}

bool RadioFrameLog::open()
{
    if (m_opened || m_failed)
        return m_opened;
    QString problem;
    const QString dir = QFileInfo(m_baseName).absolutePath();
    if (!QDir().mkpath(dir)) {
        problem = QStringLiteral("cannot create the folder %1").arg(dir);
    } else {
        m_text.setFileName(textFileName());
        m_kss.setFileName(kssFileName());
        if (!m_text.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text))
            problem = QStringLiteral("%1: %2").arg(m_text.fileName(), m_text.errorString());
        else if (!m_kss.open(QIODevice::WriteOnly | QIODevice::Append))
            problem = QStringLiteral("%1: %2").arg(m_kss.fileName(), m_kss.errorString());
    }
    if (!problem.isEmpty()) {
        qCritical("%s", qPrintable(QStringLiteral("AX25_connector: cannot open radio frame log ") + problem));
        m_text.close();
        m_failed = true;
        return false;
    }
    m_opened = true;
    return true;
}

void RadioFrameLog::append(const QByteArray &packet, const QDateTime &utc)
{
    if (!open())
        return;
    m_text.write(textLine(packet, utc));
    m_text.flush();
    const QByteArray record = kssRecord(packet, utc);
    if (m_kss.write(record) != record.size() || !m_kss.flush())
        qCritical("AX25_connector: error while writing KSS log!");
}
