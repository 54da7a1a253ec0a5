#include "app/StartupSettings.h"

#include "config/CorvidConfigData.h"
#include "config/corvid_config_convert.h"
#include "server/ManagerHosts.h"

StartupSettings StartupSettings::read(const CorvidConfigData &config)
{
    StartupSettings s;
    auto has = [&config](const char *name) { return config.hasParam(QLatin1String(name)); };
    auto get = [&config](const char *name) { return config.getParam(QLatin1String(name)); };
    auto dec = [&](const char *name) { return corvid_config_to_uint32(get(name), CORVID_BASE_DEC); };

    s.errorLogPrefix = get("ErrorLogFile");
    if (s.errorLogPrefix.trimmed().isEmpty())
        s.errorLogPrefix = CorvidConfigData::builtInValue(QStringLiteral("ErrorLogFile"));

    if (has("DisableGUI")) {
        bool ok = false;
        const int v = get("DisableGUI").trimmed().toInt(&ok, 10);
        s.graphical = !ok || v == 0;
    }

    if (has("MaxTCPClients")) {
        s.hasMaxClients = true;
        s.maxClients = corvid_config_to_uint32(get("MaxTCPClients"), CORVID_BASE_AUTO);
    }

    if (has("TELNET_CRLF"))
        s.telnetCRLF = dec("TELNET_CRLF") != 0;
    if (has("TELNET_DEBUG"))
        s.telnetDebug = dec("TELNET_DEBUG") != 0;
    if (has("TELNET_deEsc"))
        s.telnetDeEsc = dec("TELNET_deEsc") != 0;
    if (has("TELNET_UHF_BUFFER"))
        s.telnetUhfBuffer = uint16_t(dec("TELNET_UHF_BUFFER"));
    if (has("TELNET_UHF_DELAY"))
        s.telnetUhfDelay = uint16_t(dec("TELNET_UHF_DELAY"));

    if (has("TELNET_Devices")) {
        s.hasTelnetDevices = true;
        s.telnetDevices = corvid_config_hex16_list(get("TELNET_Devices"));
        if (has("CC_Address")) {
            bool ok = false;
            const uint16_t cc = corvid_config_hex16(get("CC_Address"), &ok);
            if (ok) {
                s.hasCcAddress = true;
                s.ccAddress = cc;
            }
        }
    }

    s.logRotateHours = dec("LogRotateHours");
    s.logKeepDays = dec("LogKeepDays");
    s.messageLogEnabled = !(has("CorvidLogDisable") && get("CorvidLogDisable") == QLatin1String("1"));

    s.metricsPort = uint16_t(dec("MetricsPort"));
    // Read like the other listen addresses; empty takes the default.
    s.metricsAddress =
        corvid_listen_address_parameter(QStringLiteral("MetricsListenAddress"), get("MetricsListenAddress"),
                                        CorvidConfigData::builtInValue(QStringLiteral("MetricsListenAddress")));
    return s;
}

