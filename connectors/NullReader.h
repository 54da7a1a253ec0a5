#pragma once
// Stands in when no real link can be built: connects to nothing, receives
// nothing and refuses every message, so the hub always has a connector.

#include "connectors/AbstractConnector.h"

class NullReader : public AbstractConnector {
    Q_OBJECT
public:
    explicit NullReader(QObject *parent = nullptr) : AbstractConnector(parent) {}

    bool isPlaceholder() const override { return true; }
    void HW_init() override {}
    void HW_close() override {}
    uint32_t rxCurrentBytesCount() override { return 0; }
    int64_t sendCorvidMessage(corvid_message *) override { return -1; }
};
