#pragma once
// The command-line control application: one connection to the server, the
// identification, printing of every received frame, sending of messages, and
// the end conditions that make it usable from scripts.

#include "tools/client/ClientOptions.h"

#include <QObject>
#include <QStringList>
#include <QSslSocket>
#include <QTimer>
#include <memory>

class QSocketNotifier;
class CorvidFrameReceiver;

class CorvidClient : public QObject {
    Q_OBJECT
public:
    explicit CorvidClient(const ClientOptions &options, QObject *parent = nullptr);
    ~CorvidClient() override;

    // Starts connecting; `finished` reports the exit status (ClientExit) once.
    void start();

signals:
    void finished(int exitStatus);

private:
    enum Phase { Connecting, Identifying, Running, Done };

    void onConnected();
    void onReadyRead();
    void onSocketError(QAbstractSocket::SocketError error);
    void onDisconnected();
    void onStdinReadable();
    void onFrame(uint32_t kind, const QByteArray &frame);

    void sendMessage(const client_message_t &m);
    void stdinLine(const QByteArray &line);
    void sendingDone();
    void endByTimer();
    void fail(const QString &text);
    void finish(int status);
    void emitFinished();
    void out(const QString &line);
    void err(const QString &line);
    QString peer() const;

    ClientOptions m_opt;
    Phase m_phase = Connecting;
    QSslSocket m_socket;  // plain TCP unless TLS is asked for
    QStringList m_tlsErrors;
    std::unique_ptr<CorvidFrameReceiver> m_receiver;
    QTimer m_connectTimer;
    QTimer m_runTimer;
    QTimer m_waitTimer;
    QTimer m_closeTimer;
    QSocketNotifier *m_stdin = nullptr;
    QByteArray m_stdinBuffer;
    int64_t m_stdinLineNo = 0;
    bool m_badInput = false;
    uint32_t m_nextRecId = 1;
    int64_t m_received = 0;
    int m_status = CLIENT_EXIT_OK;
    bool m_finishedEmitted = false;
};
