#pragma once
// The bus message engine's records and limits, and its C-style names: message
// storage within a fixed memory budget, segmentation of messages into CAN
// frames and reassembly of received frames. The names act on the current
// CorvidEngine (see CorvidEngine.h); without one they do nothing and read as
// offline. Single-threaded (Qt main thread).

#include "engine/corvid_types.h"
#include <cstdint>

enum corvid_error : uint16_t {
    Ok = 0,
    OFFLINE = 1,
    BUFFER_OVERWRITE = 2,
    WRONG_CRC = 3,
    NO_FREE_BUFFER = 4,
    DATA_WITHOUT_START = 5,
    WARNING_UNEXPECTED_DATA = 6,
    CAN_MESSAGE_TOO_SHORT = 11,
    CAN_MESSAGE_TOO_LONG = 12,
    CAN_IDENTIFIER_TOO_LONG = 13,
    CAN_CAN_IDENTIFIER_EXT_TOO_LONG = 14,
    HEADER_TOO_SHORT = 15,
    CANT_ALLOCATE_NODE = 16,
    CANT_HW_ERROR = 17,
};

constexpr uint32_t CORVID_BUDGET = 0x100000;        // 1 MiB of message memory
constexpr uint32_t CORVID_NODE_OVERHEAD = 18;       // charged per node
constexpr uint32_t CORVID_RECORD_OVERHEAD = 16;     // charged per message record
constexpr uint32_t CORVID_MESSAGE_OVERHEAD = CORVID_NODE_OVERHEAD + CORVID_RECORD_OVERHEAD;
constexpr int CORVID_RX_BUFFERS = 5;
constexpr uint16_t CORVID_SINGLE_FRAME_MAX = 6;     // data bytes that fit one frame
constexpr uint16_t CORVID_MAX_LENGTH = 65533;       // data bytes of a message over CAN
constexpr uint16_t CORVID_HEADER_MARKER = 0xFFFE;
constexpr uint16_t CORVID_ADDRESS_MAX = 0x3FFF;     // device addresses are 14 bits on CAN
// A buffer silent this long may be reclaimed by a new source when all are busy.
constexpr uint64_t CORVID_RX_STALE_MS = 2000;

struct corvid_node {
    corvid_message *message = nullptr;
    corvid_node *next = nullptr;
    uint16_t data_size = 0;
};

struct corvid_rx_buffer {
    corvid_node *node = nullptr;
    uint16_t crc = 0;
    uint16_t position = 0;
    uint64_t last_activity_ms = 0;  // monotonic time of the last frame received
};

// Storage (message model).
corvid_node *corvid_message_alloc(uint16_t msg_id, uint16_t address_from, uint16_t address_to,
                                  uint16_t length, uint16_t data_size);
void corvid_node_free(corvid_node *node);
void corvid_queue_free();
void corvid_enqueue(corvid_node *node);
void corvid_deliver();
corvid_rx_buffer *corvid_find_rx_buffer(uint16_t address_from);

// Protocol (CorvidEngine::sendMessage tells when a send fails).
bool corvid_send_message(const corvid_message *message);
void corvid_rx_can_frame(const can_message *frame);
uint16_t corvid_crc16(const uint8_t *bytes, uint32_t count);
// CAN frames a message of this id and length travels in.
uint32_t corvid_frame_count(uint16_t msg_id, uint16_t length);
void corvid_finish_rx(corvid_rx_buffer *buffer);

// Engine storage reset + online / offline and free everything (no hardware calls);
// corvid_init and corvid_deinit in corvid_hardware.h add the connector side.
void corvid_storage_init();
void corvid_storage_deinit();

// State read-outs for the window, tests and benchmarks.
bool corvid_is_online();
uint32_t corvid_free_budget();
uint16_t corvid_free_buffer_count();
uint32_t corvid_queue_count();
const corvid_rx_buffer *corvid_rx_buffers();  // array of CORVID_RX_BUFFERS

// Monotonic milliseconds used for buffer ageing; tests inject their own clock.
// Passing nullptr restores the steady clock.
using corvid_clock_fn = uint64_t (*)();
// The steady clock itself: coarse monotonic milliseconds.
uint64_t corvid_steady_ms();
void corvid_set_clock(corvid_clock_fn clock);
