#include "bench/usbtin/LeanSender.h"

#include "connectors/AbstractConnector.h"
#include "connectors/usbtin_protocol.h"

#include <QTcpSocket>

LeanSender::LeanSender(QObject *parent) : QObject(parent)
{
    connect(&m_listener, &QTcpServer::newConnection, this, &LeanSender::accept);
    connect(&m_adapter, &QSerialPort::readyRead, this, &LeanSender::readAdapter);
}

LeanSender::~LeanSender()
{
    m_engine.releaseHardware(this);
}

bool LeanSender::start(const QString &adapter, quint16 port, QString *error)
{
    m_adapter.setPortName(adapter);
    if (!m_adapter.open(QIODevice::ReadWrite)) {
        *error = QStringLiteral("cannot open %1: %2").arg(adapter, m_adapter.errorString());
        return false;
    }
    m_adapter.write(usbtin::kOpenChannel);
    m_adapter.flush();
    if (!m_listener.listen(QHostAddress::LocalHost, port)) {
        *error = QStringLiteral("cannot listen on port %1: %2").arg(port).arg(m_listener.errorString());
        return false;
    }
    m_engine.setHardware(this);
    return true;
}

int32_t LeanSender::sendCANFrame(can_message *frame)
{
    m_queue.push_back(usbtin::frameLine(frame));
    if (!m_awaitingAck)
        writeHead();
    return int32_t(m_queue.back().size());
}

void LeanSender::writeHead()
{
    m_awaitingAck = !m_queue.empty();
    if (m_awaitingAck) {
        m_adapter.write(m_queue.front());
        m_adapter.flush();
    }
}

void LeanSender::readAdapter()
{
    m_replies += m_adapter.readAll();
    usbtin::Reply reply;
    while (usbtin::takeReply(m_replies, reply)) {
        if (reply.kind == usbtin::ReplyKind::Ack && m_awaitingAck) {
            m_queue.pop_front();
            writeHead();
        }
    }
}

void LeanSender::accept()
{
    // The load brings one application; the newest connection is it (the
    // load's check that the port listens comes first).
    while (QTcpSocket *s = m_listener.nextPendingConnection()) {
        if (m_client)
            m_client->deleteLater();
        m_client = s;
        m_rx = CorvidFrameReceiver(CorvidFrameReceiver::serverKinds());
        connect(s, &QTcpSocket::readyRead, this, &LeanSender::readClient);
    }
}

void LeanSender::readClient()
{
    for (const crs_frame_t &f : m_rx.feed(m_client->readAll())) {
        if (f.kind == FrameAppInfo) {
            m_client->write(buildSrvInfoFrame() + buildSrvStateFrame(AbstractConnector::HW_READY, 0));
        } else if (auto m = parseMsg2SatFrame(f.bytes)) {
            // The frames first, then the echo the protocol owes the sender.
            const corvid_message message = m->message();
            m_engine.sendMessage(&message);
            m_client->write(buildMsg2AppFrame(message, ++m_stamp, 1, 1, m->header.recId));
        }
    }
}
