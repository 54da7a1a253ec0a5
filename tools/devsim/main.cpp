// corvid-devsim: a device on the virtual CAN bus, for demos and load tests.

#include "engine/TerminationSignals.h"
#include "engine/corvid_types.h"
#include "tools/client/client_text.h"
#include "tools/devsim/DeviceSimulator.h"
#include "tools/tool_command_line.h"

#include <QLoggingCategory>

namespace {

const char *kDescription =
    "Joins Qt's virtual CAN bus as one device and speaks the Corvid bus protocol\n"
    "with the server's own engine. Every message addressed to the device is\n"
    "printed as one line on stdout (\"rx ID from FROM to TO, N bytes: HEX\") and\n"
    "answered with an echo: same id and data, from and to swapped.\n"
    "With --rate it also sends a stream of messages (the first 8 data bytes are a\n"
    "little-endian sequence number) for load tests.\n"
    "A line containing \"joined\" is printed once the device is on the bus; when the\n"
    "bus goes away the device tries again every second. SIGTERM or SIGINT ends it.\n"
    "With --replay it sends the I lines of a message log written by the server\n"
    "(the messages that came from the bus) again, with their recorded source,\n"
    "destination, id and data and the recorded gaps divided by --speed; O lines\n"
    "are skipped, malformed lines named on stderr and skipped. It ends when the\n"
    "file is done (unless --loop) with a summary; it does not echo.\n"
    "Numbers take a 0x prefix for hexadecimal.\n"
    "Exit status: 0 when ended or done, 1 for a replay file that cannot be read,\n"
    "2 for usage errors.";

uint64_t number(const QCommandLineParser &cl, const QString &name, uint64_t max)
{
    uint64_t v = 0;
    QString error;
    if (!client_parse_number(cl.value(name), max, &v, &error))
        corvid_tool_usage_error(QStringLiteral("--%1: %2").arg(name, error));
    return v;
}

}  // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("corvid-devsim"));
    corvid_register_metatypes();
    // The connector's information lines are for the server's error log; here
    // they would only drown the message lines.
    QLoggingCategory::setFilterRules(QStringLiteral("*.info=false\nqt.canbus*=false"));

    QCommandLineParser cl;
    cl.setApplicationDescription(QString::fromLatin1(kDescription));
    const QString address = QStringLiteral("address"), device = QStringLiteral("device"),
                  rate = QStringLiteral("rate"), count = QStringLiteral("count"), length = QStringLiteral("length"),
                  to = QStringLiteral("to"), msgId = QStringLiteral("msg-id");
    cl.addOptions({
        {address, QStringLiteral("Bus address of the device (default 2)."), QStringLiteral("ADDR"), QStringLiteral("2")},
        {device, QStringLiteral("Virtual CAN channel (default can0)."), QStringLiteral("NAME"), QStringLiteral("can0")},
        {QStringLiteral("no-echo"), QStringLiteral("Do not answer messages.")},
        {QStringLiteral("quiet"), QStringLiteral("Do not print received messages.")},
        {rate, QStringLiteral("Send a stream of N messages per second."), QStringLiteral("N"), QStringLiteral("0")},
        {count, QStringLiteral("Stream length in messages (default: without end)."), QStringLiteral("N"),
         QStringLiteral("0")},
        {length, QStringLiteral("Data bytes per streamed message (default 8)."), QStringLiteral("N"),
         QStringLiteral("8")},
        {to, QStringLiteral("Destination address of the stream (default 1)."), QStringLiteral("ADDR"),
         QStringLiteral("1")},
        {msgId, QStringLiteral("Message id of the stream (default 0x200)."), QStringLiteral("ID"),
         QStringLiteral("0x200")},
        {QStringLiteral("exit-when-done"), QStringLiteral("End when the stream of --count messages is sent.")},
        {QStringLiteral("replay"), QStringLiteral("Send the I lines of a CSV message log again."), QStringLiteral("FILE")},
        {QStringLiteral("speed"), QStringLiteral("Replay at X times the recorded pace; 0: as fast as the bus takes them "
                                                 "(default 1)."),
         QStringLiteral("X"), QStringLiteral("1")},
        {QStringLiteral("loop"), QStringLiteral("Replay the file again and again.")},
    });
    corvid_tool_parse(cl);

    DeviceSimulatorOptions o;
    o.device = cl.value(device);
    o.address = uint16_t(number(cl, address, 0x3FFF));
    o.echo = !cl.isSet(QStringLiteral("no-echo"));
    o.quiet = cl.isSet(QStringLiteral("quiet"));
    bool ok = false;
    o.rate = cl.value(rate).toDouble(&ok);
    if (!ok || o.rate < 0 || o.rate > 1e6)
        corvid_tool_usage_error(QStringLiteral("--rate: expected a number from 0 to 1000000"));
    o.count = number(cl, count, UINT64_MAX);
    o.length = uint16_t(number(cl, length, 65533));
    o.to = uint16_t(number(cl, to, 0x3FFF));
    o.msgId = uint16_t(number(cl, msgId, 0xFFFF));
    o.exitWhenDone = cl.isSet(QStringLiteral("exit-when-done"));
    if (o.exitWhenDone && (o.rate <= 0 || o.count == 0))
        corvid_tool_usage_error(QStringLiteral("--exit-when-done needs --rate and --count"));

    o.replayFile = cl.value(QStringLiteral("replay"));
    if (!o.replayFile.isEmpty()) {
        o.speed = cl.value(QStringLiteral("speed")).toDouble(&ok);
        if (!ok || o.speed < 0 || o.speed > 1e6)
            corvid_tool_usage_error(QStringLiteral("--speed: expected a number from 0 to 1000000"));
        if (o.rate > 0)
            corvid_tool_usage_error(QStringLiteral("--replay does not go with --rate"));
        o.loop = cl.isSet(QStringLiteral("loop"));
        o.echo = false;  // the replayed pass alone, nothing of the device's own
    } else if (cl.isSet(QStringLiteral("speed")) || cl.isSet(QStringLiteral("loop"))) {
        corvid_tool_usage_error(QStringLiteral("--speed and --loop need --replay"));
    }

    corvid_quit_on_termination_signals(app);
    DeviceSimulator sim(o);
    QObject::connect(&sim, &DeviceSimulator::finished, &app, &QCoreApplication::quit, Qt::QueuedConnection);
    QString error;
    if (!sim.start(&error)) {
        fprintf(stderr, "corvid-devsim: %s\n", qPrintable(error));
        return 1;
    }
    const int rc = app.exec();
    if (o.replayFile.isEmpty())
        fprintf(stderr, "corvid-devsim: %llu received, %llu echoed, %llu streamed\n", (unsigned long long)sim.received(),
                (unsigned long long)sim.echoed(), (unsigned long long)sim.streamed());
    else
        fprintf(stderr, "corvid-devsim: replay of %s: %s\n", qPrintable(o.replayFile), qPrintable(sim.replaySummary()));
    return rc;
}
