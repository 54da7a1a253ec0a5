#include "config/CorvidConfigData.h"
#include "tests/common/diagnostic_capture.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

QString s(const char *text) { return QString::fromUtf8(text); }

// Parameters of the built-in file: a store that read anything holds them all.
int builtInCount() { return CorvidConfigData(CorvidConfigData::defaultConfigFile()).values().size(); }

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

// What `run` writes to the process's standard output, by way of the file `path`.
template <typename F>
QByteArray standardOutputOf(const QString &path, F run)
{
    std::fflush(stdout);
    const int saved = ::dup(1), fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(fd, 1);
    ::close(fd);
    run();
    std::fflush(stdout);
    ::dup2(saved, 1);
    ::close(saved);
    return readFile(path);
}

// The values as "name=value" lines, in the store's order.
QString listing(const CorvidConfigData &c)
{
    QString out;
    for (const QString &name : c.paramNames())
        out += name + QLatin1Char('=') + c.getParam(name) + QLatin1Char('\n');
    return out;
}

// The same without what holds the built-in default's value: what the file brought.
QString ownListing(const CorvidConfigData &c)
{
    QString out;
    for (const QString &name : c.paramNames())
        if (!CorvidConfigData::isKnownName(name) || c.getParam(name) != CorvidConfigData::builtInValue(name))
            out += name + QLatin1Char('=') + c.getParam(name) + QLatin1Char('\n');
    return out;
}

// The typed fields as one text, to compare with a hand-written one.
QString typed(const CorvidConfigData &c)
{
    return s("ver=%1 date=%2 tcp=%3 udp=%4:%5 log=%6 threads=%7 restrict=%8")
        .arg(QString::number(c.configVersion()), c.configDate().toString(Qt::ISODate), QString::number(c.tcpPort()),
             c.udpHostName(), QString::number(c.udpPort()), c.corvidLogFile(), QString::number(c.numLogThreads()),
             QString::number(c.restrictFakeSatTelemetry()));
}

QByteArray configXml(const QByteArray &parameters)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Config>\n<ConfigVer>2</ConfigVer>\n" + parameters
           + "</Config>\n";
}

QByteArray parameterXml(const QByteArray &name, const QByteArray &value, const QByteArray &desc = QByteArray())
{
    return "<Parameter><ParmName>" + name + "</ParmName><ParmDesc>" + desc + "</ParmDesc><ParmValue>" + value
           + "</ParmValue></Parameter>\n";
}

} // namespace

class TstConfig : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void defaultFileParsedFully();
    void writtenFileReadsBackEqual();
    void loadResultCodes_data();
    void loadResultCodes();
    void brokenFilesKeepWhatWasComplete();
    void parameterRulesAndTypedFields();
    void badOrMissingValuesTakeDefaults();
    void writeFailureKeepsOldFile();
    void acceptingEditedRows();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_oldCwd;
    QString path(const char *name) const { return m_dir->filePath(s(name)); }
};

void TstConfig::init()
{
    m_dir.reset(new QTemporaryDir);
    m_oldCwd = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_dir->path()));
}

void TstConfig::cleanup()
{
    QDir::setCurrent(m_oldCwd);
    m_dir.reset();
}

void TstConfig::defaultFileParsedFully()
{
    DiagnosticCapture diag;
    // No server_config.xml here: start-up falls back to the built-in file.
    QCOMPARE(CorvidConfigData::startupConfigFile(), s(":/config_filename/server_config.xml"));
    CorvidConfigData config(CorvidConfigData::startupConfigFile());
    QCOMPARE(diag.count(), 0);
    // Ascending code-unit order: upper case before lower case.
    QCOMPARE(listing(config),
             s("AGWPE_Hostname=127.0.0.1\nAGWPE_Port=8000\nCALLSIGN_BRD=Q9ZZZ\nCALLSIGN_GND=Q9ZZZ\nCC_Address=0x1\n"
               "CorvidLogDisable=0\nCorvidLogFile=server_logs/corvid_log\nDisableGUI=0\n"
               "ErrorLogFile=server_logs/error_log\nInterface=UsbTin\nKISSTCP_Hostname=127.0.0.1\n"
                "KISSTCP_Port=8001\nLogKeepDays=0\nLogRotateHours=0\nManagerHosts=\nMaxTCPClients=3\n"
                "MetricsListenAddress=127.0.0.1\nMetricsPort=0\n"
                "MqttCAFile=\nMqttCertFile=\nMqttClientId=\nMqttHost=\nMqttKeyFile=\n"
                "MqttPasswordFile=\nMqttPort=1883\nMqttQoS=1\nMqttQueueLimit=64\n"
                "MqttTopicPrefix=corvid/station\nMqttUplink=0\nMqttUsername=\n"
                "NumLogThreads=0\nSSID_BRD=1\nSSID_GND=0\n"
               "SocketCANPortName=slcan0\nTELNET_CRLF=0\nTELNET_DEBUG=0\nTELNET_Devices=0x2,0xFF\n"
               "TELNET_UHF_BUFFER=195\nTELNET_UHF_DELAY=500\nTELNET_deEsc=1\nTcpListenAddress=\nTcpPort=2323\n"
               "TelnetListenAddress=127.0.0.1\nTlsCertFile=\nTlsClientCAFile=\nTlsKeyFile=\nTlsPort=0\n"
               "USBtinPortName=/dev/ttyACM0\nUdpHostName=239.255.43.34\nUdpPortName=3434\n"));
    QCOMPARE(config.getDescription(s("TELNET_UHF_DELAY")), s("TELNET message sending to UHF delay, [ms]."));
    // 2018.08.07 is not in Qt's text date form.
    QCOMPARE(typed(config), s("ver=2 date= tcp=2323 udp=239.255.43.34:3434 log=server_logs/corvid_log threads=0 "
                              "restrict=0"));
}

void TstConfig::writtenFileReadsBackEqual()
{
    const QString file = path("written.xml");
    // Names that sort ahead of every built-in one.
    QVERIFY(writeFile(file, configXml(parameterXml("ABeta", "2", "b") + parameterXml("AAlpha", "1"))));
    CorvidConfigData config(file);
    DiagnosticCapture diag;
    QVERIFY(config.writeConfig(file));
    // Without namespace or schema, dated now, ascending by name, every field present.
    QString raw = s(readFile(file));
    raw.replace(QRegularExpression(s("<ConfigDate>\\d{4}-\\d\\d-\\d\\d_\\d\\d-\\d\\d-\\d\\d</ConfigDate>")), s("<D/>"));
    const QString head = s("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Config>\n    <ConfigVer>2</ConfigVer>\n    <D/>\n"
                           "    <Parameter>\n        <ParmName>AAlpha</ParmName>\n        <ParmDesc></ParmDesc>\n"
                           "        <ParmValue>1</ParmValue>\n    </Parameter>\n"
                           "    <Parameter>\n        <ParmName>ABeta</ParmName>\n        <ParmDesc>b</ParmDesc>\n"
                           "        <ParmValue>2</ParmValue>\n    </Parameter>\n    <Parameter>\n"
                           "        <ParmName>AGWPE_Hostname</ParmName>\n");
    QCOMPARE(raw.left(head.size()), head);
    QVERIFY(raw.endsWith(s("</Parameter>\n</Config>\n")));
    // Texts that XML must escape or that readers tend to normalise.
    config.setParam(s("Markup"), s("a<b>&c]]>\"q\"'s"), s("<desc & more>"));
    config.setParam(s("Lines"), s("one\r\ntwo\rthree\n\tfour\r"), s("\r"));
    config.setParam(s("Blanks"), s("  padded  "), s(" "));
    config.setParam(s("Unicode"), s("Gr\xC3\xBC\xC3\x9F" "e \xF0\x9F\x9B\xB0 \xE2\x82\xAC"), QString());
    QVERIFY(config.writeConfig(file));
    CorvidConfigData back(file);
    QCOMPARE(back.values(), config.values());
    QCOMPARE(back.descriptions(), config.descriptions());
    // Characters XML cannot carry are left out; the file stays readable.
    config.setParam(s("Control"), s("a\x01" "b\x1F" "c"), QString(QChar(0xD800)));
    QVERIFY(config.writeConfig(file));
    CorvidConfigData again(file);
    QCOMPARE(diag.criticals(), QStringList());
    QCOMPARE(QStringList({again.getParam(s("Control")), again.getDescription(s("Control"))}), QStringList({"abc", ""}));
}

void TstConfig::loadResultCodes_data()
{
    // content: none for no file at all, "<dir>" for a directory. criticals: patterns of
    // the first load, %1 the file, "partly:DETAIL" the notice of a partly read file. count:
    // values held, the built-in defaults for what the file lacks.
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QStringList>("criticals");
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<int>("result");
    QTest::addColumn<int>("count");
    QTest::addColumn<QString>("typed");
    const int kBuiltIn = builtInCount();
    const QString kDefault = s("ver=0 date= tcp=2323 udp=239.255.43.34:3434 log=server_logs/corvid_log threads=0 "
                               "restrict=0");
    QTest::newRow("no name") << "" << QByteArray() << QStringList{"Usage: xmlstreamlint <path to XML file>\n"}
                             << QByteArray() << -10 << kBuiltIn << kDefault;
    QTest::newRow("missing") << "missing.xml" << QByteArray() << QStringList{"File %1 does not exist\\.\n"}
                             << QByteArray() << -20 << kBuiltIn << kDefault;
    QTest::newRow("directory") << "adir" << QByteArray("<dir>")
                               << QStringList{"Failed to open file %1\\.\n", "partly:.+"} << QByteArray() << -20 << kBuiltIn
                               << kDefault;
    // A Parameter before any Config element: not a configuration file. Nothing of it is
    // stored but the version read before.
    QTest::newRow("no config element")
        << "noroot.xml"
        << "<?xml version=\"1.0\"?>\n<Settings>\n<ConfigVer>7</ConfigVer>\n" + parameterXml("TcpPort", "99")
               + "<Config/>\n</Settings>\n"
        << QStringList{"partly:line 4: a Parameter before the Config element"}
        << QByteArray("Bad file format\nBad file format\n") << -20 << kBuiltIn
        << QString(kDefault).replace(s("ver=0"), s("ver=7"));
    // Syntax error on line 5; the parameters completed before it stay, what the cut
    // left missing takes the default.
    QTest::newRow("syntax error")
        << "broken.xml"
        << QByteArray("<?xml version=\"1.0\"?>\n<Config>\n"
                      "<Parameter><ParmName>TcpPort</ParmName><ParmValue>4000</ParmValue></Parameter>\n"
                      "<Parameter><ParmName>Lost</ParmName><ParmValue>1</ParmValue></Parameter>\n"
                      "<Parameter><ParmName>Bad</ParmValue></Parameter>\n</Config>\n")
        << QStringList{"Error: .+ in file %1 at line 5, column (2[1-9]|[3-9]\\d|\\d{3,})\\.\n",
                       "partly:line 5, column \\d+: Opening and ending tag mismatch\\."}
        << QByteArray() << -30 << kBuiltIn + 1 << QString(kDefault).replace(s("2323"), s("4000"));
    QTest::newRow("empty") << "empty.xml" << QByteArray("")
                           << QStringList{"Error: .+\n", "partly:line 1, column 0: Premature end of document\\."}
                           << QByteArray() << -30 << kBuiltIn << kDefault;
    // Well-formed without parameters: fine, and the message log is not put at the root.
    QTest::newRow("bare") << "bare.xml" << configXml(QByteArray()) << QStringList() << QByteArray() << 0 << kBuiltIn
                          << QString(kDefault).replace(s("ver=0"), s("ver=2"));
}

void TstConfig::loadResultCodes()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, content);
    QFETCH(QStringList, criticals);
    QFETCH(QByteArray, out);
    QFETCH(int, result);
    QFETCH(int, count);
    QFETCH(QString, typed);
    const QString file = name.isEmpty() ? QString() : path(qPrintable(name));
    if (content == "<dir>")
        QVERIFY(QDir().mkpath(file));
    else if (!content.isNull())
        QVERIFY(writeFile(file, content));
    DiagnosticCapture diag;
    std::unique_ptr<CorvidConfigData> config;
    qint32 again = 1;
    QCOMPARE(standardOutputOf(path("stdout.txt"), [&] {
                 config.reset(new CorvidConfigData(file));
                 again = config->loadConfig(file);
             }), out);
    QCOMPARE(again, qint32(result));
    // The second load says it again, but for the notice of a partly read file.
    for (const QString &c : QStringList(criticals))
        if (!c.startsWith(QLatin1String("partly:")))
            criticals << c;
    const QStringList got = diag.criticals();
    QCOMPARE(got.size(), criticals.size());
    for (int i = 0; i < got.size(); ++i) {
        const QString pattern = criticals[i].startsWith(QLatin1String("partly:"))
            ? QRegularExpression::escape(s("The server runs on a partly read configuration (%1: ").arg(file))
                  + criticals[i].mid(7)
                  + QRegularExpression::escape(s("); the parameters it lacks take their built-in defaults"))
            : criticals[i].arg(QRegularExpression::escape(file));
        QVERIFY2(QRegularExpression(QLatin1Char('^') + pattern + QLatin1Char('$')).match(got[i]).hasMatch(),
                 qPrintable(got[i]));
    }
    QCOMPARE(config->values().size(), count);
    QCOMPARE(::typed(*config), typed);
}

void TstConfig::brokenFilesKeepWhatWasComplete()
{
    // Every value marked, to tell the values read from the built-in defaults standing in.
    const QByteArray full = readFile(CorvidConfigData::defaultConfigFile()).replace("</ParmValue>", "!</ParmValue>");
    CorvidConfigData reference(CorvidConfigData::defaultConfigFile());
    DiagnosticCapture diag;
    const int complete = full.indexOf("</Config>") + 9;
    QVERIFY(complete > 1000);
    int lastSize = 0;
    for (int cut = 0; cut <= full.size(); ++cut) {
        QBuffer buffer;
        buffer.setData(full.left(cut));
        QVERIFY(buffer.open(QIODevice::ReadOnly));
        CorvidConfigData config{s("unused-missing-file")};
        QCOMPARE(config.loadConfig(buffer, s("cut.xml")), qint32(cut >= complete ? 0 : -30));
        // Only whole parameters, each exactly as in the full file, growing with the cut.
        int read = 0;
        for (auto it = config.values().cbegin(); it != config.values().cend(); ++it) {
            read += it.value() == reference.getParam(it.key()) + QLatin1Char('!');
            if (!it.value().endsWith(QLatin1Char('!')))
                QCOMPARE(it.value(), reference.getParam(it.key()));
            QCOMPARE(config.getDescription(it.key()), reference.getDescription(it.key()));
        }
        QCOMPARE(config.values().size(), builtInCount());
        QVERIFY(read >= lastSize);
        lastSize = read;
    }
    QCOMPARE(lastSize, builtInCount());
}

void TstConfig::parameterRulesAndTypedFields()
{
    const QString file = path("rules.xml");
    const QByteArray body =
        parameterXml("numlogthreads", "1000") + parameterXml("tcpport", "5000") + parameterXml("TcpPort", "0x10")
        + parameterXml("UdpPortName", "070000") // octal 28672
        + parameterXml("Twice", "first", "d1") + parameterXml("Twice", "second", "d2")
        + "<Parameter><ParmName>Joined</ParmName><ParmValue>ab</ParmValue><ParmValue>cd</ParmValue></Parameter>\n"
          "<Parameter><!-- before --><ParmName>Com<!-- mid -->mented</ParmName>"
          "<ParmValue><![CDATA[x<y]]>&#65;&amp;</ParmValue></Parameter>\n"
        + parameterXml("RestrictFakeSatTelemetry", "012") + parameterXml("CorvidLogFile", "logs/x")
        + parameterXml("CALLSIGN_D", "x");  // as close to CALLSIGN_BRD as to CALLSIGN_GND
    QVERIFY(writeFile(file, "<?xml version=\"1.0\"?>\n<Config xmlns=\"corvid_config_schema\">\n"
                            "<ConfigVer>abc</ConfigVer><ConfigDate>Tue Aug 7 2018</ConfigDate>\n"
                            + body + "</Config>\n"));
    DiagnosticCapture diag;
    CorvidConfigData config(file);
    // Names the server does not read are named, with the one known name close to it.
    const QString unknown = s("Unknown parameter %1 in ") + file + s(" is ignored");
    QCOMPARE(diag.texts(), QStringList({s("Parameter numlogthreads has the value \"1000\", more log threads than the 16 "
                                          "the server runs; 16 are used"),
                                        unknown.arg(s("CALLSIGN_D")), unknown.arg(s("Commented")),
                                        unknown.arg(s("Joined")), unknown.arg(s("Twice")),
                                        unknown.arg(s("tcpport")) + s("; did you mean TcpPort?")}));
    // Names are case-sensitive (but for NumLogThreads); a repeated name keeps the last;
    // split text joins.
    QCOMPARE(ownListing(config), s("CALLSIGN_D=x\nCommented=x<yA&\nCorvidLogFile=logs/x\nJoined=abcd\n"
                                   "RestrictFakeSatTelemetry=012\nTcpPort=0x10\nTwice=second\nUdpPortName=070000\n"
                                   "numlogthreads=1000\ntcpport=5000\n"));
    QVERIFY(!config.hasParam(s("NumLogThreads")));
    QCOMPARE(config.getDescription(s("Twice")), s("d2"));
    QCOMPARE(typed(config), s("ver=0 date=2018-08-07 tcp=16 udp=239.255.43.34:28672 log=logs/x threads=16 restrict=10"));
}

void TstConfig::badOrMissingValuesTakeDefaults()
{
    struct Bad {
        const char *name, *value, *range, *used;
    };
    const Bad bad[] = {
        {"TcpPort", "65536", "1 to 65535", "2323"}, {"UdpPortName", "0", "1 to 65535", "3434"},
        {"NumLogThreads", "-1", "0 to 4294967295", "0"}, {"RestrictFakeSatTelemetry", "09", "0 to 255", "0"},
        {"SSID_BRD", "16", "0 to 15", "1"}, {"CC_Address", "0x4000", "0 to 16383", "0x1"},
        {"TELNET_deEsc", "yes", "0 to 1", "1"}, {"DisableGUI", "1.5", "-2147483648 to 2147483647", "0"},
        {"MqttQoS", "2", "0 to 1", "1"}, {"MqttQueueLimit", "0", "1 to 4096", "64"},
        {"MetricsPort", "65536", "0 to 65535", "0"},
    };
    QByteArray body;
    QStringList said;
    for (const Bad &b : bad) {
        body += parameterXml(b.name, b.value, "d");
        said << s("Parameter %1 has the value \"%2\", not a number from %3; the default %4 is used")
                    .arg(s(b.name), s(b.value), s(b.range), s(b.used));
    }
    // Empty or blank: the built-in default, keeping the file's description.
    body += parameterXml("UdpHostName", "", "mine") + parameterXml("Interface", " \t");
    const QString file = path("bad-number.xml");
    QVERIFY(writeFile(file, configXml(body + parameterXml("Kept", "x"))));
    DiagnosticCapture diag;
    CorvidConfigData config(file);
    QStringList got = diag.criticals();
    got.sort();
    said.sort();
    QCOMPARE(got, said);
    QCOMPARE(ownListing(config), s("Kept=x\nRestrictFakeSatTelemetry=0\n"));
    QCOMPARE(config.values().size(), builtInCount() + 2);  // besides the built-in ones
    // Absent ones too.
    QCOMPARE(QStringList({config.getParam(s("TcpPort")), config.getParam(s("UdpHostName")), config.getParam(s("Interface")),
                          config.getParam(s("TELNET_Devices")), config.getDescription(s("UdpHostName")),
                          config.getDescription(s("TcpPort")), config.getDescription(s("TELNET_UHF_DELAY"))}),
             QStringList({"2323", "239.255.43.34", "UsbTin", "0x2,0xFF", "mine", "d",
                          "TELNET message sending to UHF delay, [ms]."}));
    QCOMPARE(typed(config), s("ver=2 date= tcp=2323 udp=239.255.43.34:3434 log=server_logs/corvid_log threads=0 "
                              "restrict=0"));
}

void TstConfig::writeFailureKeepsOldFile()
{
    CorvidConfigData config(CorvidConfigData::defaultConfigFile());
    // The disk fills up halfway: the previous file must survive untouched and no
    // temporary may be left behind.
    const QString file = path("kept.xml");
    QVERIFY(config.writeConfig(file));
    const QByteArray before = readFile(file);
    config.setParam(s("Huge"), QString(200000, QLatin1Char('x')), QString());
    struct rlimit old {};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &old), 0);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = 64 * 1024;
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
    DiagnosticCapture diag;
    const bool written = config.writeConfig(file);
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    QCOMPARE(diag.criticals(), QStringList{s("Can't create file %1").arg(file)});
    QVERIFY(!written);
    QCOMPARE(readFile(file), before);
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files), QStringList{"kept.xml"});
}

void TstConfig::acceptingEditedRows()
{
    // A file of the operator's own, hand-written (its comment shows whether it was rewritten).
    const QString file = path("operator.xml");
    const QByteArray handWritten = configXml("<!-- hand -->\n" + parameterXml("Alpha", "1", "first")
                                             + parameterXml("Beta", "2", "second") + parameterXml("Gamma", "3"));
    QVERIFY(writeFile(file, handWritten));
    CorvidConfigData config(file);
    QSignalSpy spy(&config, &CorvidConfigData::paramChanged);
    // Rows as the dialog's table lists them (descending names); nothing changed.
    QCOMPARE(config.acceptEditedRows({{"Gamma", "3"}, {"Beta", "2"}, {"Alpha", "1"}}), 0);
    QCOMPARE(readFile(file), handWritten);
    // Two edits and one unknown name, which is ignored.
    QCOMPARE(config.acceptEditedRows({{"Gamma", "30"}, {"Unknown", "x"}, {"Beta", "2"}, {"Alpha", "10"}}), 2);
    QCOMPARE(spy.size(), 2);
    QCOMPARE(ownListing(CorvidConfigData(file)), s("Alpha=10\nBeta=2\nGamma=30\n"));
    QCOMPARE(CorvidConfigData(file).getDescription(s("Alpha")), s("first"));
    // A store whose file has gone away saves into the working directory.
    QVERIFY(QFile::remove(file));
    QCOMPARE(config.acceptEditedRows({{"Beta", "5"}}), 1);
    QVERIFY(!QFile::exists(file));
    QCOMPARE(ownListing(CorvidConfigData(s("server_config.xml"))), s("Alpha=10\nBeta=5\nGamma=30\n"));
}

QTEST_GUILESS_MAIN(TstConfig)
#include "tst_config.moc"
