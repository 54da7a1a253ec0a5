#include "app/CommandLine.h"

#include "app/InterfaceSelection.h"
#include "config/CorvidConfigData.h"
#include "corvid_version.h"
#include "server/CorvidServer.h"

#include <QFileInfo>

#include <cstdio>
#include <memory>

namespace {

const char kUsage[] = "Usage: corvid-server [--config FILE] [--check-config [FILE]] [--help] [--version] [Qt options]\n";

const char kHelp[] =
    "\n"
    "Runs the Corvid ground-station bus server: one link to a device bus (the\n"
    "parameter Interface) and the control applications on TcpPort. Without a\n"
    "window (DisableGUI 1) it runs until SIGTERM or SIGINT.\n"
    "\n"
    "  --config FILE          run on FILE instead of server_config.xml in the\n"
    "                         working directory (without either: the built-in\n"
    "                         default); relative log paths in it stay relative\n"
    "                         to the working directory\n"
    "  --check-config [FILE]  read and check the configuration (FILE, else the\n"
    "                         --config file, else the one the server would use),\n"
    "                         print every problem the server would report, and\n"
    "                         exit: 0 when there is none, 1 otherwise\n"
    "  -h, --help             show this text\n"
    "  --version              show the version\n"
    "\n"
    "Qt's own options (-platform NAME, -style NAME, ...) go to Qt.\n"
    "A parameter that is absent or empty takes its built-in default.\n"
    "\n"
    "Exit status: 0 after SIGTERM or SIGINT or when the window was closed;\n"
    "1 when --check-config found a problem or the --config file cannot be\n"
    "read; 2 for a usage error; 255 when the error log cannot be created or\n"
    "the server cannot go on (see corvid-server(8)).\n";

struct Parsed {
    enum Action { Run, Help, Version, Check, Usage } action = Run;
    QString configFile;  // --config
    QString checkFile;   // --check-config FILE
    QString error;
};

Parsed parse(const QStringList &args)
{
    Parsed p;
    auto usage = [&p](const QString &error) {
        p.action = Parsed::Usage;
        p.error = error;
        return p;
    };
    for (int i = 1; i < args.size(); ++i) {
        const QString &arg = args.at(i);
        if (arg == QLatin1String("-h") || arg == QLatin1String("--help")) {
            p.action = Parsed::Help;
            return p;
        }
        if (arg == QLatin1String("--version")) {
            p.action = Parsed::Version;
            return p;
        }
        if (arg == QLatin1String("--check-config")) {
            p.action = Parsed::Check;
            if (i + 1 < args.size() && !args.at(i + 1).startsWith(QLatin1Char('-')))
                p.checkFile = args.at(++i);
        } else if (arg.startsWith(QLatin1String("--check-config="))) {
            p.action = Parsed::Check;
            p.checkFile = arg.section(QLatin1Char('='), 1);
        } else if (arg == QLatin1String("--config")) {
            if (i + 1 >= args.size())
                return usage(QStringLiteral("option '--config' needs a FILE"));
            p.configFile = args.at(++i);
        } else if (arg.startsWith(QLatin1String("--config="))) {
            p.configFile = arg.section(QLatin1Char('='), 1);
        } else {
            return usage(QString::fromLatin1(arg.startsWith(QLatin1Char('-')) ? "unknown option '%1'"
                                                                               : "unexpected argument '%1'")
                             .arg(arg));
        }
    }
    return p;
}

int g_problems = 0;

// Every warning and worse, printed as the server would write it, and counted.
void printProblem(QtMsgType type, const QMessageLogContext &, const QString &msg)
{
    if (type == QtDebugMsg || type == QtInfoMsg)
        return;
    ++g_problems;
    QString text = msg;
    while (text.endsWith(QLatin1Char('\n')))
        text.chop(1);
    std::fprintf(stderr, "%s: %s\n", type == QtWarningMsg ? "Warning" : "Critical", qUtf8Printable(text));
}

int checkConfiguration(const QString &explicitFile)
{
    const QString file = corvid_config_file(explicitFile);
    const bool builtIn = file == CorvidConfigData::defaultConfigFile();
    const QString name = builtIn ? QStringLiteral("the built-in default") : file;
    if (builtIn)
        std::printf("No %s in the working directory\n", CorvidConfigData::LOCAL_CONFIG_FILE);
    g_problems = 0;
    const QtMessageHandler previous = qInstallMessageHandler(printProblem);
    std::unique_ptr<CorvidConfigData> config(corvid_load_configuration(file));
    std::fflush(stdout);  // "Bad file format" goes there
    qInstallMessageHandler(previous);
    if (g_problems == 0) {
        std::printf("%s: configuration ok\n", qUtf8Printable(name));
        return 0;
    }
    std::fprintf(stderr, "%s: %d problem%s\n", qUtf8Printable(name), g_problems, g_problems == 1 ? "" : "s");
    return 1;
}

}  // namespace

QString corvid_config_file(const QString &explicitFile)
{
    return explicitFile.isEmpty() ? CorvidConfigData::startupConfigFile() : explicitFile;
}

CorvidConfigData *corvid_load_configuration(const QString &file)
{
    auto *config = new CorvidConfigData(file);
    corvid_check_interface_value(config->getParam(QStringLiteral("Interface")));
    return config;
}

std::optional<int> corvid_handle_command_line(const QStringList &arguments, QString *configFile)
{
    const Parsed p = parse(arguments);
    switch (p.action) {
    case Parsed::Help:
        std::printf("%s%s", kUsage, kHelp);
        return 0;
    case Parsed::Version:
        std::printf("corvid-server %s (Corvid dedicated server, server version %u)\n", CORVID_VERSION,
                    CORVID_SERVER_VERSION);
        return 0;
    case Parsed::Usage:
        std::fprintf(stderr, "corvid-server: %s\n%sTry 'corvid-server --help'.\n", qUtf8Printable(p.error), kUsage);
        return 2;
    case Parsed::Check:
        return checkConfiguration(p.checkFile.isEmpty() ? p.configFile : p.checkFile);
    case Parsed::Run:
        break;
    }
    const QFileInfo given(p.configFile);
    if (!p.configFile.isEmpty() && !(given.isFile() && given.isReadable())) {
        std::fprintf(stderr, "corvid-server: cannot read the configuration file %s\n", qUtf8Printable(p.configFile));
        return 1;
    }
    *configFile = corvid_config_file(p.configFile);
    return std::nullopt;
}
