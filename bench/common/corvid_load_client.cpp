#include "bench/common/corvid_load_client.h"

#include <QHostAddress>

CorvidLoadClient::CorvidLoadClient(int index, bool observer, QObject *parent)
    : QObject(parent), m_index(index), m_observer(observer), m_socket(this), m_rx(CorvidFrameReceiver::clientKinds())
{
    connect(&m_socket, &QTcpSocket::connected, this, [this] {
        m_socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
        QByteArray name = m_observer ? QByteArrayLiteral("bench observer ") + QByteArray::number(m_index)
                                     : QByteArrayLiteral("bench manager");
        m_socket.write(buildAppInfoFrame(CRS_APP_VERSION, name, m_observer));
    });
    connect(&m_socket, &QTcpSocket::readyRead, this, &CorvidLoadClient::readFrames);
    connect(&m_socket, &QTcpSocket::disconnected, this, [this] {
        if (m_error.isEmpty())
            m_error = QStringLiteral("client %1: server closed the connection").arg(m_index);
    });
    connect(&m_socket, &QAbstractSocket::errorOccurred, this, [this] {
        if (m_error.isEmpty())
            m_error = QStringLiteral("client %1: %2").arg(m_index).arg(m_socket.errorString());
    });
}

void CorvidLoadClient::open(quint16 port)
{
    m_socket.connectToHost(QHostAddress::LocalHost, port);
}

void CorvidLoadClient::readFrames()
{
    // What is there, not readAll(): that sizes a 16 KiB array for every read.
    m_rx.append(m_socket.read(m_socket.bytesAvailable()));
    crs_frame_t f;
    while (m_rx.takeFrame(f)) {
        switch (f.kind) {
        case FrameMsg2App: {
            auto m = parseMsg2AppFrame(f.bytes);
            if (!m) {
                ++m_badFrames;
                break;
            }
            if (m_onMessage)
                m_onMessage(this, *m);
            break;
        }
        case FrameSrvInfo:
            if (parseSrvInfoFrame(f.bytes))
                m_gotInfo = true;
            else
                ++m_badFrames;
            break;
        case FrameSrvState:
            if (auto s = parseSrvStateFrame(f.bytes)) {
                m_gotState = true;
                m_hwState = s->hw_state;
            } else {
                ++m_badFrames;
            }
            break;
        default:
            ++m_badFrames;
        }
    }
}
