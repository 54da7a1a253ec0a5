#pragma once
// One control-application connection of the load program: identifies itself,
// then hands every message frame it receives to a callback. Its socket sits in
// the program's epoll set (bench_epoll.h), so that idle connections cost
// nothing at a wake-up.

#include "bench/common/bench_epoll.h"
#include "server/corvid_wire.h"

#include <QObject>
#include <functional>

class CorvidLoadClient : public QObject
{
    Q_OBJECT
public:
    using MessageHandler = std::function<void(CorvidLoadClient *, const crs_msg2app_t &)>;

    CorvidLoadClient(int index, bool observer, QObject *parent = nullptr);

    void open(quint16 port);
    bool identified() const { return m_gotInfo && m_gotState; }
    bool failed() const { return m_conn.failed(); }
    QString error() const
    {
        return failed() ? QStringLiteral("client %1: %2").arg(m_index).arg(m_conn.error()) : QString();
    }
    quint32 hwState() const { return m_hwState; }
    int index() const { return m_index; }
    quint64 rejectedFrames() const { return m_rx.rejectedFrames() + m_badFrames; }

    // Everything sent during one pass of the event loop leaves in one write.
    void send(const QByteArray &frame) { m_conn.send(frame); }
    void setMessageHandler(MessageHandler h) { m_onMessage = std::move(h); }

private:
    void readFrames(const char *data, int size);

    int m_index;
    bool m_observer;
    CorvidFrameReceiver m_rx;
    BenchConnection m_conn;
    MessageHandler m_onMessage;
    bool m_gotInfo = false;
    bool m_gotState = false;
    quint32 m_hwState = 0;
    quint64 m_badFrames = 0;
};
