#pragma once
// The server's own command line. Qt's options (-platform NAME, -style NAME,
// ...) are taken out by the application object before this sees the arguments.

#include <QString>
#include <QStringList>

#include <optional>

class CorvidConfigData;

// The configuration file to use: `explicitFile` when given, else
// server_config.xml in the working directory, else the built-in default.
QString corvid_config_file(const QString &explicitFile);

// Loads the configuration as the server runs on it; what is wrong with it is
// said as diagnostics, an `Interface` value that is no keyword included.
CorvidConfigData *corvid_load_configuration(const QString &file);

// Handles the arguments (the program name first). Returns the exit status
// when the program ends here: --help, --version, --check-config, a usage
// error, a --config file that cannot be read. Otherwise returns nothing and
// puts the configuration file to run on into *configFile.
std::optional<int> corvid_handle_command_line(const QStringList &arguments, QString *configFile);
