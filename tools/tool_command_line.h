#pragma once
// The command line every helper program shares: -h/--help and -v/--version
// print and exit 0, a usage error says why on standard error and exits 2.

#include "corvid_version.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <cstdio>
#include <cstdlib>

[[noreturn]] inline void corvid_tool_usage_error(const QString &text)
{
    std::fprintf(stderr, "%s: %s (see --help)\n", qPrintable(QCoreApplication::applicationName()), qPrintable(text));
    std::exit(2);
}

// Parses the application's arguments into `cl`, which holds the tool's own
// options; no positional argument is taken.
inline void corvid_tool_parse(QCommandLineParser &cl)
{
    QCoreApplication::setApplicationVersion(QStringLiteral(CORVID_VERSION));
    const QCommandLineOption help = cl.addHelpOption();
    const QCommandLineOption version = cl.addVersionOption();
    if (!cl.parse(QCoreApplication::arguments()))
        corvid_tool_usage_error(cl.errorText());
    if (cl.isSet(help))
        cl.showHelp(0);
    if (cl.isSet(version))
        cl.showVersion();
    if (!cl.positionalArguments().isEmpty())
        corvid_tool_usage_error(QStringLiteral("unexpected argument '%1'").arg(cl.positionalArguments().first()));
}
