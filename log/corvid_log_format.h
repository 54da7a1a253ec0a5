#pragma once
// Pure text work of the message log: the CSV header and lines, the file name
// time stamps and the source callsign of a radio header.

#include "engine/corvid_types.h"

#include <QByteArray>
#include <QDateTime>
#include <QRegularExpression>
#include <QString>
#include <cstdint>

// The first line of every message log file, line feed included.
QString corvid_log_header();

// One CSV line for a message, line feed included. `utc` fills the time field.
QString corvid_log_line(const corvid_message &msg, quint64 stampId, bool dirToSat, uint32_t status,
                        const QDateTime &utc);

// Source callsign of a radio header (empty for a null header): up to six
// characters shifted right by one bit, ending at a 0x00 or 0x40 (blank) byte.
QString corvid_log_callsign(const AX25Header *hdr);

// A callsign as part of a file name: letters, digits and '-' stay, any other
// character becomes '_', so no name from the air can leave the folder or
// hold a control character.
QString corvid_log_file_callsign(const QString &callsign);

// "yy_MM_ddThh-mm-ss-zzz" of a UTC time, as used in the file names.
QString corvid_log_file_stamp(const QDateTime &utc);

// The names of the message log's own files in its folder (with or without a
// callsign), and nothing else.
const QRegularExpression &corvid_log_file_pattern();

// One line of a message log read back.
struct CorvidLogRecord {
    enum Kind { Header, Message, Malformed };
    Kind kind = Malformed;
    QString error;  // what is wrong with a malformed line
    QDateTime utc;  // the time field, to the millisecond
    quint64 stamp = 0;
    bool dirToSat = false;  // an O line
    bool sent = false;      // an O line with status OK
    corvid_owned_message msg;
};

// Reads one line as corvid_log_line writes it (its line end, LF or CR LF,
// taken off first), or the header line. Anything else, or a field out of
// its range, or data that does not match the length, is Malformed.
CorvidLogRecord corvid_log_parse_line(const QByteArray &line);
