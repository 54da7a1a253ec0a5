// Entry point of the server: builds everything in a fixed order, runs the Qt
// event loop, and on the way out closes the link and flushes the message log.

#include "app/CommandLine.h"
#include "app/CorvidDiagnostics.h"
#include "app/InterfaceSelection.h"
#include "app/LogRotation.h"
#include "app/PluginPaths.h"
#include "app/StartupSettings.h"
#include "app/StationMetrics.h"
#include "app/SystemdNotify.h"
#include "config/CorvidConfigData.h"
#include "connectors/AbstractConnector.h"
#include "connectors/OperatorPrompt.h"
#include "engine/CorvidEngine.h"
#include "engine/TerminationSignals.h"
#include "engine/corvid_types.h"
#include "log/CorvidLog.h"
#include "log/LogWorker.h"
#include "server/CorvidMqttBridge.h"
#include "server/CorvidServer.h"
#include "server/descriptor_limit.h"
#include "ui/CorvidConfigDialog.h"
#include "ui/CorvidServerWidget.h"
#include "ui/GuiPrompt.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QIcon>
#include <QLoggingCategory>
#include <QPushButton>
#include <QTextCodec>
#include <QTextStream>

#include <cstdio>
#include <memory>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcApp, "corvid.app", QtWarningMsg)

namespace {

// Process-wide objects; they stay reachable until the process ends.
QApplication *g_app = nullptr;
CorvidConfigData *g_config = nullptr;
CorvidEngine *g_engine = nullptr;
QFile *g_errorLogFile = nullptr;
QTextStream *g_errorLogStream = nullptr;
AbstractConnector *g_firstConnector = nullptr;
CorvidServer *g_server = nullptr;
CorvidServerWidget *g_window = nullptr;

// Without a display there is nobody to see a window or answer a dialog: use the
// offscreen platform instead of letting the window system plugin abort.
void choosePlatform()
{
    if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        return;
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    else
        qputenv("QT_QPA_PLATFORM", qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ? "xcb;offscreen"
                                                                               : "wayland;xcb;offscreen");
#endif
}

// While TZ is unset, glibc checks /etc/localtime with a stat at every local
// time conversion, and Qt converts several times per message (the virtual
// bus stamps every frame): more than half of the server's CPU per message.
// Naming the file once ends that. A change of the system's time zone then
// takes effect at the next start; the zone's own rules (summer time) still
// apply at once.
void readTimeZoneOnce()
{
#if defined(Q_OS_LINUX)
    if (!qEnvironmentVariableIsSet("TZ") && QFileInfo::exists(QStringLiteral("/etc/localtime")))
        qputenv("TZ", ":/etc/localtime");
#endif
}

bool hasDisplay()
{
    const QString platform = QGuiApplication::platformName();
    return platform != QLatin1String("offscreen") && platform != QLatin1String("minimal");
}

// On a display, launch errors are shown in a box; every other question is
// answered as without a window until the window brings its own prompt.
class LaunchPrompt final : public HeadlessPrompt {
public:
    void launchError(const QString &text) override
    {
        GuiPrompt::showLaunchError(text);
    }
};

}  // namespace

int main(int argc, char *argv[])
{
    // Qt plugins: Qt's own places and the plugins folder beside the program.
    QCoreApplication::setLibraryPaths(
        corvid_library_paths(QCoreApplication::libraryPaths(), corvid_program_plugin_dirs(argv[0])));
#ifdef Q_OS_WIN
    QApplication::setStyle(QStringLiteral("windowsvista"));
#endif
    choosePlatform();
    readTimeZoneOnce();
    // Qt's own poll loop rather than GLib's: GLib wakes its loop each time a
    // socket notifier is switched on or off, twice per client and message,
    // and the fan-out pays for that in latency. An operator may still choose.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");

    // The application, the diagnostic handler and what signals carry.
    g_app = new QApplication(argc, argv);
    QString configFile;
    if (const std::optional<int> status = corvid_handle_command_line(QCoreApplication::arguments(), &configFile))
        return *status;
    corvid_install_diagnostics();
    // Every connection holds a descriptor; the bounds on them follow the limit.
    corvid_raise_descriptor_limit();
    corvid_register_metatypes();
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));
    corvid_quit_on_termination_signals(*g_app);
    corvid_on_hangup_signal(*g_app, {});  // never ends the server; the log rotation takes it below
    // Qt's CAN plugins speak in their own category, with raw pointers.
    QLoggingCategory::setFilterRules(QStringLiteral("qt.canbus*=false"));
    static LaunchPrompt launchPrompt;
    if (hasDisplay())
        corvid_set_prompt(&launchPrompt);
    LogWorker::setLaunchErrorHandler([](const QString &text) { corvid_prompt().launchError(text); });

    // The configuration: the --config file, else the working directory's, else built in.
    g_config = corvid_load_configuration(configFile);
    const StartupSettings settings = StartupSettings::read(*g_config);

    // The per-run error log.
    const QDateTime startUtc = QDateTime::currentDateTimeUtc();
    g_errorLogFile = new QFile();
    if (!corvid_open_error_log(*g_errorLogFile, settings.errorLogPrefix, startUtc)) {
        const QString text = QStringLiteral("Cannot create error log file. %1: %2")
                                 .arg(g_errorLogFile->fileName(), g_errorLogFile->errorString());
        std::fputs(qUtf8Printable(QStringLiteral("Launch error: ") + text + QLatin1Char('\n')), stderr);
        corvid_prompt().launchError(text);
        return -1;
    }
    g_errorLogStream = new QTextStream(g_errorLogFile);
    // The start line first, then what was said before the file existed.
    corvid_write_error_log_start(*g_errorLogStream, startUtc);
    corvid_set_error_log_stream(g_errorLogStream);
    corvid_echo_to_standard_error();
    qCDebug(lcApp).noquote() << "Qt plugins searched in:" << QCoreApplication::libraryPaths().join(QStringLiteral(", "));

    // The main window, when there is a display to show it on. It
    // shows the diagnostics kept so far once, ahead of all later ones.
    static GuiPrompt guiPrompt;
    if (settings.graphical && hasDisplay()) {
        g_window = new CorvidServerWidget();
        g_app->setWindowIcon(QIcon(QStringLiteral(":halcyon_server.ico")));
        QString pending = corvid_set_diagnostic_sink(g_window, [](const QString &line) { g_window->appendText(line); });
        if (pending.endsWith(QLatin1Char('\n')))
            pending.chop(1);
        if (!pending.isEmpty())
            g_window->appendText(pending);
        corvid_set_prompt(&guiPrompt);
    } else {
        if (settings.graphical)
            qWarning("No display available, running without the main window");
        corvid_discard_pending_diagnostics();
    }
    const bool guiMode = g_window != nullptr;

    // The one engine and the first link, which the hub takes over.
    g_engine = new CorvidEngine();
    g_firstConnector = createConnector(g_config, *g_engine, guiMode);
    g_firstConnector->guiMode = guiMode;

    // The hub; it closes the link when the event loop ends. A link that
    // cannot go on without its device ends the program here, not in a library.
    g_server = new CorvidServer(g_firstConnector, g_config, uint16_t(g_config->tcpPort()), g_window, nullptr);
    g_server->setConnectorFactory([](bool gui) { return createConnector(g_config, *g_engine, gui); });
    g_server->attachToEngine(*g_engine);
    QObject::connect(g_app, &QCoreApplication::aboutToQuit, g_server, &CorvidServer::slotCloseServer);
    QObject::connect(g_server, &CorvidServer::abortRequested, g_app, [] { QCoreApplication::exit(-1); });

    // The parameters dialog, reached from the window.
    CorvidConfigDialog *configDialog = nullptr;
    if (g_window) {
        configDialog = new CorvidConfigDialog(g_config, g_window, g_app);
        QObject::connect(g_window->get_m_btnParms(), &QPushButton::pressed, configDialog,
                         &CorvidConfigDialog::slotShowDialog);
        g_window->setWindowIcon(QIcon(QStringLiteral(":halcyon_server.ico")));
    }

    // Client limit and the Telnet terminals.
    if (settings.hasMaxClients)
        g_server->setMaxClients(settings.maxClients);
    g_server->telnetCRLF = settings.telnetCRLF;
    g_server->telnetDebug = settings.telnetDebug;
    g_server->telnetDeEsc = settings.telnetDeEsc;
    g_server->telnetUhfBuffer = settings.telnetUhfBuffer;
    if (settings.hasTelnetDevices) {
        if (settings.hasCcAddress)
            g_server->ccAddress = settings.ccAddress;
        const uint16_t own = settings.hasCcAddress ? settings.ccAddress : uint16_t(1);
        for (const uint16_t address : settings.telnetDevices)
            g_server->addTelnetDevice(address, own, 0xFFF1, settings.telnetDeEsc, settings.telnetCRLF,
                                      settings.telnetUhfBuffer, settings.telnetUhfDelay, settings.telnetDebug);
    }

    // The message log sees every message in the order the hub emits it.
    if (!settings.messageLogEnabled)
        qInfo("Corvid log disabled by user");
    const QString logDir = g_config->corvidLogFile();
    if (!logDir.isEmpty() && !QDir(logDir).exists())
        QDir().mkpath(logDir);
    auto *log = new CorvidLog(logDir, settings.messageLogEnabled, g_config->numLogThreads(), nullptr);
    QObject::connect(g_server, &CorvidServer::signalLogData, log, &CorvidLog::slotAppendCorvidToLog,
                     Qt::DirectConnection);
    // New log files on SIGHUP and every LogRotateHours; old ones go after LogKeepDays.
    auto *rotation = new LogRotation({settings.errorLogPrefix, logDir, qint64(settings.logRotateHours) * 3600000,
                                      int(settings.logKeepDays)},
                                     g_errorLogFile, g_errorLogStream, startUtc, log);
    corvid_on_hangup_signal(*g_app, [rotation] { rotation->rotate(QStringLiteral("SIGHUP")); });
    g_errorLogFile = nullptr;  // the rotation owns the error log from here on
    g_errorLogStream = nullptr;

    // The station's traffic to an MQTT broker, when MqttHost names one.
    std::unique_ptr<CorvidMqttBridge> mqtt;
    if (const auto mqttSettings = CorvidMqttSettings::read(*g_config, g_server->tcpPort()); mqttSettings.enabled) {
        mqtt = std::make_unique<CorvidMqttBridge>(mqttSettings);
        mqtt->serverVersion = CORVID_SERVER_VERSION;
        QObject::connect(g_server, &CorvidServer::messageLogged, mqtt.get(), &CorvidMqttBridge::slotMessage);
        QObject::connect(g_server, &CorvidServer::statusChanged, mqtt.get(), &CorvidMqttBridge::slotStatus);
        if (mqttSettings.uplink)
            mqtt->setUplink([](const corvid_message &msg) { return g_server->slotSendFromBridge(msg); });
        mqtt->start();
    }

    // The numbers a monitoring system scrapes, when MetricsPort asks for them.
    std::unique_ptr<StationMetrics> metrics;
    if (settings.metricsPort != 0) {
        metrics = std::make_unique<StationMetrics>(*g_server, *log, mqtt.get(), startUtc);
        metrics->start(settings.metricsAddress, settings.metricsPort);
    }

    // Listen, show the window, run.
    g_server->startServer();
    if (g_window) {
        QObject::connect(g_config, &CorvidConfigData::paramChanged, g_server, &CorvidServer::slotParamChanged);
        g_window->setBaseSize(640, 480);
        g_window->show();
    }
    // Ready once the control port is open, now or after a listen retry.
    SystemdNotify systemd;
    QObject::connect(g_server->tcpServer(), &CorvidTCPserver::listeningResumed, &systemd, &SystemdNotify::notifyReady);
    if (g_server->tcpServer()->serverPort() != 0)
        systemd.notifyReady();
    systemd.followServer(*g_server);
    const int result = g_app->exec();
    metrics.reset();  // it reads the objects below
    mqtt.reset();  // publishes what waits, then the server shows offline
    delete log;
    corvid_write_repeat_counts();  // of what the shutdown said again
    // Qt still speaks while it unloads libraries (OpenSSL, with the plugin
    // trace on), after the text codecs a stream needs are gone.
    corvid_set_error_log_stream(nullptr);
    return result;
}
