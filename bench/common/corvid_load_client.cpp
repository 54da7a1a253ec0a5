#include "bench/common/corvid_load_client.h"

#include <QHostAddress>

CorvidLoadClient::CorvidLoadClient(int index, bool observer, QObject *parent)
    : QObject(parent), m_index(index), m_observer(observer), m_socket(this), m_rx(CorvidFrameReceiver::clientKinds())
{
    connect(&m_socket, &QSslSocket::connected, this, [this] {
        m_socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
        if (m_socket.mode() == QSslSocket::UnencryptedMode)
            identify();
    });
    connect(&m_socket, &QSslSocket::encrypted, this, &CorvidLoadClient::identify);
    connect(&m_socket, QOverload<const QList<QSslError> &>::of(&QSslSocket::sslErrors), this,
            [this](const QList<QSslError> &errors) {
                if (m_error.isEmpty() && !errors.isEmpty())
                    m_error = QStringLiteral("client %1: %2").arg(m_index).arg(errors.first().errorString());
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

void CorvidLoadClient::identify()
{
    QByteArray name = m_observer ? QByteArrayLiteral("bench observer ") + QByteArray::number(m_index)
                                 : QByteArrayLiteral("bench manager");
    m_socket.write(buildAppInfoFrame(CRS_APP_VERSION, name, m_observer));
}

void CorvidLoadClient::open(quint16 port, const QSslConfiguration *tls)
{
    if (!tls) {
        m_socket.connectToHost(QHostAddress::LocalHost, port);
        return;
    }
    m_socket.setSslConfiguration(*tls);
    m_socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
}

void CorvidLoadClient::readFrames()
{
    m_rx.append(m_socket.readAll());
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
