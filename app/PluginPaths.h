#pragma once
// Where the server looks for Qt plugins: Qt's own places and the plugin
// folders that come with the program, never the working directory, which
// would load code from wherever the server happens to be started.

#include <QString>
#include <QStringList>

// The plugin folders of the program, found from the directory of the running
// executable: "../plugins" (the build tree) and the installed plugin folder
// relative to the installed program. Works before the application object
// exists; `argv0` is the fallback where the executable cannot be asked for
// its own path.
QStringList corvid_program_plugin_dirs(const char *argv0);

// `defaults` without relative entries (".", "plugins", ...), with the
// program's folders added after them once each.
QStringList corvid_library_paths(const QStringList &defaults, const QStringList &programPluginDirs);
