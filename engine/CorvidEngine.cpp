#include "engine/corvid_engine.h"

#include "engine/corvid_hardware.h"

#include <QLoggingCategory>

#include <cstring>
#include <new>
#include <time.h>

namespace {

Q_LOGGING_CATEGORY(lcEngine, "corvid.engine", QtWarningMsg)

bool g_online = false;
// Bytes charged to live messages. The free budget is the limit less this, so
// a message that outlives a re-initialisation (one being delivered while the
// callback rebinds the hardware) still gives back exactly what it took.
uint32_t g_used = 0;
uint16_t g_free_buffers = CORVID_RX_BUFFERS;
corvid_node *g_head = nullptr;
corvid_node *g_tail = nullptr;
uint32_t g_count = 0;
corvid_rx_buffer g_buffers[CORVID_RX_BUFFERS];

// Coarse monotonic time is plenty for a 2 s silence and costs next to nothing
// per frame.
uint64_t steady_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return uint64_t(ts.tv_sec) * 1000u + uint64_t(ts.tv_nsec) / 1000000u;
}
corvid_clock_fn g_clock = steady_ms;

constexpr uint16_t make_crc_entry(uint16_t index) {
    uint16_t crc = uint16_t(index << 8);
    for (int bit = 0; bit < 8; ++bit)
        crc = (crc & 0x8000) ? uint16_t((crc << 1) ^ 0x1021) : uint16_t(crc << 1);
    return crc;
}

struct crc_table {
    uint16_t entry[256];
    constexpr crc_table() : entry() {
        for (int i = 0; i < 256; ++i)
            entry[i] = make_crc_entry(uint16_t(i));
    }
};
constexpr crc_table k_crc;
static_assert(k_crc.entry[1] == 0x1021, "XMODEM table");

void clear_buffer(corvid_rx_buffer &b) {
    b.node = nullptr;
    b.crc = 0;
    b.position = 0;
    b.last_activity_ms = 0;
}

void free_buffers() {
    for (corvid_rx_buffer &b : g_buffers) {
        corvid_node_free(b.node);
        clear_buffer(b);
    }
}

inline bool send_frame(can_message &frame) { return corvid_hw_tx_frame(&frame) >= 0; }

// Frees the message under reassembly in a buffer and counts the buffer free.
void discard_buffer(corvid_rx_buffer &b) {
    corvid_node_free(b.node);
    clear_buffer(b);
    ++g_free_buffers;
}

// All buffers busy: the one silent longest may go, once it has been quiet for
// the stale time. Active reassemblies are never touched.
corvid_rx_buffer *reclaim_stale_buffer() {
    const uint64_t now = g_clock();
    corvid_rx_buffer *oldest = nullptr;
    for (corvid_rx_buffer &b : g_buffers) {
        if (b.node && (!oldest || b.last_activity_ms < oldest->last_activity_ms))
            oldest = &b;
    }
    if (!oldest || now < oldest->last_activity_ms || now - oldest->last_activity_ms < CORVID_RX_STALE_MS)
        return nullptr;
    return oldest;
}

void rx_header(const can_message *frame, uint16_t from, uint16_t to) {
    if (frame->can_dlc < 6) {
        corvid_on_error(HEADER_TOO_SHORT);
        return;
    }
    corvid_rx_buffer *buffer = corvid_find_rx_buffer(from);
    if (!buffer) {
        buffer = reclaim_stale_buffer();
        if (!buffer) {
            corvid_on_error(NO_FREE_BUFFER);
            return;
        }
    }
    if (buffer->node) {
        discard_buffer(*buffer);
        corvid_on_error(BUFFER_OVERWRITE);
    }
    const uint16_t total = uint16_t(frame->data[4] | (frame->data[5] << 8));
    if (total < 2) {
        corvid_on_error(WRONG_CRC);
        return;
    }
    const uint16_t msg_id = uint16_t(frame->data[2] | (frame->data[3] << 8));
    corvid_node *node = corvid_message_alloc(msg_id, from, to, uint16_t(total - 2), total);
    if (!node) {
        corvid_on_error(CANT_ALLOCATE_NODE);
        return;
    }
    // The error callback above may have re-initialised the engine; the buffer
    // must still be free before it is taken.
    if (buffer->node) {
        corvid_node_free(node);
        corvid_on_error(NO_FREE_BUFFER);
        return;
    }
    buffer->node = node;
    buffer->position = 0;
    buffer->crc = 0;
    buffer->last_activity_ms = g_clock();
    --g_free_buffers;
}

void rx_data(const can_message *frame, uint16_t from) {
    corvid_rx_buffer *buffer = corvid_find_rx_buffer(from);
    if (!buffer || !buffer->node) {
        corvid_on_error(DATA_WITHOUT_START);
        return;
    }
    corvid_message *m = buffer->node->message;
    const uint32_t full = uint32_t(m->length) + 2;
    buffer->last_activity_ms = g_clock();
    if (frame->can_dlc == 0) {
        if (buffer->position == full)
            corvid_finish_rx(buffer);
        return;
    }
    const uint32_t missing = full - buffer->position;
    const uint32_t take = frame->can_dlc < missing ? frame->can_dlc : missing;
    std::memcpy(m->data + buffer->position, frame->data, take);
    buffer->position = uint16_t(buffer->position + take);
    if (buffer->position != full)
        return;
    corvid_finish_rx(buffer);
    if (take < frame->can_dlc)
        corvid_on_error(WARNING_UNEXPECTED_DATA);
}

void rx_single(const can_message *frame, uint16_t msg_id, uint16_t from, uint16_t to) {
    const uint16_t length = uint16_t(frame->can_dlc - 2);
    corvid_node *node = corvid_message_alloc(msg_id, from, to, length, length);
    if (!node) {
        corvid_on_error(CANT_ALLOCATE_NODE);
        return;
    }
    std::memcpy(node->message->data, frame->data + 2, length);
    if (g_online)
        corvid_enqueue(node);
    else
        corvid_node_free(node);
}

} // namespace

// ---- storage -------------------------------------------------------------

corvid_node *corvid_message_alloc(uint16_t msg_id, uint16_t address_from, uint16_t address_to,
                                  uint16_t length, uint16_t data_size) {
    if (!g_online)
        return nullptr;
    const uint32_t cost = uint32_t(data_size) + CORVID_MESSAGE_OVERHEAD;
    if (CORVID_BUDGET - g_used < cost)
        return nullptr;
    corvid_node *node = new (std::nothrow) corvid_node;
    if (!node)
        return nullptr;
    corvid_message *message = new (std::nothrow) corvid_message;
    if (!message) {
        delete node;
        return nullptr;
    }
    uint8_t *data = new (std::nothrow) uint8_t[data_size];
    if (!data) {
        delete message;
        delete node;
        return nullptr;
    }
    message->msg_id = msg_id;
    message->address_from = address_from;
    message->address_to = address_to;
    message->length = length;
    message->data = data;
    node->message = message;
    node->next = nullptr;
    node->data_size = data_size;
    g_used += cost;
    return node;
}

void corvid_node_free(corvid_node *node) {
    if (!node)
        return;
    if (corvid_message *m = node->message) {
        if (m->data) {
            g_used -= node->data_size;
            delete[] m->data;
        }
        delete m;
        g_used -= CORVID_RECORD_OVERHEAD;
    }
    delete node;
    g_used -= CORVID_NODE_OVERHEAD;
}

void corvid_queue_free() {
    corvid_node *n = g_head;
    g_head = g_tail = nullptr;
    g_count = 0;
    while (n) {
        corvid_node *next = n->next;
        corvid_node_free(n);
        n = next;
    }
}

void corvid_enqueue(corvid_node *node) {
    if (!node)
        return;
    node->next = nullptr;
    if (!g_tail && g_head) {
        g_tail = g_head;
        while (g_tail->next)
            g_tail = g_tail->next;
    }
    if (g_tail)
        g_tail->next = node;
    else
        g_head = node;
    g_tail = node;
    ++g_count;
    corvid_deliver();
}

void corvid_deliver() {
    corvid_node *node = g_head;
    if (!node)
        return;
    // Unlink before the callback: it may re-enter the engine (send, or even
    // de-initialise it), and the queue must not hand out or free this node twice.
    g_head = node->next;
    if (--g_count == 0 || !g_head) {
        g_head = g_tail = nullptr;
        g_count = 0;
    }
    node->next = nullptr;
    qCDebug(lcEngine, "delivered id 0x%04x from 0x%x to 0x%x, %u bytes", node->message->msg_id,
            node->message->address_from, node->message->address_to, unsigned(node->message->length));
    corvid_on_message(node->message);
    corvid_node_free(node);
}

corvid_rx_buffer *corvid_find_rx_buffer(uint16_t address_from) {
    corvid_rx_buffer *free_buffer = nullptr;
    for (corvid_rx_buffer &b : g_buffers) {
        if (b.node) {
            if (b.node->message->address_from == address_from)
                return &b;
        } else if (!free_buffer) {
            free_buffer = &b;
        }
    }
    return free_buffer;
}

void corvid_storage_init() {
    // Anything still held here would otherwise be lost for good.
    free_buffers();
    corvid_queue_free();
    g_free_buffers = CORVID_RX_BUFFERS;
    g_online = true;
    qCDebug(lcEngine, "online");
}

void corvid_storage_deinit() {
    if (g_online)
        qCDebug(lcEngine, "offline");
    g_online = false;
    corvid_queue_free();
    free_buffers();
}

// ---- protocol --------------------------------------------------------------

uint16_t corvid_crc16(const uint8_t *bytes, uint32_t count) {
    uint16_t crc = 0;
    for (uint32_t i = 0; i < count; ++i)
        crc = uint16_t((crc << 8) ^ k_crc.entry[uint8_t((crc >> 8) ^ bytes[i])]);
    return crc;
}

bool corvid_send_message(const corvid_message *message) {
    if (!message)
        return false;
    if (!g_online) {
        corvid_on_error(OFFLINE, message);
        return false;
    }
    const uint16_t length = message->length;
    qCDebug(lcEngine, "sending id 0x%04x from 0x%x to 0x%x, %u bytes", message->msg_id, message->address_from,
            message->address_to, unsigned(length));
    // The total length (data + checksum) is 16 bits: a longer message would go
    // out with a wrapped length and be cut short at every receiver.
    if (length > CORVID_MAX_LENGTH) {
        corvid_on_error(CAN_MESSAGE_TOO_LONG, message);
        return false;
    }
    // Addresses past 14 bits would spill into the data-frame flag and beyond 29 bits.
    if (message->address_from > CORVID_ADDRESS_MAX || message->address_to > CORVID_ADDRESS_MAX) {
        corvid_on_error(CAN_CAN_IDENTIFIER_EXT_TOO_LONG, message);
        return false;
    }
    if (length > 0 && !message->data)
        return false;

    can_message frame;
    uint32_t data_flag;
    if (message->address_from > 31 || message->address_to > 31) {
        frame.can_identifier = uint32_t(message->address_from) << 14 | message->address_to;
        frame.can_extbit = 4;
        data_flag = 1u << 28;
    } else {
        frame.can_identifier = uint32_t(message->address_from) << 5 | message->address_to;
        frame.can_extbit = 0;
        data_flag = 1u << 10;
    }
    frame.can_rtr = 0;

    // Every frame must be taken and the engine stay online (a send may take
    // it offline); otherwise the message did not go out whole.
    auto put = [message](can_message &f) {
        if (send_frame(f) && g_online)
            return true;
        corvid_on_error(CANT_HW_ERROR, message);
        return false;
    };

    // A single frame starting FE FF would read as a header frame, so such a
    // message id always travels as header plus data frames.
    if (length <= CORVID_SINGLE_FRAME_MAX && message->msg_id != CORVID_HEADER_MARKER) {
        frame.can_dlc = uint8_t(length + 2);
        frame.data[0] = uint8_t(message->msg_id);
        frame.data[1] = uint8_t(message->msg_id >> 8);
        if (length)
            std::memcpy(frame.data + 2, message->data, length);
        return put(frame);
    }

    const uint8_t *data = message->data;
    const uint16_t crc = corvid_crc16(data, length);
    const uint16_t total = uint16_t(length + 2);
    frame.can_dlc = 6;
    frame.data[0] = 0xFE;
    frame.data[1] = 0xFF;
    frame.data[2] = uint8_t(message->msg_id);
    frame.data[3] = uint8_t(message->msg_id >> 8);
    frame.data[4] = uint8_t(total);
    frame.data[5] = uint8_t(total >> 8);
    if (!put(frame))
        return false;

    frame.can_identifier |= data_flag;
    uint32_t pos = 0;
    // Whole 8-byte frames of data.
    while (length - pos >= 8) {
        frame.can_dlc = 8;
        std::memcpy(frame.data, data + pos, 8);
        pos += 8;
        if (!put(frame))
            return false;
    }
    // The tail: 0 to 7 data bytes and the checksum, in one or two frames.
    uint32_t n = length - pos;
    if (n)
        std::memcpy(frame.data, data + pos, n);
    frame.data[n++] = uint8_t(crc);
    if (n == 8) {
        frame.can_dlc = 8;
        if (!put(frame))
            return false;
        n = 0;
    }
    frame.data[n++] = uint8_t(crc >> 8);
    frame.can_dlc = uint8_t(n);
    return put(frame);
}

void corvid_rx_can_frame(const can_message *frame) {
    if (!g_online) {
        corvid_on_error(OFFLINE);
        return;
    }
    const uint32_t id = frame->can_identifier;
    const bool extended = frame->can_extbit != 0;
    uint16_t to, from;
    bool data_frame;
    if (extended) {
        to = uint16_t(id & 0x3FFF);
        from = uint16_t((id >> 14) & 0x3FFF);
        data_frame = (id >> 28) & 1;
    } else {
        to = uint16_t(id & 0x1F);
        from = uint16_t((id >> 5) & 0x1F);
        data_frame = (id >> 10) & 1;
    }
    if (frame->can_dlc > 8) {
        corvid_on_error(CAN_MESSAGE_TOO_LONG);
        return;
    }
    if (id > 0x7FF) {
        if (!extended) {
            corvid_on_error(CAN_IDENTIFIER_TOO_LONG);
            return;
        }
        if (id > 0x1FFFFFFF) {
            corvid_on_error(CAN_CAN_IDENTIFIER_EXT_TOO_LONG);
            return;
        }
    }
    if (data_frame) {
        rx_data(frame, from);
        return;
    }
    if (frame->can_dlc < 2) {
        corvid_on_error(CAN_MESSAGE_TOO_SHORT);
        return;
    }
    const uint16_t first = uint16_t(frame->data[0] | (frame->data[1] << 8));
    if (first != CORVID_HEADER_MARKER)
        rx_single(frame, first, from, to);
    else
        rx_header(frame, from, to);
}

void corvid_finish_rx(corvid_rx_buffer *buffer) {
    if (!buffer || !buffer->node)
        return;
    if (!g_online) {
        corvid_on_error(OFFLINE);
        return;
    }
    corvid_node *node = buffer->node;
    const corvid_message *m = node->message;
    const uint16_t expected = uint16_t(m->data[m->length] | (m->data[m->length + 1] << 8));
    const uint16_t crc = corvid_crc16(m->data, m->length);
    buffer->crc = crc;
    // The buffer is free before the message leaves: the delivery callback may
    // re-enter the engine and must find consistent buffers.
    clear_buffer(*buffer);
    ++g_free_buffers;
    if (crc != expected) {
        corvid_node_free(node);
        corvid_on_error(WRONG_CRC);
        return;
    }
    corvid_enqueue(node);
}

// ---- read-outs -------------------------------------------------------------

bool corvid_is_online() { return g_online; }
uint32_t corvid_free_budget() { return CORVID_BUDGET - g_used; }
uint16_t corvid_free_buffer_count() { return g_free_buffers; }
uint32_t corvid_queue_count() { return g_count; }
const corvid_rx_buffer *corvid_rx_buffers() { return g_buffers; }

void corvid_set_clock(corvid_clock_fn clock) { g_clock = clock ? clock : steady_ms; }
