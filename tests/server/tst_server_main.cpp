// One program for the client-link area: wire protocol, the acceptor, the hub.
#include <QCoreApplication>

int runWireTests(int argc, char **argv);
int runAcceptorTests(int argc, char **argv);
int runHubTests(int argc, char **argv);

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    int failures = runWireTests(argc, argv);
    failures += runAcceptorTests(argc, argv);
    failures += runHubTests(argc, argv);
    return failures == 0 ? 0 : 1;
}
