#include "bench/common/corvid_load_client.h"

CorvidLoadClient::CorvidLoadClient(int index, bool observer, QObject *parent)
    : QObject(parent), m_index(index), m_observer(observer), m_rx(CorvidFrameReceiver::clientKinds()),
      m_conn([this](const char *data, int size) { readFrames(data, size); })
{
}

void CorvidLoadClient::open(quint16 port)
{
    if (!m_conn.open(port))
        return;
    const QByteArray name = m_observer ? QByteArrayLiteral("bench observer ") + QByteArray::number(m_index)
                                       : QByteArrayLiteral("bench manager");
    m_conn.send(buildAppInfoFrame(CRS_APP_VERSION, name, m_observer));
}

void CorvidLoadClient::readFrames(const char *data, int size)
{
    m_rx.append(QByteArray(data, size));
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
