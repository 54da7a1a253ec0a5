#include "tools/client/ClientOptions.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QFile>
#include <QHostAddress>

QString ClientOptionsParser::helpText()
{
    return QStringLiteral(
        "Usage: corvid-client [options]\n"
        "\n"
        "Connects to a Corvid server's control port, identifies as a control\n"
        "application (Manager by default, Observer with --observer), prints every\n"
        "frame the server sends as one line on stdout, and sends bus messages given\n"
        "with --send or read from stdin with --stdin.\n"
        "\n"
        "Connection:\n"
        "  -H, --host HOST        server host name or address (default 127.0.0.1)\n"
        "  -p, --port PORT        server TCP port (default 2323)\n"
        "  -n, --name NAME        application name sent to the server, at most 32\n"
        "                         bytes (default corvid-client)\n"
        "  -o, --observer         take the Observer role: messages are only echoed to\n"
        "                         the applications, never sent to the bus\n"
        "      --app-version N    version word of the application information\n"
        "                         (default 100)\n"
        "      --connect-timeout MS\n"
        "                         give up when the connection and the server's answer\n"
        "                         to the identification take longer (default 5000)\n"
        "      --bind ADDRESS     connect from this local address (IPv4 or IPv6)\n"
        "\n"
        "TLS (for a server's TlsPort; any of --cafile, --cert and --key implies --tls):\n"
        "      --tls              speak TLS; the server's certificate must be valid\n"
        "                         for HOST\n"
        "      --cafile FILE      check the server's certificate against the CA\n"
        "                         certificates in this PEM file instead of the\n"
        "                         system's store\n"
        "      --cert FILE        present this client certificate (PEM); needs --key\n"
        "      --key FILE         the private key of --cert (unencrypted PEM)\n"
        "\n"
        "Sending (only after the server has answered the identification):\n"
        "  -s, --send MSG         send MSG; repeatable, sent in the given order before\n"
        "                         any stdin line\n"
        "  -i, --stdin            read messages from stdin, one per line; blank lines\n"
        "                         and lines starting with # are skipped\n"
        "      --inject           send each message as an injected bus message\n"
        "                         (FrameMsg2App, tag = recId) instead of a message for\n"
        "                         the bus (FrameMsg2Sat)\n"
        "\n"
        "  MSG is \"ID FROM TO [HEXDATA]\"; the fields are separated by commas and/or\n"
        "  spaces, e.g. --send 0x10,1,2,AABB or the stdin line \"0x0010 1 2 AA BB\".\n"
        "  ID, FROM and TO are 0..65535, decimal or hexadecimal with 0x. HEXDATA is\n"
        "  pairs of hex digits (groups separated by spaces are joined), at most 65535\n"
        "  bytes; without it the message has no data. Every message carries a recId\n"
        "  that starts at 1 and rises by 1 per message sent; the server returns it as\n"
        "  the tag of the echo to this client. A bad stdin line is reported on stderr\n"
        "  with its line number and is not sent; a bad --send stops the client before\n"
        "  it connects.\n"
        "\n"
        "Output:\n"
        "  -j, --json             print JSON lines instead of the text form\n"
        "  -v, --verbose          report connection progress and every sent message\n"
        "                         on stderr (\"sent msg recId=1 id=0x0010 ...\")\n"
        "\n"
        "Ending (without any of these the client runs until the connection closes or\n"
        "it is interrupted):\n"
        "  -c, --count N          exit after N received message frames; with 0, once\n"
        "                         the server has answered the identification (its\n"
        "                         server and state lines)\n"
        "  -r, --require-ready    exit once the server has answered the\n"
        "                         identification: 0 when its link is ready\n"
        "                         (hw_state 2), 3 when it is not; a health check\n"
        "  -t, --timeout MS       exit after MS milliseconds from the start\n"
        "  -w, --wait-ms MS       exit MS milliseconds after the last message was sent\n"
        "                         (with --stdin: after the end of stdin)\n"
        "  -h, --help             show this text\n"
        "      --version          show the program version\n"
        "\n"
        "Output lines, one per received frame, on stdout (fields always in this order;\n"
        "numbers in decimal unless shown with 0x; HEX in upper case, empty for no\n"
        "data; TIME is UTC, yyyy-mm-ddThh:mm:ss.mmmZ):\n"
        "  server version=100 name=\"Corvid dedicated server\" time=TIME\n"
        "  state hw_state=2 hw_name=HW_READY hw_error=0\n"
        "  msg id=0x0010 from=0x0001 to=0x0002 len=2 data=AABB dir=0 status=1 stamp=5 tag=7 time=TIME\n"
        "  In msg lines len is the number of data bytes, dir 1 means toward the bus\n"
        "  and 0 from it, stamp is the server's stamp number, tag the recId of this\n"
        "  client's own message in its echo (else the server's value, 0 for bus\n"
        "  messages). A message that came over a radio link ends with \" ax25=HEX\"\n"
        "  (the 17 bytes of its AX.25 header). Lines come in the order the frames\n"
        "  arrive; frames of other kinds and broken frames are skipped.\n"
        "  hw_name is HW_ERROR, HW_NOTINIT, HW_READY or UNKNOWN. In names, \" and \\ are\n"
        "  escaped with \\ and other bytes outside printable ASCII are written \\xHH.\n"
        "With --json:\n"
        "  {\"type\":\"server\",\"version\":100,\"name\":\"...\",\"time_ms\":N,\"time\":\"TIME\"}\n"
        "  {\"type\":\"state\",\"hw_state\":2,\"hw_name\":\"HW_READY\",\"hw_error\":0}\n"
        "  {\"type\":\"msg\",\"id\":16,\"from\":1,\"to\":2,\"len\":2,\"data\":\"AABB\",\"dir\":0,\n"
        "   \"status\":1,\"stamp\":5,\"tag\":7,\"time_ms\":N,\"time\":\"TIME\"} (one line;\n"
        "   \"ax25\":\"HEX\" is added at the end for a radio message; bytes of names\n"
        "   outside printable ASCII are written \\u00HH)\n"
        "Diagnostics go to stderr, starting with \"corvid-client: \". When stdout is\n"
        "closed by its reader (e.g. | head) the client ends with status 0.\n"
        "\n"
        "Exit status:\n"
        "  0  done: --count reached, --timeout or --wait-ms ran out; with\n"
        "     --require-ready: the server answered and its link is ready\n"
        "  1  connection failed: nothing listens, host unknown, no answer within\n"
        "     --connect-timeout, TLS handshake failed, or the connection dropped\n"
        "  2  bad command line, bad --send message or unreadable TLS file\n"
        "     (nothing was sent)\n"
        "  3  some stdin lines were rejected (the good ones were sent); with\n"
        "     --require-ready: the server answered but its link is not ready\n"
        "  4  --timeout or --wait-ms ran out before --count messages arrived\n");
}

namespace {

// The PEM file of an option, or an error naming the option and the file.
bool readFile(const char *opt, const QString &path, QByteArray *out, QString *error)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("--%1: cannot read %2: %3").arg(QLatin1String(opt), path, f.errorString());
        return false;
    }
    *out = f.read(1024 * 1024);
    return true;
}

bool number(const QString &opt, const QString &text, uint64_t max, int64_t *out, QString *error)
{
    uint64_t v = 0;
    QString e;
    if (!client_parse_number(text, max, &v, &e)) {
        *error = QStringLiteral("--%1: %2").arg(opt, e);
        return false;
    }
    *out = int64_t(v);
    return true;
}

}  // namespace

ClientOptionsParser::Result ClientOptionsParser::parse(const QStringList &args, ClientOptions *out)
{
    QCommandLineParser p;
    p.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    // Short name (may be empty), long name, value name (empty for a switch).
    auto opt = [](const char *shortName, const char *longName, const char *valueName = "") {
        QStringList names;
        if (*shortName)
            names << QLatin1String(shortName);
        names << QLatin1String(longName);
        return QCommandLineOption(names, QString(), QLatin1String(valueName));
    };
    const QCommandLineOption host = opt("H", "host", "HOST");
    const QCommandLineOption port = opt("p", "port", "PORT");
    const QCommandLineOption name = opt("n", "name", "NAME");
    const QCommandLineOption observer = opt("o", "observer");
    const QCommandLineOption appVersion = opt("", "app-version", "N");
    const QCommandLineOption connectTimeout = opt("", "connect-timeout", "MS");
    const QCommandLineOption send = opt("s", "send", "MSG");
    const QCommandLineOption readStdin = opt("i", "stdin");
    const QCommandLineOption inject = opt("", "inject");
    const QCommandLineOption json = opt("j", "json");
    const QCommandLineOption verbose = opt("v", "verbose");
    const QCommandLineOption requireReady = opt("r", "require-ready");
    const QCommandLineOption count = opt("c", "count", "N");
    const QCommandLineOption timeout = opt("t", "timeout", "MS");
    const QCommandLineOption waitMs = opt("w", "wait-ms", "MS");
    const QCommandLineOption bind = opt("", "bind", "ADDRESS");
    const QCommandLineOption tls = opt("", "tls");
    const QCommandLineOption caFile = opt("", "cafile", "FILE");
    const QCommandLineOption cert = opt("", "cert", "FILE");
    const QCommandLineOption key = opt("", "key", "FILE");
    const QCommandLineOption help = opt("h", "help");
    const QCommandLineOption version = opt("", "version");
    p.addOptions({host, port, name, observer, appVersion, connectTimeout, send, readStdin, inject, json, verbose,
                  requireReady, count, timeout, waitMs, bind, tls, caFile, cert, key, help, version});

    if (!p.parse(args)) {
        m_error = p.errorText();
        return Error;
    }
    if (p.isSet(help))
        return Help;
    if (p.isSet(version))
        return Version;
    if (!p.positionalArguments().isEmpty()) {
        m_error = QStringLiteral("unexpected argument '%1'").arg(p.positionalArguments().constFirst());
        return Error;
    }

    ClientOptions o;
    int64_t v = 0;
    if (p.isSet(host)) {
        o.host = p.value(host).trimmed();
        if (o.host.isEmpty()) {
            m_error = QStringLiteral("--host: empty host");
            return Error;
        }
    }
    if (p.isSet(port)) {
        if (!number(QStringLiteral("port"), p.value(port), 0xFFFF, &v, &m_error))
            return Error;
        if (v == 0) {
            m_error = QStringLiteral("--port: 0 is not a port");
            return Error;
        }
        o.port = uint16_t(v);
    }
    if (p.isSet(name)) {
        const QString n = p.value(name);
        for (QChar c : n) {
            if (c.unicode() > 0xFF) {
                m_error = QStringLiteral("--name: '%1' is not 8-bit text").arg(n);
                return Error;
            }
        }
        o.name = n.toLatin1();
        if (o.name.size() > 32) {
            m_error = QStringLiteral("--name: '%1' is longer than 32 bytes").arg(n);
            return Error;
        }
    }
    o.observer = p.isSet(observer);
    if (p.isSet(appVersion)) {
        if (!number(QStringLiteral("app-version"), p.value(appVersion), 0xFFFFFFFFu, &v, &m_error))
            return Error;
        o.appVersion = uint32_t(v);
    }
    const uint64_t maxMs = 0x7FFFFFFF;  // QTimer's limit
    if (p.isSet(connectTimeout)) {
        if (!number(QStringLiteral("connect-timeout"), p.value(connectTimeout), maxMs, &o.connectTimeoutMs, &m_error))
            return Error;
    }
    const QStringList sends = p.values(send);
    for (int i = 0; i < sends.size(); ++i) {
        client_message_t m;
        QString e;
        if (!client_parse_message(sends[i], &m, &e)) {
            m_error = QStringLiteral("--send #%1: %2; nothing sent").arg(i + 1).arg(e);
            return Error;
        }
        o.send.append(m);
    }
    o.readStdin = p.isSet(readStdin);
    o.inject = p.isSet(inject);
    o.json = p.isSet(json);
    o.verbose = p.isSet(verbose);
    o.requireReady = p.isSet(requireReady);
    if (p.isSet(count) && !number(QStringLiteral("count"), p.value(count), 0x7FFFFFFF, &o.count, &m_error))
        return Error;
    if (p.isSet(timeout) && !number(QStringLiteral("timeout"), p.value(timeout), maxMs, &o.timeoutMs, &m_error))
        return Error;
    if (p.isSet(waitMs) && !number(QStringLiteral("wait-ms"), p.value(waitMs), maxMs, &o.waitMs, &m_error))
        return Error;
    if (p.isSet(bind)) {
        o.bind = p.value(bind).trimmed();
        if (QHostAddress(o.bind).isNull()) {
            m_error = QStringLiteral("--bind: '%1' is not an IPv4 or IPv6 address").arg(o.bind);
            return Error;
        }
    }
    o.tls = p.isSet(tls) || p.isSet(caFile) || p.isSet(cert) || p.isSet(key);
    if (p.isSet(cert) != p.isSet(key)) {
        m_error = QStringLiteral("--cert and --key go together");
        return Error;
    }
    QByteArray pem;
    if (p.isSet(caFile)) {
        if (!readFile("cafile", p.value(caFile), &pem, &m_error))
            return Error;
        o.caCertificates = QSslCertificate::fromData(pem);
        if (o.caCertificates.isEmpty()) {
            m_error = QStringLiteral("--cafile: %1 holds no PEM certificate").arg(p.value(caFile));
            return Error;
        }
    }
    if (p.isSet(cert)) {
        if (!readFile("cert", p.value(cert), &pem, &m_error))
            return Error;
        const QList<QSslCertificate> own = QSslCertificate::fromData(pem);
        if (own.isEmpty()) {
            m_error = QStringLiteral("--cert: %1 holds no PEM certificate").arg(p.value(cert));
            return Error;
        }
        o.certificate = own.first();
        if (!readFile("key", p.value(key), &pem, &m_error))
            return Error;
        for (const QSsl::KeyAlgorithm algorithm : {QSsl::Rsa, QSsl::Ec, QSsl::Dsa}) {
            if (o.key.isNull())
                o.key = QSslKey(pem, algorithm);
        }
        if (o.key.isNull()) {
            m_error = QStringLiteral("--key: %1 holds no unencrypted PEM private key").arg(p.value(key));
            return Error;
        }
    }
    *out = o;
    return Run;
}
