// The bus message engine: storage, frames on the wire, reassembly, errors, binding and the connector base.

#include "connectors/AbstractConnector.h"
#include "engine/CorvidEngine.h"
#include "engine/corvid_engine.h"
#include "engine/corvid_hardware.h"
#include "tests/common/bus_reference.h"
#include "tests/common/received_message.h"

#include <QtTest>

#include <memory>
#include <vector>

namespace {

std::vector<ReceivedMessage> g_messages;
std::vector<uint16_t> g_errors;
QStringList g_events;  // order of binding events across connectors
uint64_t g_now = 0;
uint64_t fake_clock() { return g_now; }

void record_callbacks() {
    corvid_set_callbacks(
        [](const corvid_message *m) {
            g_messages.push_back({m->msg_id, m->address_from, m->address_to,
                                  QByteArray(reinterpret_cast<const char *>(m->data), m->length)});
        },
        [](uint16_t code) { g_errors.push_back(code); });
}

// Captures every frame the engine sends; the unit a test binds with corvid_set_hardware.
class CaptureConnector : public AbstractConnector {
    Q_OBJECT
public:
    explicit CaptureConnector(QString name = QStringLiteral("cap"), bool deinits = false)
        : deinits(deinits), m_name(std::move(name)) {}
    ~CaptureConnector() override {
        g_events << m_name + ":delete";
        if (deinits)
            corvid_deinit();
    }
    void HW_init() override {
        g_events << m_name + ":init";
        setHWState(HW_READY);
    }
    void HW_close() override {
        g_events << m_name + ":close";
        if (deinits)
            corvid_deinit();
    }
    int64_t sendCorvidMessage(corvid_message *) override { return -1; }
    int32_t sendCANFrame(can_message *frame) override {
        frames.push_back(*frame);
        if (offlineAfter && frames.size() == offlineAfter)
            corvid_storage_deinit();
        return refuseAt && frames.size() == refuseAt ? -1 : 1;
    }

    std::vector<can_message> frames;
    size_t offlineAfter = 0;
    size_t refuseAt = 0;
    bool deinits = false;  // de-initialises the engine when closed and when deleted

private:
    QString m_name;
};

can_message frame(uint32_t id, bool ext, std::initializer_list<int> bytes) {
    can_message f;
    f.can_identifier = id;
    f.can_extbit = ext ? 4 : 0;
    f.can_dlc = uint8_t(bytes.size());
    int i = 0;
    for (int b : bytes)
        f.data[i++] = uint8_t(b);
    return f;
}

void feed(const std::vector<can_message> &frames) {
    for (const can_message &f : frames)
        corvid_rx_can_frame(&f);
}

// Feeds the frames: true when exactly these errors and messages came out; both are reset.
bool after(const std::vector<can_message> &frames, const std::vector<uint16_t> &codes,
           const std::vector<ReceivedMessage> &delivered = {}) {
    feed(frames);
    const bool ok = g_errors == codes && g_messages == delivered;
    g_errors.clear();
    g_messages.clear();
    return ok;
}

QByteArray bytes_of(const can_message &f) { return QByteArray(reinterpret_cast<const char *>(f.data), f.can_dlc); }

} // namespace

class tst_engine : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<CorvidEngine> engine;  // a fresh one per test
    std::vector<std::unique_ptr<CaptureConnector>> ports;  // the engine deletes none
    CaptureConnector *cap = nullptr;

    CaptureConnector *make(const QString &name = QStringLiteral("cap")) {
        ports.push_back(std::make_unique<CaptureConnector>(name));
        return ports.back().get();
    }

    std::vector<can_message> segment(const corvid_message &m) {
        cap->frames.clear();
        corvid_send_message(&m);
        return cap->frames;
    }

private slots:
    void init() {
        g_messages.clear();
        g_errors.clear();
        g_events.clear();
        g_now = 100000;
        engine = std::make_unique<CorvidEngine>();
        corvid_set_clock(fake_clock);
        record_callbacks();
        cap = make();
        corvid_set_hardware(cap);
    }
    void cleanup() {
        corvid_clear_hardware();
        QCOMPARE(corvid_free_budget(), CORVID_BUDGET);
        engine.reset();
        ports.clear();
    }

    void storageAndBudget() {
        // 1,048,542 does not fit 16 bits: fill with 16 blocks of 65,500 and one exact remainder.
        std::vector<corvid_node *> held;
        uint32_t left = CORVID_BUDGET;
        while (left > 65535 + 34) {
            held.push_back(corvid_message_alloc(1, 2, 3, 0, 65500));
            QVERIFY(held.back());
            left -= 65534;
        }
        corvid_node *rest = corvid_message_alloc(1, 2, 3, 0, uint16_t(left - 34));
        QVERIFY(rest);
        QCOMPARE(corvid_free_budget(), 0u);
        QVERIFY(!corvid_message_alloc(1, 2, 3, 0, 0));  // not even an empty one fits
        QVERIFY(after({frame(0x061, false, {0x34, 0x12, 9}), frame(0x061, false, {0xFE, 0xFF, 1, 0, 9, 0})},
                      {CANT_ALLOCATE_NODE, CANT_ALLOCATE_NODE}));
        QCOMPARE(corvid_free_buffer_count(), uint16_t(5));
        corvid_node_free(rest);
        corvid_node_free(nullptr);
        for (corvid_node *h : held)
            corvid_node_free(h);
        // De-initialisation with two buffers in use gives everything back.
        feed({frame(0x061, false, {0xFE, 0xFF, 1, 0, 100, 0}), frame(0x0A1, false, {0xFE, 0xFF, 1, 0, 200, 0})});
        QCOMPARE(corvid_free_buffer_count(), uint16_t(3));
        QCOMPARE(corvid_free_budget(), CORVID_BUDGET - 300 - 68);
        corvid_storage_deinit();
        QVERIFY(!corvid_is_online());
        QCOMPARE(corvid_free_budget(), CORVID_BUDGET);
        corvid_storage_init();
        QCOMPARE(corvid_free_buffer_count(), uint16_t(5));
    }

    // Frames against the reference layout; each message comes back whole from its own frames.
    void wireLayout() {
        struct Case { int msgId, from, to, length; };
        // Lengths around the frame edges and the longest; short, extended and 14-bit addresses.
        // 0xFFFE never goes as a single frame: it would read as a header.
        std::vector<Case> cases{{0xFFFE, 3, 1, 3}, {9, 1, 32, 6}, {9, 16383, 16383, 6}};
        const int addrs[][2] = {{3, 1}, {31, 0}, {40, 1}, {0, 16383}, {12345, 2}};
        const int lengths[] = {0, 1, 6, 7, 8, 9, 15, 16, 17, 2999, 65533};
        for (int k = 0; k < int(std::size(lengths)); ++k)
            cases.push_back({0x3A00 + k, addrs[k % 5][0], addrs[k % 5][1], lengths[k]});
        for (const Case &c : cases) {
            const QByteArray data = reference_pattern(c.length, c.msgId);
            const uint16_t id = uint16_t(c.msgId), from = uint16_t(c.from), to = uint16_t(c.to);
            const auto f = segment(corvid_message_over(id, from, to, data));
            QStringList got, want;
            for (const can_message &m : f)
                got << ReferenceCanFrame{m.can_identifier, m.can_extbit == 4, bytes_of(m)}.text() +
                           ((m.can_extbit != 0 && m.can_extbit != 4) || m.can_rtr ? "?" : "");
            for (const ReferenceCanFrame &r : reference_frames(id, from, to, data))
                want << r.text();
            QCOMPARE(got, want);
            QVERIFY(after(f, {}, {{id, from, to, data}}));
            QCOMPARE(corvid_free_buffer_count(), uint16_t(5));
        }
    }

    void wireLimits() {
        QCOMPARE(corvid_crc16(reinterpret_cast<const uint8_t *>("123456789"), 9), uint16_t(0x31C3));
        // The reference itself, written out by hand (checksum 0xB61E).
        QStringList reference;
        for (const ReferenceCanFrame &r : reference_frames(0x1234, 3, 1, "ABCDEFG"))
            reference << r.text();
        QCOMPARE(reference, (QStringList{"S 061 [fe ff 34 12 09 00]", "S 461 [41 42 43 44 45 46 47 1e]", "S 461 [b6]"}));
        // A message without a data pointer at all.
        corvid_message empty;
        empty.msg_id = 0xFFFE;
        auto f = segment(empty);
        QCOMPARE(f.size(), size_t(2));
        QCOMPARE(bytes_of(f[1]), QByteArray("\0\0", 2));
        // Too long for the 16-bit total length, or addresses past 14 bits: nothing on the wire.
        QByteArray huge(65534, 'x'), six("ABCDEF");
        corvid_message m = corvid_message_over(1, 3, 1, huge);
        cap->frames.clear();
        QVERIFY(!corvid_send_message(&m));
        m = corvid_message_over(1, 16384, 1, six);
        QVERIFY(!corvid_send_message(&m));
        m = corvid_message_over(1, 1, 0xFFFF, six);
        QVERIFY(!corvid_send_message(&m));
        QVERIFY(cap->frames.empty());
        QCOMPARE(g_errors, (std::vector<uint16_t>{CAN_MESSAGE_TOO_LONG, CAN_CAN_IDENTIFIER_EXT_TOO_LONG,
                                                 CAN_CAN_IDENTIFIER_EXT_TOO_LONG}));
        // A send that takes the engine offline, or a refused frame, stops the rest of the message.
        QByteArray hundred = reference_pattern(100, 1);
        m = corvid_message_over(77, 4, 5, hundred);
        cap->offlineAfter = 3;
        QVERIFY(!corvid_send_message(&m));
        QCOMPARE(cap->frames.size(), size_t(3));
        cap->offlineAfter = 0;
        corvid_storage_init();
        cap->frames.clear();
        cap->refuseAt = 2;
        QVERIFY(!corvid_send_message(&m));
        QCOMPARE(cap->frames.size(), size_t(2));
    }

    void handBuiltFrames() {
        // Built from the frame layout alone: 10 bytes, id 0x0102, from 3 to 1.
        const QByteArray data("0123456789");
        const uint16_t crc = reference_crc(data);
        feed({frame(0x061, false, {0xFE, 0xFF, 0x02, 0x01, 12, 0}),
              frame(0x461, false, {'0', '1', '2', '3', '4', '5', '6', '7'}),
              frame(0x461, false, {'8', '9', crc & 0xFF, crc >> 8})});
        // Extended, 5000 -> 9000, data split unevenly, extra header bytes ignored.
        const uint32_t id = (5000u << 14) | 9000u;
        feed({frame(id, true, {0xFE, 0xFF, 0x34, 0x12, 12, 0, 0xAA, 0xBB}),
              frame(id | (1u << 28), true, {'0', '1', '2'}),
              frame(id | (1u << 28), true, {'3', '4', '5', '6', '7', '8', '9', crc & 0xFF}),
              frame(id | (1u << 28), true, {crc >> 8})});
        // Single frames: standard and extended, a 0-length one; rtr is ignored.
        can_message s = frame(0x3FF, false, {0x10, 0x00, 1, 2, 3, 4, 5, 6});
        s.can_rtr = 1;
        corvid_rx_can_frame(&s);
        s = frame((16383u << 14) | 7u, true, {0x11, 0x00});
        s.can_extbit = 1;  // any non-zero value means extended
        corvid_rx_can_frame(&s);
        // Header announcing total 2: one data frame with the empty CRC, length 0.
        QVERIFY(after({frame(0x061, false, {0xFE, 0xFF, 5, 0, 2, 0}), frame(0x461, false, {0, 0})}, {},
                      {{0x0102, 3, 1, data}, {0x1234, 5000, 9000, data}, {0x0010, 31, 31, "\1\2\3\4\5\6"},
                       {0x0011, 16383, 7, {}}, {0x0005, 3, 1, {}}}));
    }

    void fiveSendersAndASixth() {
        std::vector<std::vector<can_message>> streams;
        std::vector<QByteArray> payloads;
        // One message per source in frames; sources 1-3 on short identifiers, the rest extended.
        const auto make = [&](int n, int idBase) {
            for (int s = 0; s < n; ++s) {
                payloads.push_back(reference_pattern(50 + 37 * s, idBase + s));
                const uint16_t from = uint16_t(s < 3 ? s + 1 : 100 + s);
                streams.push_back(segment(corvid_message_over(uint16_t(idBase + s), from, 9, payloads.back())));
            }
        };
        const auto arrived = [&](size_t count, int idBase) {
            bool ok = g_messages.size() == count && g_errors.empty();
            for (const ReceivedMessage &r : g_messages)
                ok = ok && size_t(r.msgId - idBase) < payloads.size() && r.data == payloads[r.msgId - idBase];
            g_messages.clear();
            return ok;
        };
        // Six concurrent: the sixth header finds no buffer, its data no start.
        make(6, 0x200);
        g_now = 1000;
        for (int s = 0; s < 5; ++s)
            corvid_rx_can_frame(&streams[s][0]);
        QCOMPARE(corvid_free_buffer_count(), uint16_t(0));
        QVERIFY(after({streams[5][0], streams[5][1]}, {NO_FREE_BUFFER, DATA_WITHOUT_START}));
        // Still refused while every buffer heard something within the stale time.
        g_now = 2500;
        for (int s = 1; s < 5; ++s)
            corvid_rx_can_frame(&streams[s][1]);
        g_now = 1000 + CORVID_RX_STALE_MS - 1;
        QVERIFY(after({streams[5][0]}, {NO_FREE_BUFFER}));
        // Source 1 has been silent for the stale time: its buffer goes to the sixth.
        g_now = 1000 + CORVID_RX_STALE_MS;
        feed(streams[5]);
        QCOMPARE(g_errors, std::vector<uint16_t>{BUFFER_OVERWRITE});
        g_errors.clear();
        QVERIFY(arrived(1, 0x200));
        // The reclaimed sender's rest is data without start; the others are intact.
        QVERIFY(after({streams[0][1]}, {DATA_WITHOUT_START}));
        for (int s = 1; s < 5; ++s)
            feed(std::vector<can_message>(streams[s].begin() + 2, streams[s].end()));
        QVERIFY(arrived(4, 0x200));
        QCOMPARE(corvid_free_buffer_count(), uint16_t(5));
        // A clock that went backwards never counts as silence.
        for (int s = 0; s < 5; ++s)
            corvid_rx_can_frame(&streams[s][0]);
        g_now = 10;
        QVERIFY(after({streams[5][0]}, {NO_FREE_BUFFER}));
    }

    void receiveErrors() {
        QByteArray data = reference_pattern(27, 99);
        const std::vector<ReceivedMessage> whole{{5, 3, 1, data}};
        const auto frames = segment(corvid_message_over(5, 3, 1, data));  // header + 8, 8, 8, 5
        auto bad = frames;
        bad[4].data[bad[4].can_dlc - 1] ^= 0x01;  // checksum corrupted
        QVERIFY(after(bad, {WRONG_CRC}));
        // A missing frame leaves the message unfinished until the source's next header overwrites it.
        bad = frames;
        bad.erase(bad.begin() + 2);
        QVERIFY(after(bad, {}));
        QCOMPARE(corvid_free_buffer_count(), uint16_t(4));
        QVERIFY(after(frames, {BUFFER_OVERWRITE}, whole));
        QVERIFY(after(std::vector<can_message>(frames.begin() + 1, frames.end()),
                      std::vector<uint16_t>(4, DATA_WITHOUT_START)));
        // Surplus bytes: delivered, then the warning.
        bad = frames;
        bad[4].can_dlc = 8;
        QVERIFY(after(bad, {WARNING_UNEXPECTED_DATA}, whole));
        // An empty data frame mid-message is ignored.
        QVERIFY(after({frames[0], frame(0x461, false, {}), frames[1], frames[2], frames[3], frames[4]}, {}, whole));
        // Frame-level checks, in their order.
        can_message f = frame(0x800, false, {1, 0, 1, 2, 3, 4, 5, 6});
        f.can_dlc = 9;
        QVERIFY(after({f}, {CAN_MESSAGE_TOO_LONG}));
        f.can_dlc = 3;
        QVERIFY(after({f}, {CAN_IDENTIFIER_TOO_LONG}));
        QVERIFY(after({frame(0x20000000, true, {1, 0})}, {CAN_CAN_IDENTIFIER_EXT_TOO_LONG}));
        // The largest extended id is a data frame.
        QVERIFY(after({frame(0x1FFFFFFF, true, {1, 0})}, {DATA_WITHOUT_START}));
        QVERIFY(after({frame(0x061, false, {1})}, {CAN_MESSAGE_TOO_SHORT}));
        QVERIFY(after({frame(0x061, false, {0xFE, 0xFF, 1, 0, 9})}, {HEADER_TOO_SHORT}));
        // A restart with a bad total length leaves the buffer free.
        QVERIFY(after({frames[0], frame(0x061, false, {0xFE, 0xFF, 1, 0, 0, 0})}, {BUFFER_OVERWRITE, WRONG_CRC}));
        QCOMPARE(corvid_free_buffer_count(), uint16_t(5));
        QCOMPARE(corvid_free_budget(), CORVID_BUDGET);
        // Same source, other destination: one reassembly per source.
        QVERIFY(after({frames[0], frame(0x062, false, {0xFE, 0xFF, 1, 0, 9, 0})}, {BUFFER_OVERWRITE}));
        QCOMPARE(corvid_free_buffer_count(), uint16_t(4));
        // The largest total length is accepted and costs its full size; cleanup sees it all given back.
        QVERIFY(after({frame(0x0A1, false, {0xFE, 0xFF, 1, 0, 0xFF, 0xFF})}, {}));
        QCOMPARE(corvid_free_budget(), CORVID_BUDGET - (9 + 34) - (65535 + 34));
    }

    void reentrantCallbacks() {
        // The hub may rebind the hardware from inside a delivery: nothing is freed twice.
        QByteArray data = reference_pattern(20, 5);
        const auto frames = segment(corvid_message_over(5, 3, 1, data));
        CaptureConnector *second = make(QStringLiteral("second"));
        corvid_set_callbacks([&](const corvid_message *) { corvid_set_hardware(second); }, {});
        feed(frames);
        QCOMPARE(corvid_get_hardware(), second);
        QCOMPARE(corvid_free_budget(), CORVID_BUDGET);
        QCOMPARE(corvid_free_buffer_count(), uint16_t(5));
        cap = second;
        // An error handler that de-initialises the engine mid-frame.
        corvid_set_callbacks({}, [](uint16_t) { corvid_storage_deinit(); });
        const can_message h = frame(0x061, false, {0xFE, 0xFF, 1, 0, 9, 0});
        feed({h, h});  // BUFFER_OVERWRITE -> offline -> allocation refused
        QVERIFY(!corvid_is_online());
        QCOMPARE(corvid_free_budget(), CORVID_BUDGET);
        corvid_storage_init();
    }

    void binding() {
        // Rebinding closes the first before initialising the second, and deletes
        // neither; the same one again restarts.
        g_events.clear();
        CaptureConnector *b = make(QStringLiteral("b"));
        corvid_set_hardware(b);
        corvid_set_hardware(b);
        QCOMPARE(g_events, (QStringList{"cap:close", "b:init", "b:close", "b:init"}));
        QCOMPARE(corvid_get_hardware(), b);
        // A close and a destructor that de-initialise: each runs once.
        auto c = std::make_unique<CaptureConnector>(QStringLiteral("c"), true);
        corvid_set_hardware(c.get());
        g_events.clear();
        corvid_clear_hardware();
        c.reset();
        QCOMPARE(g_events, (QStringList{"c:close", "c:delete"}));
        QVERIFY(!corvid_is_online());
        // Nothing bound: every operation is harmless, receiving is offline.
        can_message f = frame(1, false, {1, 2});
        corvid_hw_tx_frame(&f);
        corvid_hw_init();
        corvid_hw_close();
        corvid_clear_hardware();
        g_errors.clear();
        QVERIFY(after({f}, {OFFLINE}));
        // A bound connector deleted directly releases the binding.
        auto d = std::make_unique<CaptureConnector>(QStringLiteral("d"));
        corvid_set_hardware(d.get());
        d.reset();
        QCOMPARE(corvid_get_hardware(), nullptr);
        corvid_set_hardware(cap);
        QVERIFY(corvid_is_online());
    }

    void callbacksAndTexts() {
        // A refused message is the error's subject while the handler runs, and its text names it.
        QByteArray nine(9, 'n');
        const corvid_message refused = corvid_message_over(0x1A, 0x4000, 2, nine);
        QString said;
        corvid_set_callbacks({}, [&](uint16_t c) { said = corvid_error_text(c, corvid_error_subject()); });
        corvid_storage_deinit();
        QVERIFY(!corvid_send_message(&refused));
        QCOMPARE(said,
                 QStringLiteral("Corvid error occured 1: OFFLINE (message id 0x1a, from 0x4000, to 0x2, length 9)"));
        QCOMPARE(corvid_error_subject(), nullptr);
        corvid_storage_init();
        record_callbacks();
        // Formatting never writes past its limit.
        std::vector<char> buf(CORVID_SPRINTF_MAX + 100, 'z');
        const std::string big(20000, 'a');
        QCOMPARE(corvid_sprintf(buf.data(), "%s", big.c_str()), CORVID_SPRINTF_MAX);
        QCOMPARE(buf[CORVID_SPRINTF_MAX], '\0');
        QCOMPARE(buf[CORVID_SPRINTF_MAX + 1], 'z');
    }

    void connectorBase() {
        // The reconnect slot re-initialises only a failed link.
        CaptureConnector c(QStringLiteral("r"));
        g_events.clear();
        c.state = AbstractConnector::HW_READY;
        QVERIFY(QMetaObject::invokeMethod(&c, "handleReconnectTimeout"));
        c.setHWState(AbstractConnector::HW_ERROR);
        QVERIFY(QMetaObject::invokeMethod(&c, "handleReconnectTimeout"));
        QCOMPARE(g_events, QStringList{"r:init"});
        // A message the engine completes leaves as the bound link's signal with a
        // copy of its data; a radio header travels by value. Through a queued
        // connection both outlive what the sender had.
        QByteArray payload("queued");
        const corvid_message qm = corvid_message_over(0x42, 7, 8, payload);
        QStringList got;
        QObject receiver;
        connect(cap, &AbstractConnector::messageReceived, &receiver,
                [&](corvid_owned_message m, AX25HeaderOpt h) {
                    got << QStringLiteral("%1 %2 %3").arg(m.msg_id, 0, 16).arg(QString(m.data)).arg(h ? h->pid : 0);
                }, Qt::QueuedConnection);
        feed(segment(qm));
        auto hdr = std::make_unique<AX25Header>();
        hdr->pid = 0xF0;
        emit cap->messageReceived(corvid_owned_message::copyOf(qm), *hdr);
        hdr.reset();
        QVERIFY(got.isEmpty());
        QTRY_COMPARE(got, (QStringList{"42 queued 0", "42 queued 240"}));
    }
};

QTEST_GUILESS_MAIN(tst_engine)
#include "tst_engine.moc"
