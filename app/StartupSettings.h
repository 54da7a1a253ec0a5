#pragma once
// The handful of parameters the start-up reads itself, converted once, so that
// the order of building in main() stays readable and the conversions testable.

#include <QDateTime>
#include <QHostAddress>
#include <QString>
#include <QVector>
#include <cstdint>

class CorvidConfigData;

struct StartupSettings {
    QString errorLogPrefix;          // ErrorLogFile; the built-in default when absent or blank
    bool graphical = true;           // DisableGUI absent or 0 (a text that does not convert counts as 0)
    bool hasMaxClients = false;      // MaxTCPClients present
    uint32_t maxClients = 0;         // base from the prefix
    bool telnetCRLF = false;
    bool telnetDebug = false;
    bool telnetDeEsc = true;
    uint16_t telnetUhfBuffer = 0;
    uint16_t telnetUhfDelay = 0;
    bool hasTelnetDevices = false;   // TELNET_Devices present
    QVector<uint16_t> telnetDevices; // parts that convert, in order, repeats kept
    bool hasCcAddress = false;       // CC_Address present and hexadecimal (read only with TELNET_Devices)
    uint16_t ccAddress = 1;
    bool messageLogEnabled = true;   // off only for CorvidLogDisable exactly "1"
    uint32_t logRotateHours = 0;     // LogRotateHours; 0: new log files only on SIGHUP
    uint32_t logKeepDays = 0;        // LogKeepDays; 0: old log files are kept
    uint16_t metricsPort = 0;        // MetricsPort; 0: no metrics endpoint
    QHostAddress metricsAddress{QHostAddress::LocalHost};  // MetricsListenAddress; a bad one is said

    static StartupSettings read(const CorvidConfigData &config);
};

