// Frame bytes against layouts written out by hand, and the receive procedure
// fed in every way a TCP stream can cut it.

#include "server/corvid_wire.h"

#include "tests/common/wire_client.h"

#include <QtTest>
#include <cstring>
#include <tuple>

namespace {

using wire_ref::hex;
using wire_ref::srvState;

constexpr int64_t kT0 = 0x0102030405060708;
int64_t fixedClock() { return kT0; }

// Over `data`, which must outlive it; no data pointer at all when empty.
corvid_message msgOf(quint16 id, quint16 from, quint16 to, const QByteArray &data)
{
    corvid_message m = corvid_message_over(id, from, to, data);
    m.data = data.isEmpty() ? nullptr : m.data;
    return m;
}

QByteArray patched(QByteArray f, int at, const char *bytes) { return f.replace(at, hex(bytes).size(), hex(bytes)); }

QByteArrayList bytesOf(const QVector<crs_frame_t> &frames)
{
    QByteArrayList out;
    for (const crs_frame_t &f : frames)
        out << f.bytes;
    return out;
}

// Hand-made Msg2Sat: recId 7, id 0x0010, 1 -> 2, data AA BB.
const char *kMsg2Sat = "5EBA 0010 0000 1A000000 07000000 1000 0100 0200 0200 AABB 11BA";
const QByteArray kAx = hex("00 808182838485 60 909192939495 61 03 F0");

} // namespace

class TestWire : public QObject {
    Q_OBJECT
private slots:
    void builtFramesMatchHandLayouts();
    void parsersReadAndReject();
    void receiverCutsStreamsInAnyPieces();
    void receiverResynchronises_data();
    void receiverResynchronises();
    void receiverLimits();
};

void TestWire::builtFramesMatchHandLayouts()
{
    const QByteArray d3 = hex("010203");
    corvid_message nul;  // null data with a length: that many zero bytes go out
    nul.msg_id = 1;
    nul.length = 5;
    AX25Header ax;
    memcpy(&ax, kAx.constData(), sizeof ax);
    const corvid_message m = msgOf(0x1234, 5, 6, d3);
    crs_set_clock(&fixedClock);
    QCOMPARE(buildMsg2SatFrame(7, msgOf(0x0010, 1, 2, hex("AABB"))), hex(kMsg2Sat));
    QCOMPARE(buildSrvStateFrame(1, 0x11223344),
             hex("5EBA 0220 0000 24000000 00000000 01000000 00000000 44332211 0000000000000000 11BA"));
    QCOMPARE(buildSrvInfoFrame(), hex("5EBA 0120 0000 4C000000 64000000 01000000 0000000000000000 0807060504030201") +
                                      "Corvid dedicated server" + QByteArray(17, '\0') + hex("11BA"));
    QCOMPARE(buildMsg2AppFrame(m, 0x1112131415161718ull, 1, 0, 0xA1B2C3D4),
             hex("5EBA 0020 0000 37000000 00000000 01000000 0807060504030201 1817161514131211 D4C3B2A1"
                 "3412 0500 0600 0300 00000000 010203 11BA"));
    QCOMPARE(buildMsg2AppFrame(nul, 1, 0, 1, 0), hex("5EBA 0020 0000 39000000 01000000 00000000 0807060504030201"
                                                     "0100000000000000 00000000 0100 0000 0000 0500 00000000"
                                                     "0000000000 11BA"));
    // The radio header: 17 bytes more, same data length field, bytes copied verbatim.
    QCOMPARE(buildMsg2AppFrame(m, 3, 1, 0, 0, &ax),
             hex("5EBA 0020 0000 48000000 00000000 01000000 0807060504030201 0300000000000000 00000000"
                 "3412 0500 0600 0300 00000000 010203") + kAx + hex("11BA"));
    crs_set_clock(nullptr);
    // Longer names are cut at 32 bytes without a terminating NUL.
    QCOMPARE(buildAppInfoFrame(0x00010064, QByteArray(40, 'x'), false),
             hex("5EBA 0110 0000 38000000 64000100") + QByteArray(32, 'x') + hex("00 00000000000000 11BA"));
}

void TestWire::parsersReadAndReject()
{
    const QByteArray good = hex(kMsg2Sat);
    QCOMPARE(parseMsg2SatFrame(good)->data, hex("AABB"));
    QVERIFY(!parseMsg2SatFrame(patched(good, 4, "01")));  // kind value 0x11000
    QVERIFY(!parseMsg2SatFrame(patched(good, 20, "03")));  // three data bytes announced, two present
    QVERIFY(!parseMsg2SatFrame(good.left(25)));  // length field says 26
    QVERIFY(!parseMsg2SatFrame(QByteArray()));
    QVERIFY(!parseAppInfoFrame(patched(wire_ref::appInfo("app", 0), 55, "00")));
    QVERIFY(!parseMsg2AppFrame(patched(wire_ref::msg2App(0, 0, 0, 0, 0, 0, 0, 0, {}), 44, "FF")));  // 255 bytes absent
    QVERIFY(!parseSrvStateFrame(srvState(2, 0).left(30)));
}

void TestWire::receiverCutsStreamsInAnyPieces()
{
    const QByteArray f1 = buildAppInfoFrame(100, "one", false);
    const QByteArray f2 = buildMsg2SatFrame(9, msgOf(0x10, 1, 2, hex("DEAD")));
    const QByteArray f3 = buildMsg2AppFrame(msgOf(0x11, 3, 4, QByteArray(300, '\x5E')), 5, 1, 0, 77);
    const QByteArray stream = f1 + f2 + f3;

    // Every piece size: nothing comes out early, everything at the right moment.
    for (int piece = 1; piece <= 70; ++piece) {
        CorvidFrameReceiver rx(CorvidFrameReceiver::serverKinds());
        QVector<crs_frame_t> got;
        for (int fed = 0; fed < stream.size();) {
            got += rx.feed(stream.mid(fed, piece));
            fed = qMin(fed + piece, stream.size());
            QCOMPARE(got.size(), int(fed >= f1.size()) + int(fed >= f1.size() + f2.size()) + int(fed == stream.size()));
        }
        QCOMPARE(bytesOf(got), (QByteArrayList{f1, f2, f3}));
        QCOMPARE(std::make_pair(rx.bufferedBytes(), rx.state()), std::make_pair(0, 0u));
    }
}

void TestWire::receiverResynchronises_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArrayList>("frames");
    QTest::addColumn<int>("rejected");
    const QByteArray f = hex(kMsg2Sat);
    // Stray bytes including half a start marker, a marker with a kind this end
    // does not take, and the reserved half set.
    const QByteArray garbage = hex("00 5E 11BA 5EBA 5E") + srvState(2, 0) + patched(f, 4, "01") + hex("5EBA0010");
    const QByteArray badEnd = patched(buildAppInfoFrame(100, "x", false), 54, "00");
    QTest::newRow("garbage") << garbage + f + garbage + f + hex("FFFF") << QByteArrayList{f, f} << -1;
    QTest::newRow("length under header") << patched(f, 6, "0C") + f << QByteArrayList{f} << -1;
    QTest::newRow("data overruns") << patched(f, 20, "40") + f << QByteArrayList{f} << 1;
    QTest::newRow("app data overruns") << patched(buildMsg2AppFrame(corvid_message(), 0, 0, 0, 0), 44, "01") + f
                                       << QByteArrayList{f} << -1;
    // Absurd lengths are garbage, not frames to wait for.
    for (const char *len : {"FFFFFF7F", "00000080"})
        QTest::newRow(len) << patched(f, 6, len) + f << QByteArrayList{f} << -1;
    // Cut out, refused later by its parser; the stream goes on behind it.
    QTest::newRow("app info bad end") << badEnd + f << QByteArrayList{badEnd, f} << -1;
}

void TestWire::receiverResynchronises()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArrayList, frames);
    QFETCH(int, rejected);
    CorvidFrameReceiver rx(CorvidFrameReceiver::serverKinds());
    QCOMPARE(bytesOf(rx.feed(input)), frames);
    QCOMPARE(rx.state(), 0u);
    if (rejected >= 0)
        QCOMPARE(rx.rejectedFrames(), quint64(rejected));
    if (frames.last() == input.right(frames.last().size()))
        QCOMPARE(rx.bufferedBytes(), 0);
}

void TestWire::receiverLimits()
{
    // The largest frame there is still gets through: 65,535 data bytes and a radio header.
    QByteArray data(65535, '\x5E');
    corvid_message m;
    m.length = 65535;
    m.data = reinterpret_cast<uint8_t *>(data.data());
    AX25Header ax;
    const QByteArray biggest = buildMsg2AppFrame(m, 1, 1, 0, 0, &ax);
    QCOMPARE(biggest.size(), CRS_MAX_FRAME_SIZE);
    CorvidFrameReceiver rx(CorvidFrameReceiver::serverKinds());
    QByteArrayList got;
    for (int i = 0; i < biggest.size(); i += 1400)
        got += bytesOf(rx.feed(biggest.mid(i, 1400)));
    QCOMPARE(got, QByteArrayList{biggest});

    // One byte more in the length field is garbage.
    rx.clear();
    QCOMPARE(rx.feed(patched(biggest, 6, "45000100")).size(), 0);
    QCOMPARE(rx.state(), 0u);
    QVERIFY(rx.bufferedBytes() < CRS_HUNT_MIN);
}

int runWireTests(int argc, char **argv)
{
    TestWire t;
    return QTest::qExec(&t, argc, argv);
}

#include "tst_wire.moc"
