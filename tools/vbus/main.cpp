// corvid-vbus: hosts Qt's virtual CAN bus. The process that opens the first
// virtual CAN device serves the bus to every other one; a malformed line from
// any local process ends that host. So the bus lives here, apart from the
// server, which only ever joins it.

#include "engine/TerminationSignals.h"
#include "tools/tool_command_line.h"

#include <QCanBus>
#include <QCanBusDevice>
#include <QHostAddress>
#include <QLoggingCategory>
#include <QTcpServer>
#include <cstdio>
#include <memory>

namespace {

// Where Qt's virtual CAN plugin serves its bus (fixed in the plugin).
constexpr quint16 kBusPort = 35468;

const char *kDescription =
    "Hosts Qt's virtual CAN bus on 127.0.0.1:35468 for the server, the device\n"
    "simulator and the tests, which join it as clients. Start it first.\n"
    "The virtual bus is a test facility: it trusts every local process.\n"
    "Prints a line containing \"hosting\" once the bus is up. SIGTERM or SIGINT ends it.\n"
    "Exit status: 0 when ended, 1 when the bus cannot be hosted, 2 for usage errors.";

[[noreturn]] void fail(const QString &text)
{
    std::fprintf(stderr, "corvid-vbus: %s\n", qPrintable(text));
    std::exit(1);
}

}  // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("corvid-vbus"));
    QLoggingCategory::setFilterRules(QStringLiteral("qt.canbus*=false"));
    QCommandLineParser cl;
    cl.setApplicationDescription(QString::fromLatin1(kDescription));
    corvid_tool_parse(cl);
    corvid_quit_on_termination_signals(app);

    // A device whose port is taken joins the bus of whoever holds it instead
    // of hosting: that would be no host at all.
    {
        QTcpServer probe;
        if (!probe.listen(QHostAddress::LocalHost, kBusPort))
            fail(QStringLiteral("port %1 is taken: a virtual CAN bus is already hosted here").arg(kBusPort));
    }
    QString error;
    std::unique_ptr<QCanBusDevice> device(
        QCanBus::instance()->createDevice(QStringLiteral("virtualcan"), QStringLiteral("can0"), &error));
    if (!device)
        fail(QStringLiteral("no virtual CAN device: %1").arg(error));
    // The host sees all traffic; nobody reads it here.
    QObject::connect(device.get(), &QCanBusDevice::framesReceived, device.get(),
                     [&device] { device->readAllFrames(); });
    QObject::connect(device.get(), &QCanBusDevice::stateChanged, &app,
                     [](QCanBusDevice::CanBusDeviceState state) {
                         if (state == QCanBusDevice::ConnectedState) {
                             std::printf("corvid-vbus: hosting the virtual CAN bus at 127.0.0.1:%u\n", kBusPort);
                             std::fflush(stdout);
                         } else if (state == QCanBusDevice::UnconnectedState) {
                             QCoreApplication::exit(1);
                         }
                     });
    if (!device->connectDevice())
        fail(QStringLiteral("cannot open the virtual CAN bus: %1").arg(device->errorString()));
    const int result = app.exec();
    QObject::disconnect(device.get(), nullptr, &app, nullptr);
    device->disconnectDevice();
    return result;
}
