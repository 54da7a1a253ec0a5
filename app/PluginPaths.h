#pragma once
// Where the server looks for Qt plugins: Qt's own places and the plugins
// folder that comes with the program, never the working directory, which
// would load code from wherever the server happens to be started.

#include <QString>
#include <QStringList>

// "<directory of the running executable>/../plugins", cleaned. Works before
// the application object exists; `argv0` is the fallback where the
// executable cannot be asked for its own path.
QString corvid_program_plugin_dir(const char *argv0);

// `defaults` without relative entries (".", "plugins", ...), with
// `programPluginDir` added after them once.
QStringList corvid_library_paths(const QStringList &defaults, const QString &programPluginDir);
