// The message log against real files on disk, with real pool threads.

#include "engine/corvid_types.h"
#include "log/CorvidLog.h"
#include "log/LogWorker.h"
#include "log/corvid_log_format.h"
#include "tests/common/diagnostic_capture.h"

#include <QDir>
#include <QFile>
#include <QMutex>
#include <QRegularExpression>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QtTest>

#include <memory>

namespace {

const char kHeader[] = "Date and Time[ms]; Stamp; Direction[In, Out, Undefined]; Source; Destination; "
                       "Message Id; Length; Status for Tx; Data;";

struct Msg {
    uint16_t id = 0;
    uint16_t from = 0;
    uint16_t to = 0;
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

// The line after its time field, built independently of the log's code.
QString expectedTail(const Msg &m)
{
    QString s = QString::asprintf("%llu;%s;%X;%X;%4X;%d;%s;", static_cast<unsigned long long>(m.stamp),
                                  m.out ? "O" : "I", m.from, m.to, m.id, int(m.data.size()),
                                  m.out ? (m.status == 1 ? "OK" : "ERR") : "");
    for (const char c : m.data)
        s += QString::asprintf("%02x", unsigned(uint8_t(c)));
    return s;
}

QStringList readLines(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    const QString all = QString::fromLatin1(f.readAll());
    if (!all.isEmpty() && !all.endsWith(QLatin1Char('\n')))
        return {QStringLiteral("<unterminated last line>")};
    QStringList lines = all.split(QLatin1Char('\n'));
    lines.removeLast();
    return lines;
}

// Header check plus the lines without their time field; a bad time field
// shows up as a mismatch.
QStringList tails(const QStringList &lines)
{
    static const QRegularExpression re(QStringLiteral("^\\d\\d_\\d\\d_\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d;(.*)$"));
    QStringList out;
    for (int i = 0; i < lines.size(); ++i) {
        if (i == 0) {
            out << (lines[0] == QLatin1String(kHeader) ? QStringLiteral("<header>") : QStringLiteral("<bad header>"));
            continue;
        }
        const auto m = re.match(lines[i]);
        out << (m.hasMatch() ? m.captured(1) : QStringLiteral("<bad time> ") + lines[i]);
    }
    return out;
}

QStringList expectedTails(const QVector<Msg> &msgs)
{
    QStringList out{QStringLiteral("<header>")};
    for (const Msg &m : msgs)
        out << expectedTail(m);
    return out;
}

QStringList csvFiles(const QString &dir)
{
    return QDir(dir).entryList({QStringLiteral("*.csv")}, QDir::Files, QDir::Name);
}

AX25Header headerWith(const QByteArray &callsign, uint8_t pad = 0x40)
{
    AX25Header h;
    for (int i = 0; i < 6; ++i)
        h.src_callsign[i] = i < callsign.size() ? uint8_t(callsign[i] << 1) : pad;
    h.src_ssid = 0x61;
    for (int i = 0; i < 6; ++i)
        h.dest_callsign[i] = uint8_t('Z' << 1);
    return h;
}

QVector<Msg> mixedSequence(int n)
{
    QVector<Msg> v;
    for (int i = 0; i < n; ++i) {
        Msg m;
        m.id = uint16_t(i * 37 % 0x10000);
        m.from = uint16_t(i % 3 == 0 ? 0x1 : 0x2B0 + i);
        m.to = uint16_t(0xFFFF - i);
        m.data = QByteArray(i % 5 == 0 ? 0 : (i * 13) % 1000, char(i));
        m.stamp = quint64(i) * 1000003ull;
        m.out = i % 2 == 1;
        m.status = uint32_t(i % 4);
        v << m;
    }
    return v;
}

QString diag(QtMsgType type, const QString &text)
{
    return QString::number(int(type)) + QLatin1Char('|') + text;
}

// Collects the diagnostics of the code under test as "type|text".
struct DiagCapture : DiagnosticCapture {
    QStringList all() const
    {
        QStringList out;
        for (const Entry &e : entries())
            out << diag(e.type, e.text);
        return out;
    }
};

}  // namespace

class TstLog : public QObject
{
    Q_OBJECT
private slots:
    void lineFormat();
    void callsignAndStamp();
    void disabledWritesNothing();
    void directFirstFileAndTimerFlush();
    void directCallsignFiles();
    void workerHeaderAtStart();
    void bothModesIdentical();
    void workerManyThreadsOrdered();
    void workerPoolBusy();
    void destroyFlushesEverything();
    void openFailures();
};

void TstLog::lineFormat()
{
    const QDateTime t(QDate(2026, 12, 5), QTime(15, 16, 17, 89), Qt::UTC);
    const uint8_t d[] = {0x0A, 0xFF};
    corvid_message m;
    m.msg_id = 0x1A;
    m.address_from = 0x2b;
    m.address_to = 0x100;
    m.length = 2;
    m.data = const_cast<uint8_t *>(d);

    QCOMPARE(corvid_log_line(m, 42, false, 1, t), QStringLiteral("26_12_05 15:16:17.089;42;I;2B;100;  1A;2;;0aff\n"));
    QCOMPARE(corvid_log_line(m, 42, true, 1, t), QStringLiteral("26_12_05 15:16:17.089;42;O;2B;100;  1A;2;OK;0aff\n"));
    QCOMPARE(corvid_log_line(m, 42, true, 0, t), QStringLiteral("26_12_05 15:16:17.089;42;O;2B;100;  1A;2;ERR;0aff\n"));
    QCOMPARE(corvid_log_line(m, 42, true, 2, t), QStringLiteral("26_12_05 15:16:17.089;42;O;2B;100;  1A;2;ERR;0aff\n"));

    // A local time is written as UTC; no data gives nothing after the last semicolon.
    m.msg_id = 0xfff1;
    m.address_from = 0;
    m.address_to = 0xffff;
    m.length = 0;
    m.data = nullptr;
    const QDateTime local = t.toOffsetFromUtc(3600);
    QCOMPARE(corvid_log_line(m, 18446744073709551615ull, false, 0, local),
             QStringLiteral("26_12_05 15:16:17.089;18446744073709551615;I;0;FFFF;FFF1;0;;\n"));
    m.msg_id = 5;
    QCOMPARE(corvid_log_line(m, 0, false, 0, t), QStringLiteral("26_12_05 15:16:17.089;0;I;0;FFFF;   5;0;;\n"));

    QCOMPARE(corvid_log_header() + QString(), QString::fromLatin1(kHeader) + QLatin1Char('\n'));
}

void TstLog::callsignAndStamp()
{
    QCOMPARE(corvid_log_callsign(nullptr), QString());
    AX25Header h = headerWith("N0CALL");
    QCOMPARE(corvid_log_callsign(&h), QStringLiteral("N0CALL"));
    h = headerWith("AB");
    QCOMPARE(corvid_log_callsign(&h), QStringLiteral("AB"));
    h = headerWith("AB", 0x00);
    QCOMPARE(corvid_log_callsign(&h), QStringLiteral("AB"));
    h = headerWith("");
    QCOMPARE(corvid_log_callsign(&h), QString());
    // The source field is read, not the destination, and the SSID is not part of it.
    h = headerWith("K1ABCD");
    h.src_ssid = uint8_t('X' << 1);
    QCOMPARE(corvid_log_callsign(&h), QStringLiteral("K1ABCD"));

    const QDateTime t(QDate(2026, 1, 2), QTime(3, 4, 5, 6), Qt::UTC);
    QCOMPARE(corvid_log_file_stamp(t), QStringLiteral("26_01_02T03-04-05-006"));
}

void TstLog::disabledWritesNothing()
{
    for (const uint32_t threads : {0u, 4u}) {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        {
            CorvidLog log(dir.path(), false, threads);
            AX25Header h = headerWith("N0CALL");
            const auto msgs = mixedSequence(20);
            for (const Msg &m : msgs)
                send(log, m, &h);
            QThreadPool::globalInstance()->waitForDone();
        }
        QThreadPool::globalInstance()->waitForDone();
        QVERIFY2(QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty(),
                 qPrintable(QString::number(threads)));
    }
}

void TstLog::directFirstFileAndTimerFlush()
{
    QTemporaryDir dir;
    CorvidLog log(dir.path(), true, 0);
    QVERIFY(csvFiles(dir.path()).isEmpty());  // no file before the first message

    Msg m;
    m.id = 0x1A;
    m.from = 0x5;
    m.to = 0x1;
    m.data = QByteArray("\x0a\xff", 2);
    m.stamp = 7;
    send(log, m);

    const QStringList files = csvFiles(dir.path());
    QCOMPARE(files.size(), 1);
    QVERIFY2(QRegularExpression(QStringLiteral("^HistoryLogServer\\d\\d_\\d\\d_\\d\\dT\\d\\d-\\d\\d-\\d\\d-\\d\\d\\d\\.csv$"))
                 .match(files[0]).hasMatch(),
             qPrintable(files[0]));
    QCOMPARE(log.fileName(), dir.path() + QStringLiteral("/") + files[0]);

    // The line reaches the disk with a flush-timer tick, the log still alive.
    const QString path = log.fileName();
    QTRY_COMPARE(readLines(path).size(), 2);
    QCOMPARE(tails(readLines(path)), QStringList({QStringLiteral("<header>"), QStringLiteral("7;I;5;1;  1A;2;;0aff")}));
}

void TstLog::directCallsignFiles()
{
    QTemporaryDir dir;
    DiagCapture cap;
    QVector<Msg> msgs = mixedSequence(7);
    AX25Header n0call = headerWith("N0CALL");
    AX25Header ab = headerWith("AB");
    AX25Header empty = headerWith("");
    {
        CorvidLog log(dir.path(), true, 0);
        send(log, msgs[0]);
        send(log, msgs[1], &n0call);
        send(log, msgs[2], &n0call);
        send(log, msgs[3], &ab);
        send(log, msgs[4]);
        send(log, msgs[5], &empty);  // no callsign either: same file
        send(log, msgs[6]);
    }
    const QStringList files = csvFiles(dir.path());
    QCOMPARE(files.size(), 4);

    const QString stamp = QStringLiteral("\\d\\d_\\d\\d_\\d\\dT\\d\\d-\\d\\d-\\d\\d-\\d\\d\\d\\.csv$");
    const QRegularExpression plain(QStringLiteral("^HistoryLogServer") + stamp);
    QStringList plainFiles;
    QString n0File, abFile;
    for (const QString &f : files) {
        if (plain.match(f).hasMatch())
            plainFiles << f;
        else if (QRegularExpression(QStringLiteral("^HistoryLogServer_N0CALL_") + stamp).match(f).hasMatch())
            n0File = f;
        else if (QRegularExpression(QStringLiteral("^HistoryLogServer_AB_") + stamp).match(f).hasMatch())
            abFile = f;
        else
            QFAIL(qPrintable(QStringLiteral("unexpected file ") + f));
    }
    QCOMPARE(plainFiles.size(), 2);
    QVERIFY(!n0File.isEmpty() && !abFile.isEmpty());

    auto content = [&](const QString &f) { return tails(readLines(dir.path() + QLatin1Char('/') + f)); };
    QCOMPARE(content(n0File), expectedTails({msgs[1], msgs[2]}));
    QCOMPARE(content(abFile), expectedTails({msgs[3]}));
    // Both files without a callsign survive, even when made within one millisecond.
    QSet<QString> plainContents;
    for (const QString &f : plainFiles)
        plainContents << content(f).join(QLatin1Char('\n'));
    QCOMPARE(plainContents, QSet<QString>({expectedTails({msgs[0]}).join(QLatin1Char('\n')),
                                           expectedTails({msgs[4], msgs[5], msgs[6]}).join(QLatin1Char('\n'))}));

    QCOMPARE(cap.all(), QStringList({diag(QtInfoMsg, QStringLiteral("Callsign changed: N0CALL")),
                                     diag(QtInfoMsg, QStringLiteral("Callsign changed: AB")),
                                     diag(QtInfoMsg, QStringLiteral("Callsign changed: "))}));
}

void TstLog::workerHeaderAtStart()
{
    QTemporaryDir dir;
    DiagCapture cap;
    const QVector<Msg> msgs = mixedSequence(3);
    QString path;
    {
        CorvidLog log(dir.path(), true, 2);
        path = log.fileName();
        QVERIFY2(QRegularExpression(QStringLiteral("/HistoryLogServer\\d\\d_\\d\\d_\\d\\dT\\d\\d-\\d\\d-\\d\\d-\\d\\d\\d\\.csv$"))
                     .match(path).hasMatch(),
                 qPrintable(path));
        QTRY_COMPARE(readLines(path), QStringList({QString::fromLatin1(kHeader)}));

        // The callsign plays no part in worker mode.
        AX25Header h = headerWith("N0CALL");
        send(log, msgs[0]);
        send(log, msgs[1], &h);
        send(log, msgs[2]);
        QTRY_COMPARE(tails(readLines(path)), expectedTails(msgs));
    }
    QCOMPARE(csvFiles(dir.path()).size(), 1);
    QCOMPARE(tails(readLines(path)), expectedTails(msgs));
    QVERIFY(cap.all().isEmpty());
}

void TstLog::bothModesIdentical()
{
    const QVector<Msg> msgs = mixedSequence(400);
    QStringList results;
    for (const uint32_t threads : {0u, 1u, 6u}) {
        QTemporaryDir dir;
        QString path;
        {
            CorvidLog log(dir.path(), true, threads);
            for (int i = 0; i < msgs.size(); ++i) {
                send(log, msgs[i]);
                if (i % 50 == 0)
                    QCoreApplication::processEvents();
            }
            path = log.fileName();
        }
        QCOMPARE(csvFiles(dir.path()).size(), 1);
        const QStringList t = tails(readLines(path));
        QCOMPARE(t, expectedTails(msgs));
        results << t.join(QLatin1Char('\n'));
    }
    QCOMPARE(results[0], results[1]);
    QCOMPARE(results[0], results[2]);
}

void TstLog::workerManyThreadsOrdered()
{
    QThreadPool *pool = QThreadPool::globalInstance();
    const int oldMax = pool->maxThreadCount();
    pool->setMaxThreadCount(8);

    QTemporaryDir dir;
    QVector<Msg> msgs;
    for (int i = 0; i < 20000; ++i) {
        Msg m;
        m.id = uint16_t(i);
        m.from = 0x10;
        m.to = 0x20;
        m.stamp = quint64(i);
        m.data = QByteArray(i % 17, char('a' + i % 26));
        m.out = i % 3 == 0;
        m.status = 1;
        msgs << m;
    }
    QString path;
    {
        CorvidLog log(dir.path(), true, 8);
        path = log.fileName();
        for (int i = 0; i < msgs.size(); ++i) {
            send(log, msgs[i]);
            // Let runs end now and then, so that new ones start on other threads.
            if (i % 97 == 0)
                QThread::usleep(200);
        }
        // All of it arrives through the pool, with the log still alive.
        QTRY_COMPARE_WITH_TIMEOUT(readLines(path).size(), msgs.size() + 1, 60000);
    }
    const QStringList lines = readLines(path);
    QCOMPARE(lines.size(), msgs.size() + 1);
    QCOMPARE(tails(lines), expectedTails(msgs));
    pool->setMaxThreadCount(oldMax);
}

void TstLog::workerPoolBusy()
{
    // Every pool thread is taken, so no run can start when the lines come in.
    QThreadPool *pool = QThreadPool::globalInstance();
    const int oldMax = pool->maxThreadCount();
    pool->setMaxThreadCount(2);
    QSemaphore started, release;
    for (int i = 0; i < 2; ++i)
        pool->start([&]() {
            started.release();
            release.acquire();
        });
    started.acquire(2);

    QTemporaryDir dir;
    const QVector<Msg> msgs = mixedSequence(1000);
    QString path;
    {
        CorvidLog log(dir.path(), true, 3);
        path = log.fileName();
        for (const Msg &m : msgs)
            send(log, m);
        QVERIFY(QFile::exists(path));
        release.release(2);
        QTRY_COMPARE(readLines(path).size(), msgs.size() + 1);
        QCOMPARE(tails(readLines(path)), expectedTails(msgs));
    }
    pool->waitForDone();
    QCOMPARE(tails(readLines(path)), expectedTails(msgs));
    pool->setMaxThreadCount(oldMax);
}

void TstLog::destroyFlushesEverything()
{
    const QVector<Msg> msgs = mixedSequence(3000);
    QThreadPool *pool = QThreadPool::globalInstance();
    const int oldMax = pool->maxThreadCount();
    for (const uint32_t threads : {0u, 4u}) {
        for (const bool poolBlocked : {false, true}) {
            // With the pool blocked no run can write before the log is gone.
            QSemaphore started, release;
            if (poolBlocked) {
                pool->setMaxThreadCount(1);
                pool->start([&]() {
                    started.release();
                    release.acquire();
                });
                started.acquire();
            }
            QTemporaryDir dir;
            auto log = std::make_unique<CorvidLog>(dir.path(), true, threads);
            for (const Msg &m : msgs)
                send(*log, m);
            const QString path = log->fileName();
            log.reset();  // no timer tick, no waiting for the pool
            const QStringList got = tails(readLines(path));
            release.release();
            pool->waitForDone();
            pool->setMaxThreadCount(oldMax);
            QCOMPARE(got, expectedTails(msgs));
            QCOMPARE(tails(readLines(path)), expectedTails(msgs));  // and nothing doubled afterwards
        }
    }
}

void TstLog::openFailures()
{
    const QVector<Msg> msgs = mixedSequence(3);
    {
        QTemporaryDir dir;
        const QString base = dir.path() + QStringLiteral("/not/yet");
        DiagCapture cap;
        CorvidLog log(base, true, 0);
        // Said at once, then not again while it stays broken.
        const QStringList broken{diag(QtCriticalMsg, QStringLiteral("Message log folder %1 cannot be used: it does not exist").arg(base))};
        QCOMPARE(cap.all(), broken);
        send(log, msgs[0]);
        send(log, msgs[0]);
        QCOMPARE(cap.all(), broken);
        QVERIFY(QDir().mkpath(base));
        send(log, msgs[1]);
        send(log, msgs[2]);
        const QStringList files = csvFiles(base);
        QCOMPARE(files.size(), 1);
        QCOMPARE(log.fileName(), base + QLatin1Char('/') + files[0]);
        QCOMPARE(cap.all(), broken + QStringList{diag(QtInfoMsg, QStringLiteral("Message log is written again: ") + log.fileName())});
        QTRY_COMPARE(tails(readLines(log.fileName())), expectedTails({msgs[1], msgs[2]}));
    }
    {
        QTemporaryDir dir;
        const QString base = dir.path() + QStringLiteral("/not/yet");
        DiagCapture cap;
        // The operator hears of a failure from the main thread only.
        QStringList notices;
        LogWorker::setLaunchErrorHandler([&notices](const QString &text) {
            notices << (QThread::currentThread() == qApp->thread() ? text : QStringLiteral("off the main thread"));
        });
        const auto resetHandler = qScopeGuard([] { LogWorker::setLaunchErrorHandler({}); });
        QString path;
        {
            CorvidLog log(base, true, 2);
            path = log.fileName();
            const QString failed = diag(QtCriticalMsg, QStringLiteral("Corvid Messages log file creation failed: ") + path);
            QCOMPARE(cap.all(), QStringList({failed}));
            QCOMPARE(notices, QStringList{QStringLiteral("Cannot create corvid log file.")});
            std::unique_ptr<QThread> other(QThread::create([&path] { LogWorker(path, true); }));
            other->start();
            QVERIFY(other->wait(10000));
            send(log, msgs[0]);  // dropped: there is still no directory
            send(log, msgs[0]);
            QThreadPool::globalInstance()->waitForDone();
            // One report from each worker (the operator hears of it on the main
            // thread only), none from the lines dropped since.
            QCOMPARE(notices, QStringList{QStringLiteral("Cannot create corvid log file.")});
            QCOMPARE(cap.all(), (QStringList{failed, failed}));
            QVERIFY(!QFile::exists(path));

            QVERIFY(QDir().mkpath(base));
            send(log, msgs[1]);
            send(log, msgs[2]);
            QThreadPool::globalInstance()->waitForDone();
            QCOMPARE(cap.all(), QStringList({failed, failed, diag(QtInfoMsg, QStringLiteral("Message log is written again: ") + path)}));
        }
        QCOMPARE(csvFiles(base).size(), 1);
        QCOMPARE(tails(readLines(path)), expectedTails({msgs[1], msgs[2]}));
    }
}

QTEST_GUILESS_MAIN(TstLog)
#include "tst_log.moc"
