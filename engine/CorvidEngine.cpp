#include "engine/CorvidEngine.h"

#include <QLoggingCategory>

#include <cstring>
#include <new>
#include <time.h>

namespace {

Q_LOGGING_CATEGORY(lcEngine, "corvid.engine", QtWarningMsg)

CorvidEngine *g_current = nullptr;

void clear_buffer(corvid_rx_buffer &b) {
    b.node = nullptr;
    b.crc = 0;
    b.position = 0;
    b.last_activity_ms = 0;
}

} // namespace

// Coarse monotonic time is plenty for a 2 s silence and costs next to nothing
// per frame.
uint64_t corvid_steady_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return uint64_t(ts.tv_sec) * 1000u + uint64_t(ts.tv_nsec) / 1000000u;
}

CorvidCanPort::~CorvidCanPort() {
    if (m_boundTo)
        m_boundTo->releaseHardware(this);
}

CorvidEngine::CorvidEngine() : m_clock(corvid_steady_ms) { g_current = this; }

CorvidEngine::~CorvidEngine() {
    releaseHardware(m_hardware);
    storageDeinit();
    if (g_current == this)
        g_current = nullptr;
}

CorvidEngine *CorvidEngine::current() { return g_current; }

void CorvidEngine::setClock(corvid_clock_fn clock) { m_clock = clock ? clock : corvid_steady_ms; }

// ---- storage -------------------------------------------------------------

corvid_node *CorvidEngine::allocMessage(uint16_t msg_id, uint16_t address_from, uint16_t address_to,
                                        uint16_t length, uint16_t data_size) {
    if (!m_online)
        return nullptr;
    const uint32_t cost = uint32_t(data_size) + CORVID_MESSAGE_OVERHEAD;
    if (CORVID_BUDGET - m_used < cost)
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
    m_used += cost;
    return node;
}

void CorvidEngine::freeNode(corvid_node *node) {
    if (!node)
        return;
    if (corvid_message *m = node->message) {
        if (m->data) {
            m_used -= node->data_size;
            delete[] m->data;
        }
        delete m;
        m_used -= CORVID_RECORD_OVERHEAD;
    }
    delete node;
    m_used -= CORVID_NODE_OVERHEAD;
}

void CorvidEngine::freeQueue() {
    corvid_node *n = m_head;
    m_head = m_tail = nullptr;
    m_count = 0;
    while (n) {
        corvid_node *next = n->next;
        freeNode(n);
        n = next;
    }
}

void CorvidEngine::enqueue(corvid_node *node) {
    if (!node)
        return;
    node->next = nullptr;
    if (!m_tail && m_head) {
        m_tail = m_head;
        while (m_tail->next)
            m_tail = m_tail->next;
    }
    if (m_tail)
        m_tail->next = node;
    else
        m_head = node;
    m_tail = node;
    ++m_count;
    deliver();
}

void CorvidEngine::deliver() {
    corvid_node *node = m_head;
    if (!node)
        return;
    // Unlink before the hand-over: it may re-enter the engine (send, or even
    // de-initialise it), and the queue must not hand out or free this node twice.
    m_head = node->next;
    if (--m_count == 0 || !m_head) {
        m_head = m_tail = nullptr;
        m_count = 0;
    }
    node->next = nullptr;
    qCDebug(lcEngine, "delivered id 0x%04x from 0x%x to 0x%x, %u bytes", node->message->msg_id,
            node->message->address_from, node->message->address_to, unsigned(node->message->length));
    onMessage(node->message);
    freeNode(node);
}

corvid_rx_buffer *CorvidEngine::findRxBuffer(uint16_t address_from) {
    corvid_rx_buffer *free_buffer = nullptr;
    for (corvid_rx_buffer &b : m_buffers) {
        if (b.node) {
            if (b.node->message->address_from == address_from)
                return &b;
        } else if (!free_buffer) {
            free_buffer = &b;
        }
    }
    return free_buffer;
}

void CorvidEngine::clearBuffers(bool free) {
    for (corvid_rx_buffer &b : m_buffers) {
        if (free)
            freeNode(b.node);
        clear_buffer(b);
    }
}

void CorvidEngine::storageInit() {
    // Anything still held here would otherwise be lost for good.
    clearBuffers(true);
    freeQueue();
    m_freeBuffers = CORVID_RX_BUFFERS;
    m_online = true;
    qCDebug(lcEngine, "online");
}

void CorvidEngine::storageDeinit() {
    if (m_online)
        qCDebug(lcEngine, "offline");
    m_online = false;
    freeQueue();
    clearBuffers(true);
}

// ---- protocol --------------------------------------------------------------

int32_t CorvidEngine::hwTxFrame(const can_message *frame) {
    if (!m_hardware)
        return -1;
    return m_hardware->sendCANFrame(const_cast<can_message *>(frame));
}

inline bool CorvidEngine::putFrame(can_message &frame, const corvid_message *message) {
    // Every frame must be taken and the engine stay online (a send may take
    // it offline); otherwise the message did not go out whole.
    if (Q_LIKELY(hwTxFrame(&frame) >= 0 && m_online))
        return true;
    onError(CANT_HW_ERROR, message);
    return false;
}

bool CorvidEngine::sendMessage(const corvid_message *message) {
    if (!message)
        return false;
    if (!m_online) {
        onError(OFFLINE, message);
        return false;
    }
    const uint16_t length = message->length;
    qCDebug(lcEngine, "sending id 0x%04x from 0x%x to 0x%x, %u bytes", message->msg_id, message->address_from,
            message->address_to, unsigned(length));
    // The total length (data + checksum) is 16 bits: a longer message would go
    // out with a wrapped length and be cut short at every receiver.
    if (length > CORVID_MAX_LENGTH) {
        onError(CAN_MESSAGE_TOO_LONG, message);
        return false;
    }
    // Addresses past 14 bits would spill into the data-frame flag and beyond 29 bits.
    if (message->address_from > CORVID_ADDRESS_MAX || message->address_to > CORVID_ADDRESS_MAX) {
        onError(CAN_CAN_IDENTIFIER_EXT_TOO_LONG, message);
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

    // A single frame starting FE FF would read as a header frame, so such a
    // message id always travels as header plus data frames.
    if (length <= CORVID_SINGLE_FRAME_MAX && message->msg_id != CORVID_HEADER_MARKER) {
        frame.can_dlc = uint8_t(length + 2);
        frame.data[0] = uint8_t(message->msg_id);
        frame.data[1] = uint8_t(message->msg_id >> 8);
        if (length)
            std::memcpy(frame.data + 2, message->data, length);
        return putFrame(frame, message);
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
    if (!putFrame(frame, message))
        return false;

    frame.can_identifier |= data_flag;
    uint32_t pos = 0;
    // Whole 8-byte frames of data.
    while (length - pos >= 8) {
        frame.can_dlc = 8;
        std::memcpy(frame.data, data + pos, 8);
        pos += 8;
        if (!putFrame(frame, message))
            return false;
    }
    // The tail: 0 to 7 data bytes and the checksum, in one or two frames.
    uint32_t n = length - pos;
    if (n)
        std::memcpy(frame.data, data + pos, n);
    frame.data[n++] = uint8_t(crc);
    if (n == 8) {
        frame.can_dlc = 8;
        if (!putFrame(frame, message))
            return false;
        n = 0;
    }
    frame.data[n++] = uint8_t(crc >> 8);
    frame.can_dlc = uint8_t(n);
    return putFrame(frame, message);
}

// Frees the message under reassembly in a buffer and counts the buffer free.
void CorvidEngine::discardBuffer(corvid_rx_buffer &b) {
    freeNode(b.node);
    clear_buffer(b);
    ++m_freeBuffers;
}

// All buffers busy: the one silent longest may go, once it has been quiet for
// the stale time. Active reassemblies are never touched.
corvid_rx_buffer *CorvidEngine::reclaimStaleBuffer() {
    const uint64_t now = m_clock();
    corvid_rx_buffer *oldest = nullptr;
    for (corvid_rx_buffer &b : m_buffers) {
        if (b.node && (!oldest || b.last_activity_ms < oldest->last_activity_ms))
            oldest = &b;
    }
    if (!oldest || now < oldest->last_activity_ms || now - oldest->last_activity_ms < CORVID_RX_STALE_MS)
        return nullptr;
    return oldest;
}

void CorvidEngine::rxHeader(const can_message *frame, uint16_t from, uint16_t to) {
    if (frame->can_dlc < 6) {
        onError(HEADER_TOO_SHORT);
        return;
    }
    corvid_rx_buffer *buffer = findRxBuffer(from);
    if (!buffer) {
        buffer = reclaimStaleBuffer();
        if (!buffer) {
            onError(NO_FREE_BUFFER);
            return;
        }
    }
    if (buffer->node) {
        discardBuffer(*buffer);
        onError(BUFFER_OVERWRITE);
    }
    const uint16_t total = uint16_t(frame->data[4] | (frame->data[5] << 8));
    if (total < 2) {
        onError(WRONG_CRC);
        return;
    }
    const uint16_t msg_id = uint16_t(frame->data[2] | (frame->data[3] << 8));
    corvid_node *node = allocMessage(msg_id, from, to, uint16_t(total - 2), total);
    if (!node) {
        onError(CANT_ALLOCATE_NODE);
        return;
    }
    // The error handler above may have re-initialised the engine; the buffer
    // must still be free before it is taken.
    if (buffer->node) {
        freeNode(node);
        onError(NO_FREE_BUFFER);
        return;
    }
    buffer->node = node;
    buffer->position = 0;
    buffer->crc = 0;
    buffer->last_activity_ms = m_clock();
    --m_freeBuffers;
}

void CorvidEngine::rxData(const can_message *frame, uint16_t from) {
    corvid_rx_buffer *buffer = findRxBuffer(from);
    if (!buffer || !buffer->node) {
        onError(DATA_WITHOUT_START);
        return;
    }
    corvid_message *m = buffer->node->message;
    const uint32_t full = uint32_t(m->length) + 2;
    buffer->last_activity_ms = m_clock();
    if (frame->can_dlc == 0) {
        if (buffer->position == full)
            finishRx(buffer);
        return;
    }
    const uint32_t missing = full - buffer->position;
    const uint32_t take = frame->can_dlc < missing ? frame->can_dlc : missing;
    std::memcpy(m->data + buffer->position, frame->data, take);
    buffer->position = uint16_t(buffer->position + take);
    if (buffer->position != full)
        return;
    finishRx(buffer);
    if (take < frame->can_dlc)
        onError(WARNING_UNEXPECTED_DATA);
}

void CorvidEngine::rxSingle(const can_message *frame, uint16_t msg_id, uint16_t from, uint16_t to) {
    const uint16_t length = uint16_t(frame->can_dlc - 2);
    corvid_node *node = allocMessage(msg_id, from, to, length, length);
    if (!node) {
        onError(CANT_ALLOCATE_NODE);
        return;
    }
    std::memcpy(node->message->data, frame->data + 2, length);
    if (m_online)
        enqueue(node);
    else
        freeNode(node);
}

void CorvidEngine::rxCanFrame(const can_message *frame) {
    if (!m_online) {
        onError(OFFLINE);
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
        onError(CAN_MESSAGE_TOO_LONG);
        return;
    }
    if (id > 0x7FF) {
        if (!extended) {
            onError(CAN_IDENTIFIER_TOO_LONG);
            return;
        }
        if (id > 0x1FFFFFFF) {
            onError(CAN_CAN_IDENTIFIER_EXT_TOO_LONG);
            return;
        }
    }
    if (data_frame) {
        rxData(frame, from);
        return;
    }
    if (frame->can_dlc < 2) {
        onError(CAN_MESSAGE_TOO_SHORT);
        return;
    }
    const uint16_t first = uint16_t(frame->data[0] | (frame->data[1] << 8));
    if (first != CORVID_HEADER_MARKER)
        rxSingle(frame, first, from, to);
    else
        rxHeader(frame, from, to);
}

void CorvidEngine::finishRx(corvid_rx_buffer *buffer) {
    if (!buffer || !buffer->node)
        return;
    if (!m_online) {
        onError(OFFLINE);
        return;
    }
    corvid_node *node = buffer->node;
    const corvid_message *m = node->message;
    const uint16_t expected = uint16_t(m->data[m->length] | (m->data[m->length + 1] << 8));
    const uint16_t crc = corvid_crc16(m->data, m->length);
    buffer->crc = crc;
    // The buffer is free before the message leaves: the hand-over may
    // re-enter the engine and must find consistent buffers.
    clear_buffer(*buffer);
    ++m_freeBuffers;
    if (crc != expected) {
        freeNode(node);
        onError(WRONG_CRC);
        return;
    }
    enqueue(node);
}

// ---- binding ---------------------------------------------------------------

void CorvidEngine::setHardware(CorvidCanPort *port) {
    qCDebug(lcEngine) << "binding link" << static_cast<const void *>(port);
    deinit();
    m_hardware = port;
    if (port) {
        // A port is bound to one engine at a time.
        if (port->m_boundTo && port->m_boundTo != this)
            port->m_boundTo->releaseHardware(port);
        port->m_boundTo = this;
    }
    init();
}

void CorvidEngine::releaseHardware(CorvidCanPort *port) {
    if (!port || port != m_hardware)
        return;
    qCDebug(lcEngine) << "released link" << static_cast<const void *>(port);
    storageDeinit();
    m_hardware = nullptr;
    port->m_boundTo = nullptr;
}

void CorvidEngine::init() {
    storageInit();
    hwInit();
}

void CorvidEngine::deinit() {
    storageDeinit();
    hwClose();
}

void CorvidEngine::hwInit() {
    if (m_hardware)
        m_hardware->HW_init();
}

void CorvidEngine::hwClose() {
    CorvidCanPort *port = m_hardware;
    if (!port)
        return;
    // Released first: a close that de-initialises the engine again finds
    // nothing bound.
    m_hardware = nullptr;
    port->m_boundTo = nullptr;
    qCDebug(lcEngine) << "closed link" << static_cast<const void *>(port);
    port->HW_close();
}

void CorvidEngine::onMessage(const corvid_message *message) {
    if (m_hardware)
        m_hardware->messageFromBus(*message);
    if (m_onMessage)
        m_onMessage(message);
}

void CorvidEngine::onError(uint16_t code, const corvid_message *subject) {
    qCDebug(lcEngine, "engine error %u", unsigned(code));
    const corvid_message *outer = m_errorSubject;
    m_errorSubject = subject;
    if (m_onError)
        m_onError(code);
    m_errorSubject = outer;
}
