#include "server/CorvidMqttSettings.h"

#include "config/CorvidConfigData.h"
#include "config/corvid_config_convert.h"

#include <QFile>
#include <QHostInfo>

namespace {

void critical(const QString &text)
{
    qCritical("%s", qUtf8Printable(text));
}

// A numeric parameter: absent or blank is its default, silently; a value out
// of range has been said by the store when it loaded.
int64_t number(const CorvidConfigData &config, const char *name, int64_t min, int64_t max, int64_t fallback)
{
    const QString text = config.getParam(QLatin1String(name));
    qint64 value = fallback;
    if (text.trimmed().isEmpty() || !corvid_config_number_in_range(text, CORVID_BASE_DEC, min, max, &value))
        return fallback;
    return value;
}

// A file the bridge needs: readable, or said and refused.
bool readable(const char *parameter, const QString &path)
{
    QFile file(path);
    if (file.open(QIODevice::ReadOnly))
        return true;
    critical(QStringLiteral("Parameter %1: cannot read \"%2\" (%3)").arg(QLatin1String(parameter), path,
                                                                        file.errorString()));
    return false;
}

} // namespace

CorvidMqttSettings CorvidMqttSettings::read(const CorvidConfigData &config, uint16_t tcpPort)
{
    CorvidMqttSettings s;
    s.host = config.getParam(QStringLiteral("MqttHost")).trimmed();
    s.port = uint16_t(number(config, "MqttPort", 1, 65535, 1883));
    s.qos = int(number(config, "MqttQoS", 0, 1, 1));
    s.uplink = number(config, "MqttUplink", 0, 1, 0) == 1;
    s.queueLimitBytes = number(config, "MqttQueueLimit", 1, 4096, 64) << 20;

    const QString prefix = config.getParam(QStringLiteral("MqttTopicPrefix")).trimmed();
    if (prefix.contains(QLatin1Char('+')) || prefix.contains(QLatin1Char('#')) || prefix.contains(QChar(0)) ||
        prefix.startsWith(QLatin1Char('/')) || prefix.endsWith(QLatin1Char('/'))) {
        critical(QStringLiteral("Parameter MqttTopicPrefix has the value \"%1\", which is no topic prefix (no '+', "
                                "'#' or '/' at either end); the default %2 is used")
                     .arg(prefix, QString::fromUtf8(s.topicPrefix)));
    } else if (!prefix.isEmpty()) {
        s.topicPrefix = prefix.toUtf8();
    }

    const QString id = config.getParam(QStringLiteral("MqttClientId")).trimmed();
    s.clientId = id.isEmpty() ? QStringLiteral("corvid-%1-%2").arg(QHostInfo::localHostName()).arg(tcpPort).toUtf8()
                              : id.toUtf8();
    s.username = config.getParam(QStringLiteral("MqttUsername")).toUtf8();

    if (s.host.isEmpty())
        return s;
    s.enabled = true;

    const QString passwordFile = config.getParam(QStringLiteral("MqttPasswordFile")).trimmed();
    if (!passwordFile.isEmpty() && readable("MqttPasswordFile", passwordFile)) {
        QFile file(passwordFile);
        file.open(QIODevice::ReadOnly);
        QByteArray line = file.readLine(4096);
        while (line.endsWith('\n') || line.endsWith('\r'))
            line.chop(1);
        s.password = line;
        s.hasPassword = true;
    }

    s.caFile = config.getParam(QStringLiteral("MqttCAFile")).trimmed();
    s.certFile = config.getParam(QStringLiteral("MqttCertFile")).trimmed();
    s.keyFile = config.getParam(QStringLiteral("MqttKeyFile")).trimmed();
    const bool wantsTls = !s.caFile.isEmpty() || !s.certFile.isEmpty() || !s.keyFile.isEmpty();
    if (!wantsTls)
        return s;
    bool ok = true;
    if (s.caFile.isEmpty()) {
        critical(QStringLiteral("Parameter MqttCAFile is empty, yet a client certificate is given: TLS needs the "
                                "broker's CA"));
        ok = false;
    }
    if (s.certFile.isEmpty() != s.keyFile.isEmpty()) {
        critical(QStringLiteral("Parameters MqttCertFile and MqttKeyFile go together; only one is given"));
        ok = false;
    }
    ok = (s.caFile.isEmpty() || readable("MqttCAFile", s.caFile)) && ok;
    ok = (s.certFile.isEmpty() || readable("MqttCertFile", s.certFile)) && ok;
    ok = (s.keyFile.isEmpty() || readable("MqttKeyFile", s.keyFile)) && ok;
    if (!ok) {
        critical(QStringLiteral("MQTT bridge off: its TLS settings cannot be used, and it never falls back to "
                                "plain text"));
        s.enabled = false;
    }
    return s;
}
