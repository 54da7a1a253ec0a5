// The serial CAN adapter: its line protocol byte for byte, the connector with
// the real serial port on a pseudo-terminal, and the simulated adapter between
// the connector (or the whole server) and the virtual CAN bus.

#include "connectors/USBtinConnector.h"
#include "connectors/usbtin_protocol.h"
#include "engine/CorvidEngine.h"
#include "tests/common/bus_peer.h"
#include "tests/common/can_reference.h"
#include "tests/common/diagnostic_capture.h"
#include "tests/common/pty_peer.h"
#include "tests/common/recording_prompt.h"
#include "tests/common/server_run.h"
#include "tests/common/wire_client.h"
#include "tests/common/virtual_bus.h"

#include <QSignalSpy>

namespace {

using HW = AbstractConnector;
constexpr int kLong = 600000;  // a timer that must not fire during a test
const QString kSim = builtProgram(QStringLiteral("tools/adapter-sim/corvid-adapter-sim"));
const QString kSniffer = QStringLiteral("Low-speed CAN sniffer found, packets from bursts can be skipped");

// "t 123 2 ab01": kind letter, identifier, length, data (none for remote).
QString describe(const can_message &f)
{
    const bool ext = f.can_extbit != 0, rtr = f.can_rtr != 0;
    const QByteArray data(reinterpret_cast<const char *>(f.data), rtr ? 0 : f.can_dlc);
    return QStringLiteral("%1 %2 %3").arg(QLatin1Char(ext ? (rtr ? 'R' : 'T') : (rtr ? 'r' : 't')))
               .arg(f.can_identifier, ext ? 8 : 3, 16, QLatin1Char('0')).arg(f.can_dlc) +
           (rtr ? QString() : QLatin1Char(' ') + QString::fromLatin1(data.toHex()));
}

// The adapter's replies in the connector tests: frames of every kind, hex in
// both cases, a length past 8, with noise, broken lines, bare CRs and BEL
// between them. A broken line costs only itself.
const QByteArray kAdapterStream = "t1232AB01\r\r\r\a" "t0618" "3412aabbccddeeff\r" "xq\r"
                                  "T12345678" "8" "0011223344556677\r" "?#t7ff2aAbB\r" "\ar1233\r" "R000123450\r"
                                  "t12\rt1232AB\rt123xAB01\rT1234\r" "t061F0011223344556677\r";
const QStringList kAdapterFrames = {"t 123 2 ab01", "t 061 8 3412aabbccddeeff", "T 12345678 8 0011223344556677",
                                    "t 7ff 2 aabb", "r 123 3", "R 00012345 0", "t 061 8 0011223344556677"};

// A message of 20 bytes (0 to 19) from 3 to 1 as the four frame lines that carry it.
const QByteArray kTwenty = QByteArray::fromHex("000102030405060708090a0b0c0d0e0f10111213");
const QByteArray kTwentyLines = "t0616FEFF02011600\rt46180001020304050607\rt461808090A0B0C0D0E0F\rt461610111213" +
                                le16(reference_crc(kTwenty)).toHex().toUpper() + "\r";

struct Sim {
    ChildProcess proc;
    QString path;
    QStringList lines;  // "< LINE" trace lines

    bool start(const QStringList &args) {
        proc.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        proc.start(kSim, args);
        if (!proc.waitForStarted() || !QTest::qWaitFor([this] { return proc.canReadLine(); }, 10000))
            return false;
        path = QString::fromLocal8Bit(proc.readLine().trimmed());
        QObject::connect(&proc, &QProcess::readyReadStandardOutput, &proc, [this] {
            while (proc.canReadLine())
                lines << QString::fromLatin1(proc.readLine().trimmed());
        });
        return path.startsWith(QLatin1String("/dev/"));
    }
    int stop() {
        endProcess(proc);
        return proc.exitStatus() == QProcess::NormalExit ? proc.exitCode() : -1;
    }
    ~Sim() { endProcess(proc); }
};

}  // namespace

class tst_usbtin : public QObject {
    Q_OBJECT
private:
    QList<QPair<uint16_t, QByteArray>> m_messages;  // msg_id, data from the engine
    std::unique_ptr<CorvidEngine> m_engine;  // a fresh one per test
    USBtinConnector *m_conn = nullptr;
    VirtualBusHost m_bus;

    // With a `pty`, also consumes the opening sequence and answers as a
    // high-speed adapter.
    void bind(const QString &path, const USBtinConnector::Timings &t, PtyPeer *pty = nullptr) {
        m_conn = new USBtinConnector(*m_engine, path);
        m_conn->setTimings(t);
        m_engine->setHardware(m_conn);
        if (pty && pty->take(9).size() == 9 && pty->write("V0200\r"))
            QVERIFY(QTest::qWaitFor([this] { return m_conn->queuedLines() == 0 && m_conn->state == HW::HW_READY; }, 5000));
    }

private slots:
    void initTestCase() {
        corvid_register_metatypes();
        qRegisterMetaType<HW::HWState>();
        QVERIFY2(QFile::exists(kSim), qPrintable(kSim));
        QVERIFY2(m_bus.start(), qPrintable(m_bus.error()));
    }
    void init() {
        m_engine = std::make_unique<CorvidEngine>();
        m_engine->setMessageHandler([this](const corvid_message *m) {
            m_messages.append({m->msg_id, QByteArray(reinterpret_cast<const char *>(m->data), m->length)});
        });
    }
    void cleanup() {
        m_engine->deinit();
        delete m_conn;
        m_conn = nullptr;
        m_engine.reset();
        m_messages.clear();
    }

    void frameLines_data() {
        QTest::addColumn<can_message>("frame");
        QTest::addColumn<QByteArray>("line");
        auto f = [](uint32_t id, int ext, int rtr, int dlc) {
            return can_message{id, uint8_t(rtr), uint8_t(ext), uint8_t(dlc), {0xAB, 1, 2, 3, 4, 5, 6, 0x0C}};
        };
        QTest::newRow("clipped") << f(0x7FF, 0, 0, 12) << QByteArray("t7FF8AB0102030405060C\r");
        QTest::newRow("masked") << f(0xFFF, 0, 0, 0) << QByteArray("t7FF0\r");
        QTest::newRow("extended") << f(0x100A0001, 4, 0, 3) << QByteArray("T100A00013AB0102\r");
        QTest::newRow("ext remote") << f(0x12345, 4, 1, 0) << QByteArray("R000123450\r");
    }
    void frameLines() {
        QFETCH(can_message, frame);
        QFETCH(QByteArray, line);
        QCOMPARE(usbtin::frameLine(&frame), line);
    }

    // Junk without a line end is dropped but for a bounded tail.
    void endlessJunk() {
        QByteArray junk = QByteArray(200, 'x') + "t1232AB";
        usbtin::Reply r;
        QVERIFY(!usbtin::takeReply(junk, r));
        QCOMPARE(junk, QByteArray(19, 'x') + "t1232AB");
    }

    // Opening commands go one after another. The link is ready once the
    // adapter has told its hardware version, which also tells its kind; an
    // unknown version leaves it waiting.
    void adapterStateAndKinds_data() {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("readyText");  // empty: never ready
        QTest::newRow("high-speed") << QByteArray("V0200\r") << int(USBtinConnector::HW_DevSRXsniffer)
                                    << QStringLiteral("High-speed CAN sniffer found");
        QTest::newRow("low-speed") << QByteArray("V0100\r") << int(USBtinConnector::HW_DevBusbridge) << kSniffer;
        QTest::newRow("unknown") << QByteArray("V0300\r") << int(USBtinConnector::HW_DevBusbridge) << QString();
    }
    void adapterStateAndKinds() {
        QFETCH(QByteArray, reply);
        QFETCH(int, kind);
        QFETCH(QString, readyText);
        PtyPeer pty;
        DiagnosticCapture log(true);
        bind(pty.path(), {kLong, kLong, kLong});
        QSignalSpy states(m_conn, &HW::stateChanges);
        QCOMPARE(m_conn->interfaceName, QStringLiteral("UsbTin"));
        for (const char *firmware : {"0107", "0108"}) {  // opened, then reopened
            QCOMPARE(std::make_pair(int(m_conn->state), m_conn->awaitingDevice()), std::make_pair(1, true));
            QCOMPARE(m_conn->queuedLines(), 4);  // one written, three waiting for it
            QCOMPARE(pty.take(9), QByteArray("V\rv\rS8\rO\r"));
            QVERIFY(pty.write("\r" + reply + 'v' + firmware + '\r'));
            QTRY_COMPARE(m_conn->firmwareVersion(), QLatin1String(firmware));
            QCOMPARE(int(m_conn->deviceKind()), kind);
            QCOMPARE(int(m_conn->state), readyText.isEmpty() ? int(HW::HW_NOTINIT) : int(HW::HW_READY));
            QCOMPARE(m_conn->awaitingDevice(), readyText.isEmpty());
            QTRY_COMPARE(m_conn->queuedLines(), 0);
            m_conn->HW_close();
            QCOMPARE(pty.take(2), QByteArray("C\r"));
            m_conn->HW_init();
        }
        QCOMPARE(log.count(QtInfoMsg, "Tool firmware version: 0107, Port: " + pty.path()), 1);
        // Said at each ready, from the kind the adapter told; nothing else.
        const QStringList said = log.texts(QtInfoMsg, "High-speed CAN sniffer") + log.texts(QtWarningMsg, kSniffer);
        QCOMPARE(said, readyText.isEmpty() ? QStringList() : QStringList({readyText, readyText}));
        QList<int> seen;
        for (const auto &args : states)
            seen << int(args.at(0).value<HW::HWState>());
        QCOMPARE(seen, readyText.isEmpty() ? QList<int>() : QList<int>({2, 1, 2, 1}));
    }

    // Every kind of frame reaches the engine, whole or in two reads cut
    // anywhere. Unplugged, the adapter leaves the link in the error state.
    void framesFromAdapterThenUnplugged() {
        PtyPeer pty;
        bind(pty.path(), {kLong, kLong, kLong}, &pty);
        QSignalSpy frames(m_conn, &USBtinConnector::can_message_ready);
        for (int cut = 0; cut < kAdapterStream.size(); ++cut) {
            const uint64_t before = m_conn->rxBytesCount();
            QVERIFY(pty.write(kAdapterStream.left(cut)));
            QTRY_COMPARE(m_conn->rxBytesCount(), before + uint64_t(cut));
            QVERIFY(pty.write(kAdapterStream.mid(cut)));
            QTRY_COMPARE(m_conn->rxBytesCount(), before + uint64_t(kAdapterStream.size()));
            QStringList texts;
            for (const auto &args : frames)
                texts << describe(args.at(0).value<can_message>());
            frames.clear();
            QCOMPARE(texts, kAdapterFrames);
        }
        // Four are single-frame messages for the engine, 0x061 one of 0x1234 from 3 to 1.
        QCOMPARE(m_messages.size(), 4 * kAdapterStream.size());
        QCOMPARE(m_messages.at(1), qMakePair(uint16_t(0x1234), bytes({0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF})));

        DiagnosticCapture log(true);
        pty.close();
        QTRY_COMPARE(int(m_conn->state), int(HW::HW_ERROR));
        const int said = log.texts(QtCriticalMsg, "An resource error occurred on  ").size() +
                         log.texts(QtCriticalMsg, "An I/O error occurred while reading").size();
        QVERIFY(said >= 1 && said <= 2);
    }

    // A frame leaves only once the one before is acknowledged or its wait ran
    // out; the send itself returns at once with every frame queued. A frame
    // from the bus read together with the acknowledgement reaches the engine
    // after the next frame has left.
    void acknowledgements_data() {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<bool>("late");
        QTest::addColumn<int>("ackTimeout");
        QTest::newRow("on time") << QByteArray("z\r") << false << kLong;
        QTest::newRow("late") << QByteArray("z\r") << true << kLong;
        QTest::newRow("never") << QByteArray() << false << 20;
        QTest::newRow("frame in front") << QByteArray("t0232AB01\rz\r") << false << kLong;
    }
    void acknowledgements() {
        QFETCH(QByteArray, answer);
        QFETCH(bool, late);
        QFETCH(int, ackTimeout);
        PtyPeer pty;
        bind(pty.path(), {ackTimeout, kLong, kLong}, &pty);
        int fromBus = 0, nextAlreadyOut = 0;
        m_engine->setMessageHandler([&](const corvid_message *) {
            ++fromBus;
            nextAlreadyOut += pty.received().isEmpty() ? 0 : 1;
        });
        corvid_message m = corvid_message_over(0x0102, 3, 1, kTwenty);
        QCOMPARE(m_conn->sendCorvidMessage(&m), int64_t(20));
        QCOMPARE(m_conn->sendCorvidMessage(&m), int64_t(20));
        QCOMPARE(m_conn->queuedLines(), 8);
        const QList<QByteArray> lines = QByteArray(kTwentyLines + kTwentyLines).split('\r').mid(0, 8);
        for (int i = 0; i < lines.size(); ++i) {
            QCOMPARE(pty.take(lines.at(i).size() + 1), lines.at(i) + '\r');
            if (ackTimeout == kLong) {
                // Unanswered, the frame holds back all behind it.
                QCOMPARE(m_conn->pendingAcks(), 1);
                QCOMPARE(m_conn->queuedLines(), lines.size() - i);
                if (late) {  // other traffic first, then the answer
                    QVERIFY(pty.write("v01" + QByteArray::number(i % 10) + "0\r"));
                    QTRY_COMPARE(m_conn->firmwareVersion(), "01" + QString::number(i % 10) + "0");
                    QCOMPARE(m_conn->queuedLines(), lines.size() - i);
                    QVERIFY(pty.received().isEmpty());
                }
            }
            QVERIFY(pty.write(answer));
        }
        QTRY_COMPARE(m_conn->queuedLines(), 0);
        QCOMPARE(m_conn->pendingAcks(), 0);
        QVERIFY(pty.received().isEmpty());
        QCOMPARE(m_conn->txBytesCount(), uint64_t(9 + 2 * 80));
        const bool frames = answer.startsWith('t');
        QTRY_COMPARE(fromBus, frames ? lines.size() : 0);
        QCOMPARE(nextAlreadyOut, frames ? lines.size() - 1 : 0);
    }

    // Unanswered frames wait in a queue bounded by the engine's budget: the
    // send that would pass it fails whole, with a diagnostic.
    void queueIsBounded() {
        PtyPeer pty;
        bind(pty.path(), {kLong, kLong, kLong}, &pty);
        const QByteArray data(65533, '\x5A'), four = data.left(4);
        corvid_message m = corvid_message_over(7, 3, 1, data), small = corvid_message_over(7, 3, 1, four);
        DiagnosticCapture log(true);
        // 180240 line bytes each (header 18, 8192 data frames of 6 + 2 per byte).
        for (int i = 0; i < 5; ++i)
            QCOMPARE(m_conn->sendCorvidMessage(&m), int64_t(65533));
        QCOMPARE(m_conn->queuedBytes(), int64_t(5 * 180240));
        QCOMPARE(m_conn->sendCorvidMessage(&m), int64_t(-1));
        const QString full = "Transmit queue of port " + pty.path() + " is full (901200 bytes waiting)";
        QCOMPARE(log.texts(QtCriticalMsg, full).size(), 1);
        QCOMPARE(m_conn->sendCorvidMessage(&small), int64_t(4));  // small messages still fit beside them
    }

    // Six unanswered polls re-initialise the link; answered, it stays ready.
    void watchdog() {
        Sim sim;
        QVERIFY(sim.start({"--no-bus", "--trace", "--mute-watchdog"}));
        DiagnosticCapture log(true);
        bind(sim.path, {kLong, 10, 10});
        QSignalSpy states(m_conn, &HW::stateChanges);
        QTRY_COMPARE_WITH_TIMEOUT(log.count(QtWarningMsg, "handleTimeoutNoAck: Reinit!"), 1, 10000);
        sim.proc.write("unmute\n");
        QTRY_VERIFY(sim.lines.size() >= 14);
        QCOMPARE(sim.lines.mid(0, 14).join(' '),
                 QStringLiteral("< V < v < S8 < O < V < V < V < V < V < V < V < v < S8 < O"));
        QTRY_COMPARE(states.size(), 2);  // ready once the adapter answers again
        QCOMPARE(states.at(0).at(0).value<HW::HWState>(), HW::HW_ERROR);
        QCOMPARE(states.at(1).at(0).value<HW::HWState>(), HW::HW_READY);
        // Answered polls from here on: twenty more and still no second reinit.
        const int polls = sim.lines.count("< V");
        QTRY_VERIFY_WITH_TIMEOUT(sim.lines.count("< V") >= polls + 20, 20000);
        QCOMPARE(log.count(QtWarningMsg, "handleTimeoutNoAck: Reinit!"), 1);
        QCOMPARE(int(m_conn->state), int(HW::HW_READY));
        QCOMPARE(int(m_conn->deviceKind()), int(USBtinConnector::HW_DevSRXsniffer));
    }

    // With a window, a missing adapter is told once, until a link opens.
    void noAdapterNotice() {
        RecordingPrompt prompt;
        QTemporaryDir dir;
        const QString missing = dir.filePath(QStringLiteral("adapter"));
        bind(missing, {kLong, kLong, kLong});
        m_conn->HW_init();  // still shown: not again
        QCOMPARE(prompt.noAdapter, QStringList{"No CAN adapters found. Connection failed."});
        PtyPeer pty;
        QVERIFY(QFile::link(pty.path(), missing));
        m_conn->HW_init();
        QVERIFY(m_conn->awaitingDevice());
        QCOMPARE(prompt.closedNotices, QList<int>{1});
    }

    // Two long messages, standard and extended, back to back whole and in order.
    void throughSimulatedAdapter_data() {
        QTest::addColumn<QStringList>("options");
        QTest::newRow("plain") << QStringList{};
        QTest::newRow("noise, split, late") << QStringList{"--noise", "--split", "--lower-hex", "--ack", "late",
                                                           "--ack-delay", "5"};
    }
    void throughSimulatedAdapter() {
        QFETCH(QStringList, options);
        Peer bus;
        QTRY_COMPARE(bus.dev->state(), QCanBusDevice::ConnectedState);
        Sim sim;
        QVERIFY(sim.start(options));
        bind(sim.path, {500, kLong, kLong});
        QTRY_COMPARE(m_conn->queuedLines(), 0);
        const QByteArray a = reference_pattern(1024, 1), b = reference_pattern(1000, 2);
        corvid_message ma = corvid_message_over(0x0A0A, 3, 1, a), mb = corvid_message_over(0x0B0B, 40, 1, b);
        QCOMPARE(m_conn->sendCorvidMessage(&ma), int64_t(1024));
        QCOMPARE(m_conn->sendCorvidMessage(&mb), int64_t(1000));
        const QStringList expected =
            frameTexts(longMessage(false, 3u << 5 | 1u, 0x0A0A, a) + longMessage(true, 40u << 14 | 1u, 0x0B0B, b));
        QTRY_COMPARE_WITH_TIMEOUT(bus.frames.size(), expected.size(), 20000);
        QCOMPARE(frameTexts(bus.frames), expected);
        m_engine->deinit();
        QCOMPARE(sim.stop(), 0);
    }

    // The hub rebuilds a lost adapter's link once a new one appears behind
    // the same path, and every message then travels exactly once.
    void serverRebuildsLostAdapter() {
        Peer bus;
        QTRY_COMPARE(bus.dev->state(), QCanBusDevice::ConnectedState);
        ServerRun server;
        const QString link = server.path(QStringLiteral("adapter"));
        const uint16_t port = freePort();
        QVERIFY(server.configure({{"Interface", "UsbTin"}, {"USBtinPortName", link}, {"DisableGUI", "1"},
                                  {"TcpPort", QString::number(port)}, {"ErrorLogFile", "server_logs/error_log"}}));
        auto count = [&](const QString &text) { return server.errorLog().count(text); };
        auto lost = [&] {
            return count("An resource error occurred on  ") +
                   count("An I/O error occurred while reading the data from port ");
        };
        Sim first;
        QVERIFY(first.start({"--link", link, "--hw-version", "0100"}));
        server.start();
        QVERIFY(server.waitStarted(port));
        WireClient app;
        QVERIFY(app.open(port) && app.identify("manager", false));
        QTRY_COMPARE(app.states().value(app.states().size() - 1), 2u);
        QCOMPARE(first.stop(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(lost() > 0, 15000);
        // The hub's rebuild finds no adapter and keeps trying.
        QVERIFY(server.waitForErrorLog("No serial devices available!"));
        Sim second;
        QVERIFY(second.start({"--link", link}));  // a high-speed adapter
        QTRY_VERIFY_WITH_TIMEOUT(count("High-speed CAN sniffer found") == 1, 15000);
        QCOMPARE(count("Low-speed CAN sniffer found"), 1);
        // Said once, not on every read of a dead port.
        QVERIFY2(lost() <= 2, qPrintable(QString::number(lost())));
        // The ready state reaches the application after the log line says so.
        QTRY_COMPARE(app.states().last(), 2u);
        QVERIFY(app.states().contains(0u));

        app.send(1, 0x10, 1, 2, bytes({0xAA, 0xBB}));
        const QString sent = frameText(canFrame(false, 1u << 5 | 2u, le16(0x10) + bytes({0xAA, 0xBB})));
        QTRY_VERIFY_WITH_TIMEOUT(frameTexts(bus.frames).contains(sent), 15000);
        QVERIFY(bus.dev->writeFrame(canFrame(false, 2u << 5 | 1u, le16(0x21) + "a")));
        QVERIFY(bus.dev->writeFrame(canFrame(false, 2u << 5 | 1u, le16(0x22) + "b")));
        QTRY_VERIFY_WITH_TIMEOUT(!app.messages().isEmpty() && app.messages().last().id == 0x22, 15000);
        QCOMPARE(app.messages().size(), 3);  // the echo, then each from the bus once
        QCOMPARE(frameTexts(bus.frames).count(sent), 1);
        QCOMPARE(server.stop(), 0);
        QCOMPARE(server.diagnosticCount("reconnect"), 2);  // opened once per adapter
    }
};

QTEST_GUILESS_MAIN(tst_usbtin)
#include "tst_usbtin.moc"
