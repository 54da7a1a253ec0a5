#include "engine/corvid_engine.h"

#include "engine/CorvidEngine.h"

namespace {

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

} // namespace

uint32_t corvid_frame_count(uint16_t msg_id, uint16_t length) {
    if (length <= CORVID_SINGLE_FRAME_MAX && msg_id != CORVID_HEADER_MARKER)
        return 1;
    // A header frame, then data and checksum eight bytes a frame.
    return 1 + (uint32_t(length) + 2 + 7) / 8;
}

uint16_t corvid_crc16(const uint8_t *bytes, uint32_t count) {
    uint16_t crc = 0;
    for (uint32_t i = 0; i < count; ++i)
        crc = uint16_t((crc << 8) ^ k_crc.entry[uint8_t((crc >> 8) ^ bytes[i])]);
    return crc;
}

corvid_node *corvid_message_alloc(uint16_t msg_id, uint16_t address_from, uint16_t address_to, uint16_t length,
                                  uint16_t data_size) {
    return corvid_on_current<corvid_node *>(nullptr, [&](CorvidEngine &e) {
        return e.allocMessage(msg_id, address_from, address_to, length, data_size);
    });
}

void corvid_node_free(corvid_node *node) {
    corvid_on_current([node](CorvidEngine &e) { e.freeNode(node); });
}
void corvid_queue_free() {
    corvid_on_current([](CorvidEngine &e) { e.freeQueue(); });
}
void corvid_enqueue(corvid_node *node) {
    corvid_on_current([node](CorvidEngine &e) { e.enqueue(node); });
}
void corvid_deliver() {
    corvid_on_current([](CorvidEngine &e) { e.deliver(); });
}
corvid_rx_buffer *corvid_find_rx_buffer(uint16_t address_from) {
    return corvid_on_current<corvid_rx_buffer *>(nullptr,
                                         [address_from](CorvidEngine &e) { return e.findRxBuffer(address_from); });
}

bool corvid_send_message(const corvid_message *message) {
    return corvid_on_current(false, [message](CorvidEngine &e) { return e.sendMessage(message); });
}
void corvid_rx_can_frame(const can_message *frame) {
    corvid_on_current([frame](CorvidEngine &e) { e.rxCanFrame(frame); });
}
void corvid_finish_rx(corvid_rx_buffer *buffer) {
    corvid_on_current([buffer](CorvidEngine &e) { e.finishRx(buffer); });
}

void corvid_storage_init() {
    corvid_on_current([](CorvidEngine &e) { e.storageInit(); });
}
void corvid_storage_deinit() {
    corvid_on_current([](CorvidEngine &e) { e.storageDeinit(); });
}

bool corvid_is_online() {
    return corvid_on_current(false, [](CorvidEngine &e) { return e.isOnline(); });
}
uint32_t corvid_free_budget() {
    return corvid_on_current(uint32_t(0), [](CorvidEngine &e) { return e.freeBudget(); });
}
uint16_t corvid_free_buffer_count() {
    return corvid_on_current(uint16_t(0), [](CorvidEngine &e) { return e.freeBufferCount(); });
}
uint32_t corvid_queue_count() {
    return corvid_on_current(uint32_t(0), [](CorvidEngine &e) { return e.queueCount(); });
}
const corvid_rx_buffer *corvid_rx_buffers() {
    return corvid_on_current<const corvid_rx_buffer *>(nullptr, [](CorvidEngine &e) { return e.rxBuffers(); });
}
void corvid_set_clock(corvid_clock_fn clock) {
    corvid_on_current([clock](CorvidEngine &e) { e.setClock(clock); });
}
