#pragma once
// One control-application connection of the load program: identifies itself,
// then hands every message frame it receives to a callback. A plain socket
// sits in the program's epoll set (bench_epoll.h), so that idle connections
// cost nothing at a wake-up; a TLS connection, of which a run has a few, goes
// through Qt's own socket.

#include "bench/common/bench_epoll.h"
#include "server/corvid_wire.h"

#include <QObject>
#include <functional>

class QSslConfiguration;
class QSslSocket;

class CorvidLoadClient : public QObject
{
    Q_OBJECT
public:
    using MessageHandler = std::function<void(CorvidLoadClient *, const crs_msg2app_t &)>;

    CorvidLoadClient(int index, bool observer, QObject *parent = nullptr);

    // With `tls`, the same protocol inside TLS (the identification after the handshake).
    void open(quint16 port, const QSslConfiguration *tls = nullptr);
    bool identified() const { return m_gotInfo && m_gotState; }
    bool failed() const { return !m_tlsError.isEmpty() || m_conn.failed(); }
    QString error() const;
    quint32 hwState() const { return m_hwState; }
    int index() const { return m_index; }
    quint64 rejectedFrames() const { return m_rx.rejectedFrames() + m_badFrames; }

    // Everything sent during one pass of the event loop leaves in one write.
    void send(const QByteArray &frame);
    void setMessageHandler(MessageHandler h) { m_onMessage = std::move(h); }

private:
    void openTls(quint16 port, const QSslConfiguration &tls);
    void identify();
    void readFrames(const QByteArray &bytes);

    int m_index;
    bool m_observer;
    CorvidFrameReceiver m_rx;
    BenchConnection m_conn;
    QSslSocket *m_tls = nullptr; // a child, only for a connection over TLS
    QString m_tlsError;
    MessageHandler m_onMessage;
    bool m_gotInfo = false;
    bool m_gotState = false;
    quint32 m_hwState = 0;
    quint64 m_badFrames = 0;
};
