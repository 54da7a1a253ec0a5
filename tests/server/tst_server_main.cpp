// One program for the client-link area: wire protocol, then the acceptor.
#include <QCoreApplication>

int runWireTests(int argc, char **argv);
int runAcceptorTests(int argc, char **argv);

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    int failures = runWireTests(argc, argv);
    failures += runAcceptorTests(argc, argv);
    return failures == 0 ? 0 : 1;
}
