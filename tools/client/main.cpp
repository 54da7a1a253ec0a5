// corvid-client: command-line control application for the Corvid server.

#include "tools/client/ClientOptions.h"
#include "tools/client/CorvidClient.h"
#include "corvid_version.h"

#include <QCoreApplication>
#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("corvid-client"));
    QCoreApplication::setApplicationVersion(QStringLiteral(CORVID_VERSION));

    ClientOptions options;
    ClientOptionsParser parser;
    switch (parser.parse(QCoreApplication::arguments(), &options)) {
    case ClientOptionsParser::Help:
        fputs(ClientOptionsParser::helpText().toUtf8().constData(), stdout);
        return CLIENT_EXIT_OK;
    case ClientOptionsParser::Version:
        puts("corvid-client " CORVID_VERSION " (client protocol version 100)");
        return CLIENT_EXIT_OK;
    case ClientOptionsParser::Error:
        fprintf(stderr, "corvid-client: %s\nTry 'corvid-client --help'.\n", parser.errorText().toUtf8().constData());
        return CLIENT_EXIT_USAGE;
    case ClientOptionsParser::Run:
        break;
    }

    CorvidClient client(options);
    QObject::connect(&client, &CorvidClient::finished, &app, [](int status) { QCoreApplication::exit(status); });
    client.start();
    return app.exec();
}
