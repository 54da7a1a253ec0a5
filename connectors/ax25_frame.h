#pragma once
// Byte work of the radio link, without sockets: the AX.25 address header, the
// message payload of one frame, and cutting a received frame into messages.

#include "engine/corvid_types.h"

#include <QByteArray>
#include <QVector>
#include <cstdint>

// The header takes exactly this many characters of a callsign.
constexpr int AX25_CALLSIGN_CHARS = 5;
constexpr int AX25_HEADER_SIZE = int(sizeof(AX25Header));
// msg_id, address_from, address_to, length: 16-bit little-endian each.
constexpr int AX25_MESSAGE_HEADER_SIZE = 8;
// The largest frame this link sends: the header and one message of 65,535 bytes.
// Receivers reject anything longer as a broken stream.
constexpr int AX25_MAX_FRAME_SIZE = AX25_HEADER_SIZE + AX25_MESSAGE_HEADER_SIZE + 65535;

// Destination = board station, source = ground station. Callsigns are cut to 5
// characters; shorter ones are padded with blanks, as AX.25 pads addresses.
AX25Header ax25_build_header(const QByteArray &groundCallsign, const QByteArray &boardCallsign, uint8_t groundSsid,
                             uint8_t boardSsid);

QByteArray ax25_header_bytes(const AX25Header &header);

// The 8-byte message header followed by the message's `length` data bytes
// (zeros when `data` is null).
QByteArray ax25_message_payload(const corvid_message &msg);

// A received frame cut into its header and the messages behind it. The
// messages' data point into the frame given to ax25_cut_packet, which must
// outlive them.
struct ax25_packet {
    AX25Header header;              // bytes missing from a short frame read as zero
    bool complete = false;          // the frame holds a whole header
    QVector<corvid_message> messages;
};

// Messages follow the header back to back; bytes that do not make a whole
// message are ignored. A frame shorter than the header yields no message.
ax25_packet ax25_cut_packet(const QByteArray &frame);

// The source callsign of a received frame (bytes 8 to 13).
QByteArray ax25_source_callsign(const QByteArray &frame);
