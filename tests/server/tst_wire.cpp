// Frame bytes against layouts written out by hand, and the receive procedure
// fed in every way a TCP stream can cut it.

#include "server/corvid_wire.h"

#include "tests/common/wire_client.h"

#include <QtTest>

namespace {

using wire_ref::hex;
using wire_ref::srvState;

constexpr int64_t kT0 = 0x0102030405060708;
int64_t fixedClock() { return kT0; }

corvid_message msgOf(quint16 id, quint16 from, quint16 to, QByteArray &data)
{
    corvid_message m;
    m.msg_id = id;
    m.address_from = from;
    m.address_to = to;
    m.length = quint16(data.size());
    m.data = data.isEmpty() ? nullptr : reinterpret_cast<uint8_t *>(data.data());
    return m;
}

// Hand-made Msg2Sat: recId 7, id 0x0010, 1 -> 2, data AA BB.
const char *kMsg2Sat = "5EBA 0010 0000 1A000000 07000000 1000 0100 0200 0200 AABB 11BA";

} // namespace

class TestWire : public QObject {
    Q_OBJECT
private slots:
    void builtFramesMatchHandLayouts();
    void msg2AppFrame();
    void appInfoAndNames();
    void parsersRejectBrokenFrames();
    void receiverCutsStreamsInAnyPieces();
    void receiverResynchronises();
    void receiverLimits();
};

void TestWire::builtFramesMatchHandLayouts()
{
    QByteArray data = hex("AABB");
    QCOMPARE(buildMsg2SatFrame(7, msgOf(0x0010, 1, 2, data)), hex(kMsg2Sat));

    QByteArray none;
    const QByteArray empty = buildMsg2SatFrame(0x01020304, msgOf(0xFFF0, 0x1234, 0xABCD, none));
    QCOMPARE(empty, hex("5EBA 0010 0000 18000000 04030201 F0FF 3412 CDAB 0000 11BA"));

    QCOMPARE(buildSrvStateFrame(2, 0), hex("5EBA 0220 0000 24000000 00000000 02000000 00000000 00000000"
                                           "0000000000000000 11BA"));
    QCOMPARE(buildSrvStateFrame(1, 0x11223344), hex("5EBA 0220 0000 24000000 00000000 01000000 00000000 44332211"
                                                    "0000000000000000 11BA"));
    QCOMPARE(buildFrame(0x2002, QByteArray(24, '\0')), srvState(0, 0));

    crs_set_clock(&fixedClock);
    const QByteArray info = buildSrvInfoFrame();
    crs_set_clock(nullptr);
    QCOMPARE(info, hex("5EBA 0120 0000 4C000000 64000000 01000000 0000000000000000 0807060504030201") +
                       QByteArray("Corvid dedicated server") + QByteArray(17, '\0') + hex("11BA"));
    const auto parsed = parseSrvInfoFrame(info);
    QVERIFY(parsed);
    QCOMPARE(parsed->version, 100u);
    QCOMPARE(parsed->name, QByteArray("Corvid dedicated server"));
    QCOMPARE(parsed->time_ms, kT0);

    const auto st = parseSrvStateFrame(srvState(2, 9));
    QVERIFY(st);
    QCOMPARE(st->hw_state, 2u);
    QCOMPARE(st->hw_error, 9u);
}

void TestWire::msg2AppFrame()
{
    QByteArray data = hex("010203");
    const corvid_message m = msgOf(0x1234, 5, 6, data);
    crs_set_clock(&fixedClock);
    const QByteArray f = buildMsg2AppFrame(m, 0x1112131415161718ull, 1, 0, 0xA1B2C3D4);
    crs_set_clock(nullptr);
    QCOMPARE(f, hex("5EBA 0020 0000 37000000 00000000 01000000 0807060504030201"
                    "1817161514131211 D4C3B2A1 3412 0500 0600 0300 00000000 010203 11BA"));

    const auto p = parseMsg2AppFrame(f);
    QVERIFY(p);
    QCOMPARE(p->header.stampId, 0x1112131415161718ull);
    QCOMPARE(p->header.time_ms, kT0);
    QCOMPARE(p->header.tag, 0xA1B2C3D4u);
    QCOMPARE(p->header.status, 1u);
    QCOMPARE(p->header.dir, 0u);
    QCOMPARE(p->data, data);
    QVERIFY(!p->hasAx25);
    const corvid_message back = p->message();
    QCOMPARE(back.msg_id, quint16(0x1234));
    QCOMPARE(back.length, quint16(3));
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(back.data), 3), data);

    // Null data with a length: that many zero bytes go out.
    corvid_message nul;
    nul.msg_id = 1;
    nul.length = 5;
    const QByteArray z = buildMsg2AppFrame(nul, 1, 0, 1, 0);
    QCOMPARE(z.size(), 57);
    QCOMPARE(z.mid(50, 5), QByteArray(5, '\0'));
    QCOMPARE(z.right(2), hex("11BA"));

    // With the radio header: 17 bytes more, same length field, bytes copied verbatim.
    AX25Header ax;
    ax.port = 0x00;
    for (int i = 0; i < 6; ++i) {
        ax.dest_callsign[i] = uint8_t(0x80 + i);
        ax.src_callsign[i] = uint8_t(0x90 + i);
    }
    ax.dest_ssid = 0x60;
    ax.src_ssid = 0x61;
    ax.control = 0x03;
    ax.pid = 0xF0;
    const QByteArray withAx = buildMsg2AppFrame(m, 3, 1, 0, 0, &ax);
    QCOMPARE(withAx.size(), f.size() + 17);
    QCOMPARE(withAx.mid(6, 4), hex("48000000"));
    QCOMPARE(withAx.mid(44, 2), f.mid(44, 2));
    QCOMPARE(withAx.mid(53, 17), hex("00 808182838485 60 909192939495 61 03 F0"));
    const auto pa = parseMsg2AppFrame(withAx);
    QVERIFY(pa);
    QVERIFY(pa->hasAx25);
    QCOMPARE(pa->ax25.src_ssid, uint8_t(0x61));
    QCOMPARE(pa->data, data);
}

void TestWire::appInfoAndNames()
{
    const QByteArray f = buildAppInfoFrame(100, "Corvid control center", true);
    const QByteArray expect = hex("5EBA 0110 0000 38000000 64000000") + QByteArray("Corvid control center")
        + QByteArray(11, '\0') + hex("01 00000000000000 11BA");
    QCOMPARE(f, expect);
    const auto p = parseAppInfoFrame(f);
    QVERIFY(p);
    QCOMPARE(p->version, 100u);
    QCOMPARE(p->name, QByteArray("Corvid control center"));
    QCOMPARE(p->observer, uint8_t(1));

    // Longer names are cut at 32 bytes without a terminating NUL; readers stop there.
    const QByteArray longName(40, 'x');
    const QByteArray g = buildAppInfoFrame(0x00010064, longName, false);
    QCOMPARE(g.size(), 56);
    QCOMPARE(g.mid(14, 32), QByteArray(32, 'x'));
    QCOMPARE(g.at(46), '\0');
    const auto q = parseAppInfoFrame(g);
    QVERIFY(q);
    QCOMPARE(q->name, QByteArray(32, 'x'));
    QCOMPARE(q->observer, uint8_t(0));

    const char field[32] = {'a', 'b', 0, 'c'};
    QCOMPARE(crs_read_name(field), QByteArray("ab"));
}

void TestWire::parsersRejectBrokenFrames()
{
    const QByteArray good = hex(kMsg2Sat);
    QVERIFY(parseMsg2SatFrame(good));
    QCOMPARE(parseMsg2SatFrame(good)->data, hex("AABB"));

    QByteArray reserved = good;
    reserved[4] = 0x01;  // kind value 0x11000
    QVERIFY(!parseMsg2SatFrame(reserved));

    QByteArray tooLong = good;
    tooLong[20] = 0x03;  // three data bytes announced, two present
    QVERIFY(!parseMsg2SatFrame(tooLong));

    QVERIFY(!parseMsg2SatFrame(good.left(25)));  // length field says 26
    QVERIFY(!parseMsg2AppFrame(good));           // wrong kind
    QVERIFY(!parseMsg2SatFrame(QByteArray()));

    QByteArray badEnd = buildAppInfoFrame(100, "app", false);
    badEnd[55] = 0x00;
    QVERIFY(!parseAppInfoFrame(badEnd));

    QByteArray shortLen = buildMsg2AppFrame(corvid_message(), 0, 0, 0, 0);
    shortLen[44] = char(0xFF);  // data length 255 in a frame without data
    QVERIFY(!parseMsg2AppFrame(shortLen));

    QVERIFY(!parseSrvStateFrame(srvState(2, 0).left(30)));
}

void TestWire::receiverCutsStreamsInAnyPieces()
{
    QByteArray a = hex("DEAD");
    QByteArray big(300, '\x5E');
    const QByteArray f1 = buildAppInfoFrame(100, "one", false);
    const QByteArray f2 = buildMsg2SatFrame(9, msgOf(0x10, 1, 2, a));
    const QByteArray f3 = buildMsg2AppFrame(msgOf(0x11, 3, 4, big), 5, 1, 0, 77);
    const QByteArray stream = f1 + f2 + f3;

    // One byte at a time: nothing comes out early, everything at the right moment.
    {
        CorvidFrameReceiver rx(CorvidFrameReceiver::serverKinds());
        QList<crs_frame_t> got;
        for (int i = 0; i < stream.size(); ++i) {
            const auto out = rx.feed(stream.mid(i, 1));
            for (const auto &f : out)
                got.append(f);
            if (i == f1.size() - 2)
                QCOMPARE(got.size(), 0);
            if (i == f1.size() - 1) {
                QCOMPARE(got.size(), 1);
                QCOMPARE(got.last().bytes, f1);
                QCOMPARE(got.last().kind, uint32_t(FrameAppInfo));
            }
            if (i == 3)
                QCOMPARE(rx.bufferedBytes(), 4);  // short starts are kept, not thrown away
        }
        QCOMPARE(got.size(), 3);
        QCOMPARE(got.at(1).bytes, f2);
        QCOMPARE(got.at(2).bytes, f3);
        QCOMPARE(rx.bufferedBytes(), 0);
        QCOMPARE(rx.state(), 0u);
    }
    // Every piece size, the same three frames each time.
    for (int piece = 2; piece <= 70; ++piece) {
        CorvidFrameReceiver rx(CorvidFrameReceiver::serverKinds());
        QList<QByteArray> got;
        for (int i = 0; i < stream.size(); i += piece)
            for (const auto &f : rx.feed(stream.mid(i, piece)))
                got.append(f.bytes);
        QCOMPARE(got, (QList<QByteArray>{f1, f2, f3}));
    }
    // All of it in one go.
    CorvidFrameReceiver rx(CorvidFrameReceiver::serverKinds());
    const auto all = rx.feed(stream + stream);
    QCOMPARE(all.size(), 6);
    QCOMPARE(all.at(5).bytes, f3);

    // The client end accepts the server's kinds and ignores the applications'.
    CorvidFrameReceiver client(CorvidFrameReceiver::clientKinds());
    const QByteArray fromServer = buildSrvInfoFrame() + srvState(2, 0) + f3;
    const auto c = client.feed(f1 + fromServer + f2);
    QCOMPARE(c.size(), 3);
    QCOMPARE(c.at(0).kind, uint32_t(FrameSrvInfo));
    QCOMPARE(c.at(1).bytes, srvState(2, 0));
    QCOMPARE(c.at(2).kind, uint32_t(FrameMsg2App));
}

void TestWire::receiverResynchronises()
{
    const QByteArray f = hex(kMsg2Sat);
    CorvidFrameReceiver rx(CorvidFrameReceiver::serverKinds());

    // Stray bytes before and between frames, including half a start marker,
    // a marker with a kind this end does not take, and the reserved half set.
    QByteArray reserved = f;
    reserved[4] = 0x01;
    const QByteArray garbage = hex("00 5E 11BA 5EBA 5E") + srvState(2, 0) + reserved + hex("5EBA0010");
    auto out = rx.feed(garbage + f + garbage + f + hex("FFFF"));
    QCOMPARE(out.size(), 2);
    QCOMPARE(out.at(0).bytes, f);
    QCOMPARE(out.at(1).bytes, f);
    QCOMPARE(rx.state(), 0u);

    // Frame length smaller than the fixed part and header: not a frame.
    QByteArray tiny = f;
    tiny[6] = 12;
    rx.clear();
    out = rx.feed(tiny + f);
    QCOMPARE(out.size(), 1);
    QCOMPARE(out.at(0).bytes, f);

    // Data length that does not fit: the frame is dropped, the next one is found.
    QByteArray overData = f;
    overData[20] = 0x40;
    rx.clear();
    const quint64 rejectedBefore = rx.rejectedFrames();
    out = rx.feed(overData + f);
    QCOMPARE(out.size(), 1);
    QCOMPARE(out.at(0).bytes, f);
    QCOMPARE(rx.rejectedFrames(), rejectedBefore + 1);

    QByteArray overApp = buildMsg2AppFrame(corvid_message(), 0, 0, 0, 0);
    overApp[44] = 0x01;
    rx.clear();
    out = rx.feed(overApp + f);
    QCOMPARE(out.size(), 1);
    QCOMPARE(out.at(0).kind, uint32_t(FrameMsg2Sat));

    // An application-information frame with a wrong end marker is cut out but
    // refused by its parser; the stream goes on behind it.
    QByteArray badEnd = buildAppInfoFrame(100, "x", false);
    badEnd[54] = 0;
    rx.clear();
    out = rx.feed(badEnd + f);
    QCOMPARE(out.size(), 2);
    QVERIFY(!parseAppInfoFrame(out.at(0).bytes));
    QCOMPARE(out.at(1).bytes, f);
}

void TestWire::receiverLimits()
{
    const QByteArray f = hex(kMsg2Sat);
    CorvidFrameReceiver rx(CorvidFrameReceiver::serverKinds());

    // Absurd lengths are garbage, not frames to wait for.
    for (const char *len : {"FFFFFF7F", "00000080", "FFFFFFFF", "45000100"}) {
        QByteArray bogus = f;
        bogus.replace(6, 4, hex(len));
        rx.clear();
        const auto out = rx.feed(bogus + f);
        QCOMPARE(out.size(), 1);
        QCOMPARE(out.at(0).bytes, f);
        QCOMPARE(rx.bufferedBytes(), 0);
    }

    // The largest frame there is still gets through: 65,535 data bytes and a radio header.
    QByteArray data(65535, '\x5E');
    corvid_message m;
    m.length = 65535;
    m.data = reinterpret_cast<uint8_t *>(data.data());
    AX25Header ax;
    const QByteArray biggest = buildMsg2AppFrame(m, 1, 1, 0, 0, &ax);
    QCOMPARE(biggest.size(), CRS_MAX_FRAME_SIZE);
    rx.clear();
    QList<QByteArray> got;
    for (int i = 0; i < biggest.size(); i += 1400)
        for (const auto &fr : rx.feed(biggest.mid(i, 1400)))
            got.append(fr.bytes);
    QCOMPARE(got.size(), 1);
    QCOMPARE(got.at(0), biggest);
    const auto p = parseMsg2AppFrame(got.at(0));
    QVERIFY(p && p->hasAx25);
    QCOMPARE(p->data.size(), 65535);

    // One byte more in the length field is garbage.
    QByteArray over = biggest;
    over.replace(6, 4, hex("45000100"));
    rx.clear();
    QCOMPARE(rx.feed(over).size(), 0);
    QCOMPARE(rx.state(), 0u);
    QVERIFY(rx.bufferedBytes() < CRS_HUNT_MIN);

    // A frame waits in its state while it is incomplete.
    rx.clear();
    QCOMPARE(rx.feed(f.left(12)).size(), 0);
    QCOMPARE(rx.state(), uint32_t(FrameMsg2Sat));
    QCOMPARE(rx.expectedLength(), 26);
    QCOMPARE(rx.feed(f.mid(12)).size(), 1);
}

int runWireTests(int argc, char **argv)
{
    TestWire t;
    return QTest::qExec(&t, argc, argv);
}

#include "tst_wire.moc"
