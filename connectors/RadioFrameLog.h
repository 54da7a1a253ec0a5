#pragma once
// The two files of received radio frames: a text log (time and hex per line)
// and a KSS file (a KISS frame of command 9 with the receive time, then a KISS
// data frame with the packet). Opened at the first packet, so a link that is
// rebuilt while its modem is down leaves no empty files behind.

#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QString>

class RadioFrameLog {
public:
    // baseName: path without extension; the folder is made when missing.
    explicit RadioFrameLog(const QString &baseName) : m_baseName(baseName) {}

    void append(const QByteArray &packet, const QDateTime &utc);

    QString textFileName() const { return m_baseName + QStringLiteral(".satnogs.csv"); }
    QString kssFileName() const { return m_baseName + QStringLiteral(".kss"); }

    // The KSS bytes of one packet.
    static QByteArray kssRecord(const QByteArray &packet, const QDateTime &utc);
    // The text line of one packet, line end included.
    static QByteArray textLine(const QByteArray &packet, const QDateTime &utc);

private:
    bool open();

    QString m_baseName;
    QFile m_text;
    QFile m_kss;
    bool m_opened = false;
    bool m_failed = false;  // reported once; nothing is written after
};
