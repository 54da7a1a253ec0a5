#pragma once
// One control-application connection of the load program: identifies itself,
// then hands every message frame it receives to a callback.

#include "server/corvid_wire.h"

#include <QObject>
#include <QSslConfiguration>
#include <QSslSocket>
#include <functional>

class CorvidLoadClient : public QObject
{
    Q_OBJECT
public:
    using MessageHandler = std::function<void(CorvidLoadClient *, const crs_msg2app_t &)>;

    CorvidLoadClient(int index, bool observer, QObject *parent = nullptr);

    // With `tls`, the same protocol inside TLS (the identification after the handshake).
    void open(quint16 port, const QSslConfiguration *tls = nullptr);
    bool identified() const { return m_gotInfo && m_gotState; }
    bool failed() const { return !m_error.isEmpty(); }
    QString error() const { return m_error; }
    quint32 hwState() const { return m_hwState; }
    int index() const { return m_index; }
    quint64 rejectedFrames() const { return m_rx.rejectedFrames() + m_badFrames; }

    void send(const QByteArray &frame) { m_socket.write(frame); }
    void setMessageHandler(MessageHandler h) { m_onMessage = std::move(h); }

private:
    void identify();
    void readFrames();

    int m_index;
    bool m_observer;
    QSslSocket m_socket;
    CorvidFrameReceiver m_rx;
    MessageHandler m_onMessage;
    bool m_gotInfo = false;
    bool m_gotState = false;
    quint32 m_hwState = 0;
    quint64 m_badFrames = 0;
    QString m_error;
};
