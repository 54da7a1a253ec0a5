#pragma once
// Byte work of the MQTT bridge, free of any connection: topic names, the
// texts of user properties and of the status object, the request topic
// parser, and a printable form of outside text for diagnostics.

#include <QByteArray>
#include <QString>
#include <cstddef>
#include <cstdint>

// Four lower-case hexadecimal digits, so that '+' and '#' select by device and id.
QByteArray corvid_mqtt_hex4(uint16_t value);

// "<prefix>/up/<from>/<to>/<id>" for a message toward the link, "<prefix>/down/..." for one from it.
QByteArray corvid_mqtt_message_topic(const QByteArray &prefix, bool toLink, uint16_t from, uint16_t to,
                                     uint16_t msgId);

// Reads "<prefix>/send/<from>/<to>/<id>", each of the three exactly four hexadecimal
// digits (either case). False for anything else; the outputs are then untouched.
bool corvid_mqtt_parse_send_topic(const QByteArray &prefix, const char *topic, size_t length, uint16_t *from,
                                  uint16_t *to, uint16_t *msgId);

// ISO 8601 in UTC with milliseconds: "2024-05-01T12:34:56.789Z".
QByteArray corvid_mqtt_iso_time(int64_t msSinceEpoch);

// An AX.25 address field as "CALL-SSID" (the SSID from bits 1 to 4 of its byte).
QByteArray corvid_mqtt_callsign(const uint8_t (&field)[6], uint8_t ssidByte);

// The retained status object; `state` one of ready, error, notinit, offline.
QByteArray corvid_mqtt_status_json(const char *state, const QString &interface, int clients, unsigned version);

// Outside bytes for a log line: printable ASCII kept, everything else as \xHH,
// cut after `max` input bytes with "...".
QString corvid_mqtt_printable(const QByteArray &outside, int max = 160);
