#include "tools/client/CorvidClient.h"

#include "server/corvid_wire.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QHostAddress>
#include <QSslCipher>
#include <QSslConfiguration>
#include <QSocketNotifier>
#include <cerrno>
#include <cstdio>
#include <unistd.h>

namespace {
// Time granted to push queued frames out before the socket is dropped.
constexpr int CLOSE_GRACE_MS = 5000;
}

CorvidClient::CorvidClient(const ClientOptions &options, QObject *parent)
    : QObject(parent), m_opt(options), m_socket(this),
      m_receiver(std::make_unique<CorvidFrameReceiver>(CorvidFrameReceiver::clientKinds()))
{
    m_connectTimer.setSingleShot(true);
    m_runTimer.setSingleShot(true);
    m_waitTimer.setSingleShot(true);
    m_closeTimer.setSingleShot(true);
    // Over TLS the identification waits for the handshake.
    connect(&m_socket, m_opt.tls ? &QSslSocket::encrypted : &QSslSocket::connected, this, &CorvidClient::onConnected);
    connect(&m_socket, QOverload<const QList<QSslError> &>::of(&QSslSocket::sslErrors), this,
            [this](const QList<QSslError> &errors) {
                for (const QSslError &e : errors)
                    m_tlsErrors << e.errorString();
            });
    connect(&m_socket, &QTcpSocket::readyRead, this, &CorvidClient::onReadyRead);
    connect(&m_socket, &QTcpSocket::errorOccurred, this, &CorvidClient::onSocketError);
    connect(&m_socket, &QTcpSocket::disconnected, this, &CorvidClient::onDisconnected);
    connect(&m_connectTimer, &QTimer::timeout, this, [this] {
        if (m_phase == Connecting)
            fail(QStringLiteral("cannot connect to %1: timed out after %2 ms").arg(peer()).arg(m_opt.connectTimeoutMs));
        else
            fail(QStringLiteral("no answer from %1 to the identification within %2 ms")
                     .arg(peer())
                     .arg(m_opt.connectTimeoutMs));
    });
    connect(&m_runTimer, &QTimer::timeout, this, &CorvidClient::endByTimer);
    connect(&m_waitTimer, &QTimer::timeout, this, &CorvidClient::endByTimer);
    connect(&m_closeTimer, &QTimer::timeout, this, [this] {
        m_socket.abort();
        emitFinished();
    });
}

CorvidClient::~CorvidClient() = default;

QString CorvidClient::peer() const
{
    return m_opt.host.contains(QLatin1Char(':')) ? QStringLiteral("[%1]:%2").arg(m_opt.host).arg(m_opt.port)
                                                  : QStringLiteral("%1:%2").arg(m_opt.host).arg(m_opt.port);
}

void CorvidClient::out(const QString &line)
{
    const QByteArray b = line.toUtf8() + '\n';
    const bool ok = fwrite(b.constData(), 1, size_t(b.size()), stdout) == size_t(b.size()) && fflush(stdout) == 0;
    // The reader of our output went away (| head): nothing left to do. Qt's
    // sockets ignore SIGPIPE, so this is where we learn of it.
    if (!ok)
        finish(m_badInput ? CLIENT_EXIT_BAD_INPUT : CLIENT_EXIT_OK);
}

void CorvidClient::err(const QString &line)
{
    const QByteArray b = "corvid-client: " + line.toUtf8() + '\n';
    fwrite(b.constData(), 1, size_t(b.size()), stderr);
    fflush(stderr);
}

void CorvidClient::start()
{
    if (m_opt.verbose)
        err(QStringLiteral("connecting to %1").arg(peer()));
    m_connectTimer.start(int(m_opt.connectTimeoutMs));
    if (m_opt.timeoutMs >= 0)
        m_runTimer.start(int(m_opt.timeoutMs));
    if (!m_opt.bind.isEmpty() && !m_socket.bind(QHostAddress(m_opt.bind))) {
        fail(QStringLiteral("cannot bind to %1: %2").arg(m_opt.bind, m_socket.errorString()));
        return;
    }
    if (!m_opt.tls) {
        m_socket.connectToHost(m_opt.host, m_opt.port);
        return;
    }
    QSslConfiguration tls = m_socket.sslConfiguration();
    if (!m_opt.caCertificates.isEmpty())
        tls.setCaCertificates(m_opt.caCertificates);
    if (!m_opt.certificate.isNull()) {
        tls.setLocalCertificate(m_opt.certificate);
        tls.setPrivateKey(m_opt.key);
    }
    m_socket.setSslConfiguration(tls);
    m_socket.connectToHostEncrypted(m_opt.host, m_opt.port);
}

void CorvidClient::onConnected()
{
    if (m_phase != Connecting)
        return;
    m_phase = Identifying;
    m_socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);  // scripts wait on each answer
    if (m_opt.verbose)
        err(QStringLiteral("connected to %1%4, identifying as %2 \"%3\"")
                .arg(peer(), QLatin1String(m_opt.observer ? "Observer" : "Manager"), QString::fromLatin1(m_opt.name),
                     m_opt.tls ? QStringLiteral(" over %1").arg(m_socket.sessionCipher().protocolString())
                               : QString()));
    m_socket.write(buildAppInfoFrame(m_opt.appVersion, m_opt.name, m_opt.observer));
}

void CorvidClient::onReadyRead()
{
    m_receiver->append(m_socket.readAll());
    // Stop taking frames once done, so nothing is printed past --count.
    crs_frame_t frame;
    while (m_phase != Done && m_receiver->takeFrame(frame))
        onFrame(frame.kind, frame.bytes);
}

void CorvidClient::onFrame(uint32_t kind, const QByteArray &frame)
{
    switch (kind) {
    case FrameSrvInfo: {
        const std::optional<crs_server_info_t> info = parseSrvInfoFrame(frame);
        if (!info)
            return;
        out(client_format_server_info(info->version, info->time_ms, info->name, m_opt.json));
        if (m_phase != Identifying)
            return;
        m_phase = Running;
        m_connectTimer.stop();
        if (m_opt.verbose)
            err(QStringLiteral("identified"));
        for (const client_message_t &m : qAsConst(m_opt.send))
            sendMessage(m);
        if (m_opt.readStdin) {
            m_stdin = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
            connect(m_stdin, &QSocketNotifier::activated, this, &CorvidClient::onStdinReadable);
        } else {
            sendingDone();
        }
        return;
    }
    case FrameSrvState: {
        const std::optional<crs_server_state_t> st = parseSrvStateFrame(frame);
        if (st)
            out(client_format_server_state(st->hw_state, st->hw_error, m_opt.json));
        if (m_opt.requireReady && st && m_phase == Running) {
            if (st->hw_state != 2)
                err(QStringLiteral("the link of %1 is not ready (hw_state %2)").arg(peer()).arg(st->hw_state));
            finish(st->hw_state == 2 ? CLIENT_EXIT_OK : CLIENT_EXIT_NOT_READY);
            return;
        }
        // --count 0: the answer to the identification is server info and state.
        if (m_opt.count == 0 && m_phase == Running)
            finish(m_badInput ? CLIENT_EXIT_BAD_INPUT : CLIENT_EXIT_OK);
        return;
    }
    case FrameMsg2App: {
        const std::optional<crs_msg2app_t> f = parseMsg2AppFrame(frame);
        if (!f)
            return;
        client_rx_msg_t m;
        m.dir = f->header.dir;
        m.status = f->header.status;
        m.time_ms = f->header.time_ms;
        m.stampId = f->header.stampId;
        m.tag = f->header.tag;
        m.msg_id = f->header.msg_id;
        m.address_from = f->header.address_from;
        m.address_to = f->header.address_to;
        m.data = f->data;
        if (f->hasAx25)
            m.ax25 = QByteArray(reinterpret_cast<const char *>(&f->ax25), CRS_AX25_HEADER_SIZE);
        out(client_format_msg(m, m_opt.json));
        ++m_received;
        if (m_opt.count >= 0 && m_received >= m_opt.count)
            finish(m_badInput ? CLIENT_EXIT_BAD_INPUT : CLIENT_EXIT_OK);
        return;
    }
    default:
        return;
    }
}

void CorvidClient::sendMessage(const client_message_t &m)
{
    const uint32_t recId = m_nextRecId++;
    corvid_message msg = corvid_message_over(m.msg_id, m.address_from, m.address_to, m.data);
    if (m_opt.inject)
        m_socket.write(buildMsg2AppFrame(msg, 0, 1, 0, recId, nullptr));
    else
        m_socket.write(buildMsg2SatFrame(recId, msg));
    if (m_opt.verbose)
        err(client_format_sent(recId, m, m_opt.inject));
}

void CorvidClient::onStdinReadable()
{
    char buf[4096];
    const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (n <= 0) {
        // End of input: a last line without a line feed still counts.
        m_stdin->setEnabled(false);
        if (!m_stdinBuffer.isEmpty())
            stdinLine(m_stdinBuffer);
        m_stdinBuffer.clear();
        if (m_phase == Running)
            sendingDone();
        return;
    }
    m_stdinBuffer.append(buf, int(n));
    int nl;
    while (m_phase == Running && (nl = m_stdinBuffer.indexOf('\n')) >= 0) {
        const QByteArray line = m_stdinBuffer.left(nl);
        m_stdinBuffer.remove(0, nl + 1);
        stdinLine(line);
    }
}

void CorvidClient::stdinLine(const QByteArray &raw)
{
    ++m_stdinLineNo;
    QByteArray line = raw;
    if (line.endsWith('\r'))
        line.chop(1);
    const QString text = QString::fromUtf8(line).trimmed();
    if (text.isEmpty() || text.startsWith(QLatin1Char('#')))
        return;
    client_message_t m;
    QString e;
    if (!client_parse_message(text, &m, &e)) {
        err(QStringLiteral("stdin line %1: %2; not sent").arg(m_stdinLineNo).arg(e));
        m_badInput = true;
        return;
    }
    sendMessage(m);
}

void CorvidClient::sendingDone()
{
    if (m_opt.verbose)
        err(QStringLiteral("all messages sent (%1)").arg(m_nextRecId - 1));
    if (m_opt.waitMs >= 0)
        m_waitTimer.start(int(m_opt.waitMs));
}

void CorvidClient::endByTimer()
{
    if (m_phase == Done)
        return;
    if (m_phase != Running) {
        fail(QStringLiteral("no answer from %1 to the identification before the time limit").arg(peer()));
        return;
    }
    if (m_opt.count >= 0 && m_received < m_opt.count) {
        err(QStringLiteral("time is up after %1 of %2 messages").arg(m_received).arg(m_opt.count));
        finish(CLIENT_EXIT_COUNT);
        return;
    }
    finish(m_badInput ? CLIENT_EXIT_BAD_INPUT : CLIENT_EXIT_OK);
}

void CorvidClient::onSocketError(QAbstractSocket::SocketError error)
{
    if (m_phase == Done)
        return;
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError:
        fail(QStringLiteral("cannot connect to %1: connection refused (is the server running?)").arg(peer()));
        break;
    case QAbstractSocket::HostNotFoundError:
        fail(QStringLiteral("cannot connect to %1: host not found").arg(peer()));
        break;
    case QAbstractSocket::RemoteHostClosedError:
        onDisconnected();
        break;
    case QAbstractSocket::SslHandshakeFailedError:
        fail(QStringLiteral("TLS handshake with %1 failed: %2")
                 .arg(peer(), m_tlsErrors.isEmpty() ? m_socket.errorString() : m_tlsErrors.join(QStringLiteral("; "))));
        break;
    default:
        if (m_phase == Connecting)
            fail(QStringLiteral("cannot connect to %1: %2").arg(peer(), m_socket.errorString()));
        else
            fail(QStringLiteral("connection to %1 lost: %2").arg(peer(), m_socket.errorString()));
        break;
    }
}

void CorvidClient::onDisconnected()
{
    if (m_phase == Done) {
        emitFinished();
        return;
    }
    if (m_phase == Identifying)
        fail(QStringLiteral("connection to %1 closed by the server before it answered the identification%2")
                 .arg(peer(), m_opt.tls ? QStringLiteral(" (over TLS this is how a server refuses a client "
                                                         "certificate, or the lack of one)")
                                        : QString()));
    else
        fail(QStringLiteral("connection to %1 closed by the server").arg(peer()));
}

void CorvidClient::fail(const QString &text)
{
    if (m_phase == Done)
        return;
    err(text);
    finish(CLIENT_EXIT_CONNECTION);
}

void CorvidClient::finish(int status)
{
    if (m_phase == Done)
        return;
    m_phase = Done;
    m_status = status;
    m_connectTimer.stop();
    m_runTimer.stop();
    m_waitTimer.stop();
    if (m_stdin)
        m_stdin->setEnabled(false);
    if (m_socket.state() == QAbstractSocket::ConnectedState) {
        // Lets queued frames go out before the close; `disconnected` ends us.
        m_closeTimer.start(CLOSE_GRACE_MS);
        m_socket.disconnectFromHost();
        if (m_socket.state() != QAbstractSocket::UnconnectedState)
            return;
    } else {
        m_socket.abort();
    }
    // Reported from the event loop so callers never see it inside start().
    QMetaObject::invokeMethod(this, &CorvidClient::emitFinished, Qt::QueuedConnection);
}

void CorvidClient::emitFinished()
{
    if (m_finishedEmitted)
        return;
    m_finishedEmitted = true;
    m_closeTimer.stop();
    emit finished(m_status);
}
