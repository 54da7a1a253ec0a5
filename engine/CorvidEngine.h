#pragma once
// The bus message engine as one object: message storage within its budget,
// the five receive buffers, the CAN port it is bound to, and where completed
// messages and errors go. A process has one (the start-up's, handed to the hub
// and the CAN connectors); tests and tools make their own. The C-style
// corvid_* functions act on the engine made last, and do nothing once it is gone.
// Single-threaded (Qt main thread).

#include "engine/CorvidCanPort.h"
#include "engine/corvid_engine.h"

#include <cstdint>
#include <functional>

class CorvidEngine {
public:
    // Where completed messages and engine errors go; empty ones do nothing.
    using MessageHandler = std::function<void(const corvid_message *)>;
    using ErrorHandler = std::function<void(uint16_t)>;

    // Offline, nothing bound; becomes the current engine.
    CorvidEngine();
    // Frees every message. A bound port is released, not closed: its owner
    // decides about it.
    ~CorvidEngine();
    CorvidEngine(const CorvidEngine &) = delete;
    CorvidEngine &operator=(const CorvidEngine &) = delete;

    // The engine behind the C-style names; null when there is none.
    static CorvidEngine *current();

    // Storage (message model).
    corvid_node *allocMessage(uint16_t msg_id, uint16_t address_from, uint16_t address_to, uint16_t length,
                              uint16_t data_size);
    void freeNode(corvid_node *node);
    void freeQueue();
    void enqueue(corvid_node *node);
    void deliver();
    corvid_rx_buffer *findRxBuffer(uint16_t address_from);
    // Storage reset and online / offline and everything freed; no port calls.
    void storageInit();
    void storageDeinit();

    // Protocol. sendMessage returns false when the message did not go out
    // whole, each case reported with the message as subject: engine offline
    // (OFFLINE), a message CAN cannot carry (length past CORVID_MAX_LENGTH:
    // CAN_MESSAGE_TOO_LONG; an address past CORVID_ADDRESS_MAX:
    // CAN_CAN_IDENTIFIER_EXT_TOO_LONG), a frame the port refused or the engine
    // going offline during the send (CANT_HW_ERROR).
    bool sendMessage(const corvid_message *message);
    void rxCanFrame(const can_message *frame);
    void finishRx(corvid_rx_buffer *buffer);

    // Binding. The engine does not own its port. Binding closes the port
    // bound before, then initialises the new one.
    void setHardware(CorvidCanPort *port);
    CorvidCanPort *hardware() const { return m_hardware; }
    // Offline and forgotten, without a call to the port.
    void releaseHardware(CorvidCanPort *port);
    void init();    // storage reset, online, then the port's HW_init
    void deinit();  // offline, storage freed, then the port's HW_close and release
    void hwInit();
    void hwClose();
    // The port's sendCANFrame result; -1 when no port is bound.
    int32_t hwTxFrame(const can_message *frame);

    // Completed messages go to the bound port and to the message handler.
    void setMessageHandler(MessageHandler handler) { m_onMessage = std::move(handler); }
    void setErrorHandler(ErrorHandler handler) { m_onError = std::move(handler); }
    void onMessage(const corvid_message *message);
    // While the error handler runs, errorSubject() is the message the engine
    // refused to send (null for any other error).
    void onError(uint16_t code, const corvid_message *subject = nullptr);
    const corvid_message *errorSubject() const { return m_errorSubject; }

    // Read-outs for the window, tests and benchmarks.
    bool isOnline() const { return m_online; }
    uint32_t freeBudget() const { return CORVID_BUDGET - m_used; }
    uint16_t freeBufferCount() const { return m_freeBuffers; }
    uint32_t queueCount() const { return m_count; }
    const corvid_rx_buffer *rxBuffers() const { return m_buffers; }

    // Monotonic milliseconds for buffer ageing; null restores the steady clock.
    void setClock(corvid_clock_fn clock);

private:
    void clearBuffers(bool free);
    void discardBuffer(corvid_rx_buffer &b);
    corvid_rx_buffer *reclaimStaleBuffer();
    void rxHeader(const can_message *frame, uint16_t from, uint16_t to);
    void rxData(const can_message *frame, uint16_t from);
    void rxSingle(const can_message *frame, uint16_t msg_id, uint16_t from, uint16_t to);
    bool putFrame(can_message &frame, const corvid_message *message);

    bool m_online = false;
    // Bytes charged to live messages. The free budget is the limit less this,
    // so a message that outlives a re-initialisation (one being delivered
    // while the handler rebinds the port) still gives back what it took.
    uint32_t m_used = 0;
    uint16_t m_freeBuffers = CORVID_RX_BUFFERS;
    corvid_node *m_head = nullptr;
    corvid_node *m_tail = nullptr;
    uint32_t m_count = 0;
    corvid_rx_buffer m_buffers[CORVID_RX_BUFFERS];
    corvid_clock_fn m_clock = nullptr;
    CorvidCanPort *m_hardware = nullptr;
    MessageHandler m_onMessage;
    ErrorHandler m_onError;
    const corvid_message *m_errorSubject = nullptr;
};

// The C-style names: f on the current engine, or `none` without one.
template <typename R, typename F>
R corvid_on_current(R none, F f) {
    CorvidEngine *e = CorvidEngine::current();
    return e ? f(*e) : none;
}
template <typename F>
void corvid_on_current(F f) {
    if (CorvidEngine *e = CorvidEngine::current())
        f(*e);
}
