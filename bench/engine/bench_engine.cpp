// Segmentation and reassembly throughput of the bus message engine on one core.
// Counters: frames/s (CAN frames produced or consumed) and MB/s (message data bytes).

#include "connectors/AbstractConnector.h"
#include "engine/CorvidEngine.h"
#include "engine/corvid_engine.h"

#include <benchmark/benchmark.h>
#include <vector>

namespace {

// Takes the frames as a CAN connector would, at no cost of its own.
class SinkConnector : public AbstractConnector {
public:
    void HW_init() override {}
    void HW_close() override {}
    int64_t sendCorvidMessage(corvid_message *m) override { return corvid_send_message(m) ? m->length : -1; }
    int32_t sendCANFrame(can_message *frame) override {
        if (record)
            frames.push_back(*frame);
        ++count;
        benchmark::DoNotOptimize(frame->data[0]);
        return 1;
    }
    bool record = false;
    std::vector<can_message> frames;
    uint64_t count = 0;
};

std::vector<uint8_t> payload(int length) {
    std::vector<uint8_t> d(static_cast<size_t>(length));
    for (int i = 0; i < length; ++i)
        d[size_t(i)] = uint8_t(i * 31 + 7);
    return d;
}

corvid_message message_of(std::vector<uint8_t> &data) {
    corvid_message m;
    m.msg_id = 0x0123;
    m.address_from = 3;
    m.address_to = 1;
    m.length = uint16_t(data.size());
    m.data = data.data();
    return m;
}

void set_counters(benchmark::State &state, uint64_t frames, uint64_t bytes) {
    state.counters["frames/s"] = benchmark::Counter(double(frames), benchmark::Counter::kIsRate);
    state.counters["MB/s"] = benchmark::Counter(double(bytes) / 1e6, benchmark::Counter::kIsRate);
}

void BM_Segmentation(benchmark::State &state) {
    CorvidEngine engine;
    SinkConnector sink;
    engine.setHardware(&sink);
    std::vector<uint8_t> data = payload(int(state.range(0)));
    const corvid_message m = message_of(data);
    for (auto _ : state)
        engine.sendMessage(&m);
    const uint64_t frames = sink.count;
    const uint64_t expected = uint64_t(state.iterations()) * (1 + (data.size() + 2 + 7) / 8);
    if (frames != expected)
        state.SkipWithError("wrong number of frames sent");
    set_counters(state, frames, uint64_t(state.iterations()) * data.size());
}

void BM_Reassembly(benchmark::State &state) {
    CorvidEngine engine;
    SinkConnector sink;
    engine.setHardware(&sink);
    std::vector<uint8_t> data = payload(int(state.range(0)));
    const corvid_message m = message_of(data);
    sink.record = true;
    engine.sendMessage(&m);
    const std::vector<can_message> frames = sink.frames;
    uint64_t delivered = 0;
    uint64_t bad = 0;
    engine.setMessageHandler([&](const corvid_message *msg) {
        ++delivered;
        if (msg->length != data.size() || msg->data[msg->length - 1] != data.back())
            ++bad;
    });
    engine.setErrorHandler([&](uint16_t) { ++bad; });
    for (auto _ : state)
        for (const can_message &f : frames)
            engine.rxCanFrame(&f);
    const bool budgetBack = engine.freeBudget() == CORVID_BUDGET;
    if (delivered != uint64_t(state.iterations()) || bad || !budgetBack)
        state.SkipWithError("messages lost, corrupted or leaked");
    set_counters(state, uint64_t(state.iterations()) * frames.size(), uint64_t(state.iterations()) * data.size());
}

} // namespace

BENCHMARK(BM_Segmentation)->Arg(8)->Arg(64)->Arg(1024)->Arg(65533);
BENCHMARK(BM_Reassembly)->Arg(8)->Arg(64)->Arg(1024)->Arg(65533);

BENCHMARK_MAIN();
