// Arbitrary frame sequences into the reassembly. Every input starts from a
// fresh engine and must leave it with the whole budget back, with the free
// buffer count matching the buffers, and every delivered message readable.
// The tail of the input is also sent as a message and must come back unchanged.

#include "connectors/AbstractConnector.h"
#include "engine/CorvidEngine.h"
#include "engine/corvid_engine.h"
#include "fuzz/fuzz_check.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

class LoopConnector : public AbstractConnector {
public:
    void HW_init() override {}
    void HW_close() override {}
    int64_t sendCorvidMessage(corvid_message *m) override { return corvid_send_message(m) ? m->length : -1; }
    int32_t sendCANFrame(can_message *frame) override {
        frames.push_back(*frame);
        return 1;
    }
    std::vector<can_message> frames;
};

LoopConnector *g_loop = nullptr;
uint64_t g_now = 0;
uint64_t fake_clock() { return g_now; }

struct Last {
    uint16_t msg_id, from, to, length;
    std::vector<uint8_t> data;
    int count;
} g_last;

void check_buffers() {
    uint16_t free_count = 0;
    for (int i = 0; i < CORVID_RX_BUFFERS; ++i) {
        const corvid_rx_buffer &b = corvid_rx_buffers()[i];
        if (!b.node)
            ++free_count;
        else
            check(b.position < uint32_t(b.node->message->length) + 2 && b.node->data_size == b.node->message->length + 2);
    }
    check(free_count == corvid_free_buffer_count());
    check(corvid_queue_count() == 0);
}

void on_message(const corvid_message *m) {
    g_last.msg_id = m->msg_id;
    g_last.from = m->address_from;
    g_last.to = m->address_to;
    g_last.length = m->length;
    g_last.data.assign(m->data, m->data + m->length);  // reads every byte
    ++g_last.count;
}

void on_error(uint16_t code) { check(code <= CANT_ALLOCATE_NODE && (code <= 6 || code >= 11)); }

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    g_loop = new LoopConnector;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *in, size_t size) {
    CorvidEngine engine;  // fresh for every input, online once the link is bound
    engine.setClock(fake_clock);
    engine.setMessageHandler(on_message);
    engine.setErrorHandler(on_error);
    engine.setHardware(g_loop);
    g_now = 0;
    size_t i = 0;
    // Frame records: a control byte, then either a raw identifier, ext bit and
    // dlc, or a compact identifier built from the control byte; then the data.
    while (i < size) {
        const uint8_t ctl = in[i++];
        if (ctl == 0xFF)
            break;  // the rest is the round-trip message
        can_message f;
        if (ctl & 0x80) {
            if (size - i < 6)
                break;
            std::memcpy(&f.can_identifier, in + i, 4);
            f.can_extbit = in[i + 4];
            f.can_dlc = in[i + 5];
            i += 6;
        } else {
            const bool ext = ctl & 1;
            const uint32_t source = (ctl >> 2) & 7;  // eight sources for five buffers
            if (ext)
                f.can_identifier = (ctl & 2 ? 1u << 28 : 0) | (source + 30) << 14 | 1;
            else
                f.can_identifier = (ctl & 2 ? 1u << 10 : 0) | source << 5 | 1;
            f.can_extbit = ext ? 4 : 0;
            if (ctl & 0x20)
                g_now += 700;
            if (i >= size)
                break;
            f.can_dlc = in[i++] & 0x0F;
        }
        const size_t n = f.can_dlc < 8 ? f.can_dlc : 8;
        const size_t take = size - i < n ? size - i : n;
        std::memcpy(f.data, in + i, take);
        i += take;
        corvid_rx_can_frame(&f);
        check_buffers();
    }
    corvid_storage_deinit();
    check(corvid_free_budget() == CORVID_BUDGET);

    if (i < size && size - i >= 6) {
        corvid_storage_init();
        corvid_message m;
        m.msg_id = uint16_t(in[i] | in[i + 1] << 8);
        m.address_from = uint16_t((in[i + 2] | in[i + 3] << 8) & CORVID_ADDRESS_MAX);
        m.address_to = uint16_t((in[i + 4] | in[i + 5] << 8) & CORVID_ADDRESS_MAX);
        std::vector<uint8_t> data(in + i + 6, in + size);
        m.length = uint16_t(data.size() > CORVID_MAX_LENGTH ? CORVID_MAX_LENGTH : data.size());
        m.data = data.data();
        g_loop->frames.clear();
        g_last.count = 0;
        check(corvid_send_message(&m));
        for (const can_message &f : g_loop->frames)
            corvid_rx_can_frame(&f);
        check(g_last.count == 1 && g_last.msg_id == m.msg_id && g_last.from == m.address_from &&
              g_last.to == m.address_to && g_last.length == m.length &&
              (m.length == 0 || std::memcmp(g_last.data.data(), m.data, m.length) == 0));
        corvid_storage_deinit();
        check(corvid_free_budget() == CORVID_BUDGET);
    }
    return 0;
}
