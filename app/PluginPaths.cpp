#include "app/PluginPaths.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

QStringList corvid_program_plugin_dirs(const char *argv0)
{
    QString exe = QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
    if (exe.isEmpty() && argv0) {
        const QString name = QString::fromLocal8Bit(argv0);
        exe = name.contains(QLatin1Char('/')) ? QFileInfo(name).absoluteFilePath()
                                              : QStandardPaths::findExecutable(name);
    }
    if (exe.isEmpty())
        return {};
    const QString dir = QFileInfo(exe).absolutePath();
    return {QDir::cleanPath(dir + QStringLiteral("/../plugins")),
            QDir::cleanPath(dir + QStringLiteral("/" CORVID_PLUGIN_DIR_FROM_BIN))};
}

QStringList corvid_library_paths(const QStringList &defaults, const QStringList &programPluginDirs)
{
    QStringList paths;
    for (const QString &path : defaults + programPluginDirs) {
        if (!path.isEmpty() && !QDir::isRelativePath(path) && !paths.contains(path))
            paths << path;
    }
    return paths;
}
