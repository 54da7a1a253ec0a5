#pragma once
// What the hub shows an operator. The main window implements it; a server
// without a window gets the do-nothing NullServerView. Calls arrive on the
// main thread; counter updates may come at any rate, so a view coalesces them.

#include "connectors/AbstractConnector.h"
#include "server/crd_client_info.h"

#include <QtGlobal>
#include <functional>

class ServerView {
public:
    virtual ~ServerView() = default;

    virtual void hardwareStatusHandler(AbstractConnector::HWState newState) = 0;
    virtual void slotAddClient(const crd_client_info_t &client) = 0;
    virtual void slotDisconnected(quint32 clientId) = 0;

    virtual void setRxCorvidCount(int value) = 0;
    virtual void setTxCorvidCount(int value) = 0;
    virtual void setRxBytesCount(int value) = 0;
    virtual void setRxCurrentBytesCount(int value) = 0;
    virtual void setTxBytesCount(int value) = 0;
    virtual void setRxCANCount(int value) = 0;

    // The hub registers its Connect/Disconnect handling here; the window calls
    // it when its connect button is released.
    virtual void onReconnectRequested(std::function<void()> handler) = 0;
};

class NullServerView final : public ServerView {
public:
    void hardwareStatusHandler(AbstractConnector::HWState) override {}
    void slotAddClient(const crd_client_info_t &) override {}
    void slotDisconnected(quint32) override {}
    void setRxCorvidCount(int) override {}
    void setTxCorvidCount(int) override {}
    void setRxBytesCount(int) override {}
    void setRxCurrentBytesCount(int) override {}
    void setTxBytesCount(int) override {}
    void setRxCANCount(int) override {}
    void onReconnectRequested(std::function<void()>) override {}
};
