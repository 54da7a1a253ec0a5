#pragma once
// Stands in for the main window: records what the hub shows and lets a test press the connect button.

#include "server/ServerView.h"

#include <QList>
#include <QMap>
#include <QString>
#include <functional>

class FakeServerView final : public ServerView {
public:
    QList<int> states;
    QList<quint32> added;
    QList<quint32> removed;
    QMap<QString, int> counters;

    void pressConnect()
    {
        if (m_reconnect)
            m_reconnect();
    }

    void hardwareStatusHandler(AbstractConnector::HWState s) override { states << int(s); }
    void slotAddClient(const crd_client_info_t &c) override { added << c.id; }
    void slotDisconnected(quint32 id) override { removed << id; }
    void setRxBytesCount(int v) override { counters[QStringLiteral("rxBytes")] = v; }
    void setRxCurrentBytesCount(int v) override { counters[QStringLiteral("rxCurrent")] = v; }
    void setRxCorvidCount(int v) override { counters[QStringLiteral("rxCorvid")] = v; }
    void setRxCANCount(int v) override { counters[QStringLiteral("rxCAN")] = v; }
    void setTxBytesCount(int v) override { counters[QStringLiteral("txBytes")] = v; }
    void setTxCorvidCount(int v) override { counters[QStringLiteral("txCorvid")] = v; }
    void onReconnectRequested(std::function<void()> handler) override { m_reconnect = std::move(handler); }

private:
    std::function<void()> m_reconnect;
};
