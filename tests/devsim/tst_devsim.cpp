// The device simulator as a separate process on the virtual bus, seen from a bus device of the test's own,
// and its replay of a message log into a server program.

#include "connectors/QSocketCAN_connector.h"
#include "engine/CorvidEngine.h"
#include "tests/common/received_message.h"
#include "tests/common/server_run.h"
#include "tests/common/virtual_bus.h"
#include "tests/common/wire_client.h"
#include "tools/devsim/LogReplay.h"

#include <QProcess>
#include <QtEndian>
#include <QtTest>

namespace {

constexpr uint16_t kSim = 0x25;  // past 31: extended identifiers
constexpr uint16_t kUs = 3;
const QString kBinary = builtProgram(QStringLiteral("tools/devsim/corvid-devsim"));

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

// The I lines of a message log from the direction on: direction, addresses, id, length, status, data.
QStringList inLines(const QStringList &lines)
{
    QStringList out;
    for (const QString &l : lines)
        if (l.section(QLatin1Char(';'), 2, 2) == QLatin1String("I"))
            out << l.section(QLatin1Char(';'), 2);
    return out;
}

}  // namespace

class TestDevsim : public QObject {
    Q_OBJECT
    VirtualBusHost m_host;

private slots:
    void initTestCase()
    {
        corvid_register_metatypes();
        QVERIFY2(QFile::exists(kBinary), qPrintable(kBinary));
        QVERIFY2(m_host.start(), qPrintable(m_host.error()));
    }

    void streamArrivesWholeAndInOrder_data()
    {
        QTest::addColumn<QString>("rate");
        QTest::newRow("paced") << QStringLiteral("2000");
        // Ends while the bus plugin still holds frames: they must leave before the process.
        QTest::newRow("as fast as the bus takes it") << QStringLiteral("1000000");
    }

    void streamArrivesWholeAndInOrder()
    {
        QFETCH(QString, rate);
        QVector<ReceivedMessage> rx;
        QVector<uint16_t> errors;
        CorvidEngine engine;
        engine.setMessageHandler([&rx](const corvid_message *m) {
            rx.push_back({m->msg_id, m->address_from, m->address_to,
                          QByteArray(reinterpret_cast<const char *>(m->data), m->length)});
        });
        engine.setErrorHandler([&errors](uint16_t code) { errors.push_back(code); });
        QSocketCAN_connector bus(engine, QStringLiteral("virtualcan"), QStringLiteral("can0"));
        engine.setHardware(&bus);
        QTRY_COMPARE(bus.state, AbstractConnector::HW_READY);

        const int count = 2000;
        ChildProcess sim;
        QByteArray out;
        const QString args = QStringLiteral("--address 0x25 --rate %1 --count %2 --length 20 --to %3 --msg-id 0x77 "
                                            "--exit-when-done").arg(rate).arg(count).arg(kUs);
        QVERIFY(startUntil(sim, kBinary, args.split(' '), "joined", out));
        QVERIFY(sim.waitForFinished(20000));
        QCOMPARE(sim.exitCode(), 0);
        QVERIFY((out += sim.readAllStandardOutput()).contains("stream done, 2000 sent, 0 failed"));
        QTRY_COMPARE_WITH_TIMEOUT(rx.size(), count, 5000);
        // A sequence number (8 bytes, little-endian), then a fixed pattern: no loss, no double, no reordering.
        QByteArray pattern;
        for (int b = 8; b < 20; ++b)
            pattern += char(b * 7 + 1);
        for (int i = 0; i < count; ++i) {
            QByteArray seq(8, '\0');
            qToLittleEndian(quint64(i), seq.data());
            QCOMPARE(rx[i], (ReceivedMessage{0x77, kSim, kUs, seq + pattern}));
        }
        QVERIFY(errors.isEmpty());
    }

    void replayReadsALog()
    {
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("HistoryLogServer_Q9ZZZ_26_12_07T10-00-00-000.csv"));
        const QByteArray header = "Date and Time[ms]; Stamp; Direction[In, Out, Undefined]; Source; Destination; "
                                  "Message Id; Length; Status for Tx; Data;\n";
        QVERIFY(writeFile(file, header +
                                    "26_12_07 10:00:00.000;1;I;25;1; 200;2;;0aff\n"
                                    "26_12_07 10:00:00.500;2;O;1;25;  10;1;OK;01\n"
                                    "26_12_07 10:00:01.000;3;I;3FFF;1;FFF1;0;;\n"
                                    "garbage\n"
                                    "26_12_07 10:00:00.900;4;I;25;1; 200;1;;zz\n" + header +
                                    "26_12_07 10:00:00.800;5;I;25;1;   7;1;;00\n"
                                    "26_12_07 10:00:03.000;6;I;25;1;   7;1;;01\r\n"
                                    "26_12_07 10:00:04.000;7;I;25;1;   7;3;;0102\n"
                                    "26_12_07 10:00:05.000;8;I;25"));
        LogReplay replay(file, 2, true);
        QString error;
        QVERIFY2(replay.open(&error), qPrintable(error));
        QStringList said, got;
        replay.onMalformed = [&said](const QString &text) { said << text.section(QLatin1Char(':'), -2); };
        LogReplay::Item item;
        for (int i = 0; i < 8 && replay.next(item); ++i)
            got << QStringLiteral("%1 %2>%3 %4 @%5").arg(item.msg.msg_id, 0, 16).arg(item.msg.address_from, 0, 16)
                       .arg(item.msg.address_to, 0, 16).arg(QString::fromLatin1(item.msg.data.toHex())).arg(item.dueMs);
        // Gaps halved; one going back in time counts as none; the next pass follows at once.
        QCOMPARE(got, QStringList({"200 25>1 0aff @0", "fff1 3fff>1  @500", "7 25>1 00 @500", "7 25>1 01 @1600",
                                   "200 25>1 0aff @1600", "fff1 3fff>1  @2100", "7 25>1 00 @2100", "7 25>1 01 @3200"}));
        QCOMPARE(said.size(), 4);
        QVERIFY2(said.join('|').startsWith("5: malformed line skipped (not 9 fields)|6: malformed line skipped (data not "
                                           "hexadecimal)|10: malformed line skipped (data does not match the length)|11:"),
                 qPrintable(said.join('|')));
        QCOMPARE(replay.malformed(), uint64_t(4));
        QCOMPARE(replay.skipped(), uint64_t(2));
        QCOMPARE(replay.passes(), 2);
        // Without a message to send, a loop ends.
        QVERIFY(writeFile(file, header + "26_12_07 10:00:00.500;2;O;1;25;  10;1;OK;01\n"));
        LogReplay idle(file, 0, true);
        QVERIFY(idle.open(&error) && !idle.next(item));
    }

    // A pass recorded by one server run (worker-mode log) and replayed as fast as the bus takes it into
    // another (direct-mode log): the same I lines, in the same order.
    void replayReproducesThePass()
    {
        ServerRun first;
        const uint16_t port = freePort();
        QVERIFY(first.configure(virtualCanParams(port) + ConfigParams{{"NumLogThreads", "2"}}));
        first.start();
        QVERIFY(first.waitStarted(port));
        {
            Devsim device(kSim, {QStringLiteral("--rate"), QStringLiteral("2000"), QStringLiteral("--count"),
                                 QStringLiteral("150"), QStringLiteral("--length"), QStringLiteral("30"),
                                 QStringLiteral("--quiet")});
            QVERIFY2(device.start(), device.output.constData());
            WireClient app(port);
            QVERIFY(app.identify());
            for (int i = 0; i < 10; ++i)  // echoed by the device: an O line and an I line each
                app.send(uint32_t(i), uint16_t(0x300 + i), 1, kSim, QByteArray(i * 21, char(i)));
            QVERIFY(QTest::qWaitFor([&] { return inLines(first.csvLines()).size() == 160; }, 20000));
        }
        QCOMPARE(first.stop(), 0);
        const QStringList recorded = first.csvLines();
        QCOMPARE(inLines(recorded).size(), 160);

        // The file with malformed lines among its own.
        QStringList lines = recorded;
        lines.insert(5, QStringLiteral("26_12_07 10:00:00.000;1;I;25;1; 200;2;;0a"));
        lines.insert(50, QStringLiteral("\x01\x02"));
        lines << QString(LogReplay::kMaxLineBytes + 10, QLatin1Char('1'));
        const QString file = first.path(QStringLiteral("HistoryLogServer_Q9ZZZ_26_12_07T10-00-00-000.csv"));
        QVERIFY(writeFile(file, lines.join('\n').toLatin1() + '\n'));

        ServerRun second;
        QVERIFY(second.configure(virtualCanParams(port)));
        second.start();
        QVERIFY(second.waitStarted(port));
        ChildProcess replay;
        replay.setProcessChannelMode(QProcess::MergedChannels);
        replay.start(kBinary, {QStringLiteral("--replay"), file, QStringLiteral("--speed"), QStringLiteral("0"),
                               QStringLiteral("--quiet")});
        QVERIFY(replay.waitForFinished(30000));
        const QByteArray said = replay.readAll();
        QCOMPARE(replay.exitCode(), 0);
        QVERIFY2(said.contains(": 160 sent, 0 failed, 10 skipped (O lines), 3 malformed lines\n"), said.constData());
        for (int line : {6, 51, int(lines.size())})
            QVERIFY2(said.contains(QStringLiteral("%1:%2: malformed line skipped").arg(file).arg(line).toUtf8()),
                     said.constData());
        QVERIFY(QTest::qWaitFor([&] { return inLines(second.csvLines()).size() >= 160; }, 20000));
        QCOMPARE(inLines(second.csvLines()), inLines(recorded));
        QCOMPARE(second.stop(), 0);
    }

    void usageErrors()
    {
        for (const char *args : {"--address 0x4000", "--rate fast", "--length 65534", "--exit-when-done", "extra",
                                 "--loop", "--replay x --speed -1", "--replay x --rate 5"}) {
            ChildProcess p;
            p.start(kBinary, QString::fromLatin1(args).split(' '));
            QVERIFY(p.waitForFinished(5000));
            QCOMPARE(p.exitCode(), 2);
            QVERIFY2(p.readAllStandardError().startsWith("corvid-devsim: "), args);
        }
    }
};

QTEST_GUILESS_MAIN(TestDevsim)
#include "tst_devsim.moc"
