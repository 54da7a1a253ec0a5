#pragma once
// The record of one identified control application or Telnet terminal, as kept
// by the acceptor and shown in the window's client table.

#include <QDateTime>
#include <QMetaType>
#include <QString>
#include <cstdint>

class QTcpSocket;

struct crd_client_info_t {
    uint32_t id = 0;
    QString description;
    QString app_name;
    QTcpSocket *socket = nullptr;  // not owned
    uint8_t identified = 0;
    uint8_t observer = 0;          // 1 = Observer, 0 = Manager
    QDateTime since;               // UTC
    uint32_t version = 0;
    QString certificateName;       // a TLS client's certificate's common name
};

Q_DECLARE_METATYPE(crd_client_info_t)
