// The message log against real files on disk, with real pool threads.

#include "engine/corvid_types.h"
#include "log/CorvidLog.h"
#include "log/LogWorker.h"
#include "log/corvid_log_format.h"
#include "tests/common/diagnostic_capture.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QtTest>

namespace {

const char kHeader[] = "Date and Time[ms]; Stamp; Direction[In, Out, Undefined]; Source; Destination; "
                       "Message Id; Length; Status for Tx; Data;";
const QString kStamp = QStringLiteral("\\d\\d_\\d\\d_\\d\\dT\\d\\d-\\d\\d-\\d\\d-\\d\\d\\d\\.csv$");

struct Msg {
    uint16_t id = 0, from = 0, to = 0;
    QByteArray data;
    quint64 stamp = 0;
    bool out = false;
    uint32_t status = 0;
};

// Hands the message over from a buffer that is spoiled right after the call,
// as the hub's buffers may be.
void send(CorvidLog &log, const Msg &m, const AX25Header *hdr = nullptr)
{
    QByteArray buf(m.data.constData(), m.data.size());
    corvid_message cm;
    cm.msg_id = m.id;
    cm.address_from = m.from;
    cm.address_to = m.to;
    cm.length = uint16_t(buf.size());
    cm.data = buf.isEmpty() ? nullptr : reinterpret_cast<uint8_t *>(buf.data());
    log.slotAppendCorvidToLog(cm, m.stamp, m.out, m.status, hdr ? AX25HeaderOpt(*hdr) : AX25HeaderOpt());
    buf.fill('\x5a');
}

// The file's lines with the header and time fields checked and cut off
// (a bad one shows up as a mismatch); "<unterminated>" for a cut last line.
QStringList tails(const QString &path)
{
    static const QRegularExpression re(QStringLiteral("^\\d\\d_\\d\\d_\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d;(.*)$"));
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    const QString all = QString::fromLatin1(f.readAll());
    if (!all.isEmpty() && !all.endsWith(QLatin1Char('\n')))
        return {QStringLiteral("<unterminated>")};
    QStringList out = all.split(QLatin1Char('\n'));
    out.removeLast();
    for (int i = 0; i < out.size(); ++i) {
        const auto m = re.match(out[i]);
        out[i] = i == 0 ? (out[0] == QLatin1String(kHeader) ? QStringLiteral("<header>") : QStringLiteral("<bad header>"))
                        : m.hasMatch() ? m.captured(1) : QStringLiteral("<bad time> ") + out[i];
    }
    return out;
}

// The lines after their time field, built independently of the log's code.
QStringList expected(const QVector<Msg> &msgs)
{
    QStringList out{QStringLiteral("<header>")};
    for (const Msg &m : msgs) {
        QString s = QString::asprintf("%llu;%s;%X;%X;%4X;%d;%s;", static_cast<unsigned long long>(m.stamp),
                                      m.out ? "O" : "I", m.from, m.to, m.id, int(m.data.size()),
                                      m.out ? (m.status == 1 ? "OK" : "ERR") : "");
        for (const char c : m.data)
            s += QString::asprintf("%02x", unsigned(uint8_t(c)));
        out << s;
    }
    return out;
}

QStringList csvFiles(const QString &dir)
{
    return QDir(dir).entryList({QStringLiteral("*.csv")}, QDir::Files, QDir::Name);
}

AX25Header headerWith(const QByteArray &callsign, uint8_t pad = 0x40)
{
    AX25Header h;
    for (int i = 0; i < 6; ++i) {
        h.src_callsign[i] = i < callsign.size() ? uint8_t(callsign[i] << 1) : pad;
        h.dest_callsign[i] = uint8_t('Z' << 1);
    }
    h.src_ssid = 0x61;
    return h;
}

QVector<Msg> mixedSequence(int n)
{
    QVector<Msg> v;
    for (int i = 0; i < n; ++i)
        v << Msg{uint16_t(i * 37 % 0x10000), uint16_t(i % 3 == 0 ? 0x1 : 0x2B0 + i), uint16_t(0xFFFF - i),
                 QByteArray(i % 5 == 0 ? 0 : (i * 13) % 1000, char(i)), quint64(i) * 1000003ull, i % 2 == 1,
                 uint32_t(i % 4)};
    return v;
}

}  // namespace

class TstLog : public QObject
{
    Q_OBJECT
private slots:
    void lineFormat();
    void directCallsignFiles();
    void directCallsignFlood();
    void workerManyThreadsOrdered();
    void openFailures();
};

void TstLog::lineFormat()
{
    const QDateTime t(QDate(2026, 12, 5), QTime(15, 16, 17, 89), Qt::UTC);
    uint8_t d[] = {0x0A, 0xFF};
    corvid_message m{0x1A, 0x2b, 0x100, 2, d};
    const QString at = QStringLiteral("26_12_05 15:16:17.089;");
    QCOMPARE(corvid_log_line(m, 42, false, 1, t), at + QStringLiteral("42;I;2B;100;  1A;2;;0aff\n"));
    QCOMPARE(corvid_log_line(m, 42, true, 1, t), at + QStringLiteral("42;O;2B;100;  1A;2;OK;0aff\n"));
    QCOMPARE(corvid_log_line(m, 42, true, 2, t), at + QStringLiteral("42;O;2B;100;  1A;2;ERR;0aff\n"));
    // A local time is written as UTC; no data gives nothing after the last semicolon.
    m = corvid_message{0xfff1, 0, 0xffff, 0, nullptr};
    QCOMPARE(corvid_log_line(m, 18446744073709551615ull, false, 0, t.toOffsetFromUtc(3600)),
             at + QStringLiteral("18446744073709551615;I;0;FFFF;FFF1;0;;\n"));
}

void TstLog::directCallsignFiles()
{
    QTemporaryDir dir;
    DiagnosticCapture cap;
    const QVector<Msg> msgs = mixedSequence(11);
    // The source field is read, not the destination; the SSID is not part of it,
    // even when it looks like a letter; padding may be blanks or zero bytes.
    AX25Header n0call = headerWith("N0CALL");
    n0call.src_ssid = uint8_t('X' << 1);
    const AX25Header ab = headerWith("AB", 0x00), empty = headerWith(""), slash = headerWith("AB/CD"),
                     up = headerWith("../x"), control = headerWith("A\nB\x7f");
    {
        CorvidLog log(dir.path(), true, 0);
        QVERIFY(csvFiles(dir.path()).isEmpty());  // no file before the first message
        send(log, msgs[0]);
        // The line reaches the disk with a flush-timer tick, the log still alive.
        QTRY_COMPARE(tails(log.fileName()), expected({msgs[0]}));
        // A message without a callsign goes to the file that is open.
        const AX25Header *hdrs[] = {&n0call, &n0call, &ab, nullptr, &empty, nullptr, &slash, &up, nullptr, &control};
        for (int i = 1; i < msgs.size(); ++i)
            send(log, msgs[i], hdrs[i - 1]);
    }
    // A callsign from the air names a file in letters, digits and '-' only.
    QStringList got;
    for (const QString &f : csvFiles(dir.path())) {
        const auto m = QRegularExpression(QStringLiteral("^HistoryLogServer(_[A-Za-z0-9_-]+_|)") + kStamp).match(f);
        QVERIFY2(m.hasMatch(), qPrintable(f));
        got << m.captured(1) + tails(dir.path() + QLatin1Char('/') + f).join(QLatin1Char('|'));
    }
    const auto file = [](const QString &prefix, const QVector<Msg> &in) -> QString {
        return prefix + expected(in).join(QLatin1Char('|'));
    };
    QStringList want{file({}, {msgs[0]}), file("_N0CALL_", {msgs[1], msgs[2]}),
                     file("_AB_", {msgs[3], msgs[4], msgs[5], msgs[6]}), file("_AB_CD_", {msgs[7]}),
                     file("____x_", {msgs[8], msgs[9]}), file("_A_B__", {msgs[10]})};
    got.sort();
    want.sort();
    QCOMPARE(got, want);
    QCOMPARE(cap.texts(), QStringList({"Callsign changed: N0CALL", "Callsign changed: AB", "Callsign changed: AB/CD",
                                       "Callsign changed: ../x", "Callsign changed: A\nB\x7f"}));
}

uint64_t g_nowMs = 0;

void TstLog::directCallsignFlood()
{
    QTemporaryDir dir;
    DiagnosticCapture cap;
    const int share = CorvidLog::kCallsignFilesPerHour;
    const QVector<Msg> msgs = mixedSequence(share + 6);
    QStringList changed;
    g_nowMs = 1000;
    {
        CorvidLog log(dir.path(), true, 0);
        log.setClock([] { return g_nowMs; });
        const auto sendAs = [&log](const Msg &m, const QByteArray &call) {
            const AX25Header h = headerWith(call);
            send(log, m, &h);
        };
        // A callsign a message: this hour's share of files, each with its message.
        for (int i = 0; i < share; ++i) {
            const QByteArray call = "C" + QByteArray::number(i);
            sendAs(msgs[i], call);
            changed << QStringLiteral("Callsign changed: ") + call;
            g_nowMs += 59 * 1000;
        }
        // Then every callsign, and none, shares one file till the hour is over.
        sendAs(msgs[share], "X1");
        send(log, msgs[share + 1]);
        sendAs(msgs[share + 2], "X2");
        sendAs(msgs[share + 3], "C0");
        g_nowMs = 1000 + 3600 * 1000;
        sendAs(msgs[share + 4], "Y1");
        send(log, msgs[share + 5]);
        changed << QStringLiteral("Callsign changed: Y1");
    }
    QMap<QString, QString> got;  // callsign in the name -> lines
    for (const QString &f : csvFiles(dir.path())) {
        // Every file is one of the server's, which LogKeepDays may delete.
        QVERIFY2(corvid_log_file_pattern().match(f).hasMatch(), qPrintable(f));
        const QString call = f.section(QLatin1Char('_'), 1, 1);
        QVERIFY2(!got.contains(call), qPrintable(f));
        got[call] = tails(dir.path() + QLatin1Char('/') + f).join(QLatin1Char('|'));
    }
    QCOMPARE(got.size(), share + 2);
    for (int i = 0; i < share; ++i)
        QCOMPARE(got.value(QStringLiteral("C%1").arg(i)), expected({msgs[i]}).join(QLatin1Char('|')));
    QCOMPARE(got.value(CorvidLog::mixedCallsign()),
             expected({msgs[share], msgs[share + 1], msgs[share + 2], msgs[share + 3]}).join(QLatin1Char('|')));
    QCOMPARE(got.value(QStringLiteral("Y1")), expected({msgs[share + 4], msgs[share + 5]}).join(QLatin1Char('|')));
    QCOMPARE(cap.texts(QtInfoMsg), changed);
    const QStringList flood = cap.criticals();
    QCOMPARE(flood.size(), 1);
    QVERIFY2(flood[0].startsWith(QStringLiteral("Message log: the callsign changed %1 times within an hour; until "
                                                "the hour is over, messages of every callsign go to ")
                                     .arg(share)) &&
                 flood[0].contains(QStringLiteral("_mixed_")),
             qPrintable(flood[0]));
}

void TstLog::workerManyThreadsOrdered()
{
    // Many pool threads taking turns.
    QThreadPool *pool = QThreadPool::globalInstance();
    const auto restore = qScopeGuard([pool, max = pool->maxThreadCount()] { pool->setMaxThreadCount(max); });
    pool->setMaxThreadCount(8);
    QTemporaryDir dir;
    QVector<Msg> msgs;
    for (int i = 0; i < 20000; ++i)
        msgs << Msg{uint16_t(i), 0x10, 0x20, QByteArray(i % 17, char('a' + i % 26)), quint64(i), i % 3 == 0, 1};
    DiagnosticCapture cap;
    const AX25Header h = headerWith("N0CALL");  // plays no part in worker mode
    QString path;
    {
        CorvidLog log(dir.path(), true, 8);
        path = log.fileName();
        QVERIFY2(QRegularExpression(QStringLiteral("/HistoryLogServer") + kStamp).match(path).hasMatch(),
                 qPrintable(path));
        QTRY_COMPARE(tails(path), expected({}));  // the header is written at start
        for (int i = 0; i < msgs.size(); ++i) {
            send(log, msgs[i], i % 2 ? &h : nullptr);
            // Let runs end now and then, so that new ones start on other threads.
            if (i % 97 == 0)
                QThread::usleep(200);
        }
        // All of it arrives through the pool, with the log still alive.
        QTRY_COMPARE_WITH_TIMEOUT(tails(path).size(), msgs.size() + 1, 60000);
        QCOMPARE(tails(path), expected(msgs));
    }
    pool->waitForDone();
    QCOMPARE(tails(path), expected(msgs));
    QCOMPARE(csvFiles(dir.path()).size(), 1);
    QCOMPARE(cap.count(), 0);
}

void TstLog::openFailures()
{
    const QVector<Msg> msgs = mixedSequence(3);
    // The operator hears of a worker's failure from the main thread only.
    QStringList notices;
    LogWorker::setLaunchErrorHandler([&notices](const QString &text) {
        notices << (QThread::currentThread() == qApp->thread() ? text : QStringLiteral("off the main thread"));
    });
    const auto resetHandler = qScopeGuard([] { LogWorker::setLaunchErrorHandler({}); });
    for (const uint32_t threads : {0u, 2u}) {
        notices.clear();
        QTemporaryDir dir;
        const QString base = dir.path() + QStringLiteral("/not/yet");
        DiagnosticCapture cap;
        QString path;
        {
            CorvidLog log(base, true, threads);
            path = log.fileName();
            // Said at once, then not again while it stays broken.
            const QStringList said{threads ? "Corvid Messages log file creation failed: " + path
                : QStringLiteral("Message log folder %1 cannot be used: it does not exist").arg(base)};
            QCOMPARE(cap.criticals(), said);
            send(log, msgs[0]);  // dropped: there is still no directory
            QThreadPool::globalInstance()->waitForDone();
            QCOMPARE(cap.criticals(), said);
            QCOMPARE(notices, threads ? QStringList{QStringLiteral("Cannot create corvid log file.")} : QStringList());

            QVERIFY(QDir().mkpath(base));
            send(log, msgs[1]);
            send(log, msgs[2]);
            QThreadPool::globalInstance()->waitForDone();
            path = log.fileName();
            QCOMPARE(cap.criticals(), said);
            QCOMPARE(cap.texts(QtInfoMsg), QStringList{"Message log is written again: " + path});
            QTRY_COMPARE(tails(path), expected({msgs[1], msgs[2]}));
        }
        QCOMPARE(csvFiles(base), QStringList{QFileInfo(path).fileName()});
        QCOMPARE(tails(path), expected({msgs[1], msgs[2]}));
    }
}

QTEST_GUILESS_MAIN(TstLog)
#include "tst_log.moc"
