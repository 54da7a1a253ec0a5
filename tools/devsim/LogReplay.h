#pragma once
// Reads a message log of the server back as the messages to send again: the
// I lines, each due after the recorded gap to the one before, divided by the
// speed. O lines are skipped; a malformed line is named and skipped. The file
// is read line by line, so a log of any size takes little memory.

#include "log/corvid_log_format.h"

#include <QFile>
#include <QString>
#include <cstdint>
#include <functional>

class LogReplay {
public:
    // speed 0: every message is due at once.
    LogReplay(const QString &fileName, double speed, bool loop);

    // False and the reason when the file cannot be read.
    bool open(QString *error);

    struct Item {
        corvid_owned_message msg;
        double dueMs = 0;  // from the start of the replay
    };
    // The next message; false at the end (with loop: only for a file without
    // any message to send).
    bool next(Item &item);

    // Said for each malformed line, on the first pass only: "FILE:LINE: why".
    std::function<void(const QString &)> onMalformed;

    uint64_t skipped() const { return m_skipped; }
    uint64_t malformed() const { return m_malformed; }
    int passes() const { return m_pass; }

    // A line longer than this is malformed (the longest message is 65,535 bytes).
    static constexpr qint64 kMaxLineBytes = 2 * 65535 + 256;

private:
    bool readLine(QByteArray &line, bool *overlong);
    void malformedLine(const QString &why);

    QFile m_file;
    double m_speed = 0;
    bool m_loop = false;
    int m_pass = 1;
    qint64 m_lineNo = 0;
    uint64_t m_skipped = 0;
    uint64_t m_malformed = 0;
    bool m_sentThisPass = false;
    bool m_haveLast = false;
    QDateTime m_last;       // time of the last message taken
    double m_recordedMs = 0;  // recorded time of the replay so far, gaps added up
};
