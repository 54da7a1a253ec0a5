#pragma once
// The bridge's parameters, read once at start-up and checked: a bad value is
// said (critical, naming it) and its built-in default taken instead.

#include <QByteArray>
#include <QString>
#include <cstdint>

class CorvidConfigData;

struct CorvidMqttSettings {
    QString host;                              // MqttHost; empty: no bridge
    uint16_t port = 1883;                      // MqttPort
    QByteArray topicPrefix = "corvid/station"; // MqttTopicPrefix, UTF-8, no '+' or '#'
    QByteArray clientId;                       // MqttClientId; "corvid-<host name>-<TcpPort>" by default
    int qos = 1;                               // MqttQoS, 0 or 1
    QByteArray username;                       // MqttUsername
    QByteArray password;                       // first line of MqttPasswordFile
    bool hasPassword = false;
    QString caFile, certFile, keyFile;         // MqttCAFile, MqttCertFile, MqttKeyFile
    bool uplink = false;                       // MqttUplink
    int64_t queueLimitBytes = 64ll << 20;      // MqttQueueLimit, in MiB in the file
    int keepAliveSeconds = 30;
    // Off when MqttHost is empty, or when TLS was asked for and cannot be had:
    // the bridge never falls back to plain text.
    bool enabled = false;

    static CorvidMqttSettings read(const CorvidConfigData &config, uint16_t tcpPort);
};
