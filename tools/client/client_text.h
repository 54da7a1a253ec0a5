#pragma once
// Text side of the command-line client: the message lines users type or pass
// on the command line, and the one-line forms of the frames it prints. Scripts
// parse these lines, so every change here must keep the documented form.

#include <QByteArray>
#include <QString>
#include <cstdint>

// A message to send, as given by the user.
struct client_message_t {
    uint16_t msg_id = 0;
    uint16_t address_from = 0;
    uint16_t address_to = 0;
    QByteArray data;
};

// A received FrameMsg2App, decoded.
struct client_rx_msg_t {
    uint32_t dir = 0;
    uint32_t status = 0;
    int64_t time_ms = 0;
    uint64_t stampId = 0;
    uint32_t tag = 0;
    uint16_t msg_id = 0;
    uint16_t address_from = 0;
    uint16_t address_to = 0;
    QByteArray data;
    QByteArray ax25;  // 17 bytes when the frame carried an AX.25 header, else empty
};

// "0x" or "0X" prefix: hexadecimal; otherwise decimal. No sign, no octal.
bool client_parse_number(const QString &text, uint64_t max, uint64_t *out, QString *error);

// Hex digits in pairs, case-insensitive; empty is no data.
bool client_parse_hex(const QString &text, QByteArray *out, QString *error);

// "id from to [hexdata]"; fields separated by commas and/or white space. Hex data
// may be split into several white-space separated groups, each of whole bytes.
bool client_parse_message(const QString &text, client_message_t *out, QString *error);

// One output line each, without the line feed.
QString client_format_msg(const client_rx_msg_t &m, bool json);
QString client_format_server_info(uint32_t version, int64_t time_ms, const QByteArray &name, bool json);
QString client_format_server_state(uint32_t hw_state, uint32_t hw_error, bool json);
// "sent ..." line for --verbose (stderr).
QString client_format_sent(uint32_t recId, const client_message_t &m, bool injected);

// UTC, ISO 8601 with milliseconds and a Z.
QString client_format_time(int64_t time_ms);
