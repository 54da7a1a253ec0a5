#include "app/PluginPaths.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

QString corvid_program_plugin_dir(const char *argv0)
{
    QString exe = QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
    if (exe.isEmpty() && argv0) {
        const QString name = QString::fromLocal8Bit(argv0);
        exe = name.contains(QLatin1Char('/')) ? QFileInfo(name).absoluteFilePath()
                                              : QStandardPaths::findExecutable(name);
    }
    if (exe.isEmpty())
        return QString();
    return QDir::cleanPath(QFileInfo(exe).absolutePath() + QStringLiteral("/../plugins"));
}

QStringList corvid_library_paths(const QStringList &defaults, const QString &programPluginDir)
{
    QStringList paths;
    for (const QString &path : defaults) {
        if (!QDir::isRelativePath(path) && !paths.contains(path))
            paths << path;
    }
    if (!programPluginDir.isEmpty() && !QDir::isRelativePath(programPluginDir) && !paths.contains(programPluginDir))
        paths << programPluginDir;
    return paths;
}
