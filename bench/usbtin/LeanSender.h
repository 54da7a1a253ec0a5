#pragma once
// The least a control application's messages need to reach the serial CAN
// adapter: one connection on the control port, each message cut into frames
// by the bus engine, each frame written when the adapter has acknowledged the
// one before, and the echo the protocol owes the sender. No log, no other
// client, nothing else on its thread.
// Driven by the same load as the server, its rate is the acknowledgement
// limit under the load's conditions: the adapter and the load program then
// compete for the CPUs as they do in the server's runs.

#include "engine/CorvidCanPort.h"
#include "engine/CorvidEngine.h"
#include "server/corvid_wire.h"

#include <QByteArray>
#include <QObject>
#include <QSerialPort>
#include <QTcpServer>
#include <deque>

class QTcpSocket;

class LeanSender : public QObject, public CorvidCanPort {
    Q_OBJECT
public:
    explicit LeanSender(QObject *parent = nullptr);
    ~LeanSender() override;

    // Opens the adapter's channel and listens on 127.0.0.1; false with a reason.
    bool start(const QString &adapter, quint16 port, QString *error);

    void HW_init() override {}
    void HW_close() override {}
    int32_t sendCANFrame(can_message *frame) override;

private:
    void accept();
    void readClient();
    void readAdapter();
    void writeHead();

    CorvidEngine m_engine;
    QSerialPort m_adapter;
    QTcpServer m_listener;
    QTcpSocket *m_client = nullptr;
    CorvidFrameReceiver m_rx{CorvidFrameReceiver::serverKinds()};
    std::deque<QByteArray> m_queue;  // frame lines, the head written when m_awaitingAck
    bool m_awaitingAck = false;
    QByteArray m_replies;
    uint64_t m_stamp = 0;

    Q_DISABLE_COPY(LeanSender)
};
