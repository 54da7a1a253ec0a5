#pragma once
// Pure text work of the message log: the CSV header and lines, the file name
// time stamps and the source callsign of a radio header.

#include <QDateTime>
#include <QRegularExpression>
#include <QString>
#include <cstdint>

struct corvid_message;
struct AX25Header;

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
