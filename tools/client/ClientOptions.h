#pragma once
// Command line of corvid-client.

#include "tools/client/client_text.h"

#include <QByteArray>
#include <QList>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>
#include <QStringList>
#include <cstdint>

// Exit statuses; documented in the help text, scripts rely on them.
enum ClientExit {
    CLIENT_EXIT_OK = 0,
    CLIENT_EXIT_CONNECTION = 1,  // not connected, no answer, or the connection dropped
    CLIENT_EXIT_USAGE = 2,       // bad option or bad --send message; nothing was sent
    CLIENT_EXIT_BAD_INPUT = 3,   // some stdin lines were rejected (the others were sent)
    CLIENT_EXIT_NOT_READY = 3,   // --require-ready: the server answered, its link is not ready
    CLIENT_EXIT_COUNT = 4,       // a timer ended the run before --count messages arrived
};

struct ClientOptions {
    QString host = QStringLiteral("127.0.0.1");
    uint16_t port = 2323;
    QByteArray name = QByteArrayLiteral("corvid-client");
    bool observer = false;
    uint32_t appVersion = 100;
    QList<client_message_t> send;
    bool readStdin = false;
    bool inject = false;
    bool json = false;
    bool verbose = false;
    bool requireReady = false;  // end at the server's state: 0 when its link is ready, else 3
    int64_t count = -1;         // exit 0 after this many received messages; -1 = no limit
    int64_t timeoutMs = -1;     // overall run time limit; -1 = none
    int64_t waitMs = -1;        // time to keep receiving after the last send; -1 = forever
    int64_t connectTimeoutMs = 5000;
    QString bind;                            // source address; empty: the system's choice
    bool tls = false;
    QList<QSslCertificate> caCertificates;   // empty: the system's CA store
    QSslCertificate certificate;             // the client's own, with its key
    QSslKey key;
};

class ClientOptionsParser {
public:
    enum Result { Run, Help, Version, Error };
    // `args` includes the program name first.
    Result parse(const QStringList &args, ClientOptions *out);
    QString errorText() const { return m_error; }
    static QString helpText();

private:
    QString m_error;
};
