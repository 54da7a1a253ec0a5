#include "bench/common/corvid_load_client.h"

#include <QSslConfiguration>
#include <QSslSocket>

CorvidLoadClient::CorvidLoadClient(int index, bool observer, QObject *parent)
    : QObject(parent), m_index(index), m_observer(observer), m_rx(CorvidFrameReceiver::clientKinds()),
      m_conn([this](const char *data, int size) { readFrames(QByteArray::fromRawData(data, size)); })
{
}

void CorvidLoadClient::open(quint16 port, const QSslConfiguration *tls)
{
    if (tls)
        openTls(port, *tls);
    else if (m_conn.open(port))
        identify();
}

void CorvidLoadClient::openTls(quint16 port, const QSslConfiguration &tls)
{
    m_tls = new QSslSocket(this);
    auto fail = [this](const QString &why) {
        if (m_tlsError.isEmpty())
            m_tlsError = why;
    };
    connect(m_tls, &QSslSocket::connected, this, [this] { m_tls->setSocketOption(QAbstractSocket::LowDelayOption, 1); });
    connect(m_tls, &QSslSocket::encrypted, this, &CorvidLoadClient::identify);
    connect(m_tls, QOverload<const QList<QSslError> &>::of(&QSslSocket::sslErrors), this,
            [fail](const QList<QSslError> &errors) {
                if (!errors.isEmpty())
                    fail(errors.first().errorString());
            });
    connect(m_tls, &QSslSocket::readyRead, this, [this] { readFrames(m_tls->readAll()); });
    connect(m_tls, &QSslSocket::disconnected, this, [fail] { fail(QStringLiteral("the server closed the connection")); });
    connect(m_tls, &QAbstractSocket::errorOccurred, this, [this, fail] { fail(m_tls->errorString()); });
    m_tls->setSslConfiguration(tls);
    m_tls->connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
}

QString CorvidLoadClient::error() const
{
    if (!failed())
        return QString();
    return QStringLiteral("client %1: %2").arg(m_index).arg(m_tlsError.isEmpty() ? m_conn.error() : m_tlsError);
}

void CorvidLoadClient::send(const QByteArray &frame)
{
    if (m_tls)
        m_tls->write(frame);
    else
        m_conn.send(frame);
}

void CorvidLoadClient::identify()
{
    const QByteArray name = m_observer ? QByteArrayLiteral("bench observer ") + QByteArray::number(m_index)
                                       : QByteArrayLiteral("bench manager");
    send(buildAppInfoFrame(CRS_APP_VERSION, name, m_observer));
}

void CorvidLoadClient::readFrames(const QByteArray &bytes)
{
    m_rx.append(bytes);
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
