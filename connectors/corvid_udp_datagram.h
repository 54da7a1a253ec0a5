#pragma once
// The payload of the UDP link: each message is its 8-byte header (msg_id,
// address_from, address_to, length; 16-bit little-endian each) followed by
// `length` data bytes. A datagram carries one or more messages back to back.

#include "engine/corvid_types.h"

#include <QByteArray>
#include <QVector>
#include <cstdint>

constexpr int CORVID_UDP_HEADER_SIZE = 8;

struct corvid_udp_cut_t {
    QVector<corvid_owned_message> messages;  // in datagram order
    int leftover = 0;                      // trailing bytes that make no whole message
};

// Cuts a received datagram into whole messages. Cutting stops at the first
// header that is short or announces more bytes than remain; everything from
// there on is leftover, as no later boundary can be trusted.
corvid_udp_cut_t corvid_udp_cut(const QByteArray &datagram);

// The payload of one message (empty when the record has length but no data).
QByteArray corvid_udp_payload(const corvid_message &msg);
