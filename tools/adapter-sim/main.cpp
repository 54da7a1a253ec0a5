// corvid-adapter-sim: a serial CAN adapter on a pseudo-terminal, carrying
// frames to and from Qt's virtual CAN bus.

#include "engine/TerminationSignals.h"
#include "tools/adapter-sim/AdapterSim.h"
#include "tools/tool_command_line.h"

#include <QLoggingCategory>
#include <QSocketNotifier>
#include <cstdio>
#include <unistd.h>

namespace {

const char *kDescription =
    "Creates a pseudo-terminal that behaves like a USB serial CAN adapter and\n"
    "prints its path as the first line on stdout. It answers the version\n"
    "queries, bit rate, open and close, acknowledges every transmitted frame with\n"
    "\"z\\r\" and carries frames between the terminal and Qt's virtual CAN bus.\n"
    "Lines \"mute\" and \"unmute\" on stdin stop and resume the answers to version\n"
    "queries (the watchdog's polls). SIGTERM or SIGINT ends it.\n"
    "Exit status: 0 when ended, 1 when the terminal, link or bus failed, 2 for\n"
    "usage errors.";

}  // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("corvid-adapter-sim"));
    QLoggingCategory::setFilterRules(QStringLiteral("qt.canbus*=false"));

    QCommandLineParser cl;
    cl.setApplicationDescription(QString::fromLatin1(kDescription));
    const QString link = QStringLiteral("link"), device = QStringLiteral("device"), hw = QStringLiteral("hw-version"),
                  ack = QStringLiteral("ack"), delay = QStringLiteral("ack-delay");
    cl.addOptions({
        {link, QStringLiteral("Also make PATH a symlink to the terminal."), QStringLiteral("PATH")},
        {device, QStringLiteral("Virtual CAN channel (default can0)."), QStringLiteral("NAME"), QStringLiteral("can0")},
        {QStringLiteral("no-bus"), QStringLiteral("Do not join the virtual CAN bus.")},
        {hw, QStringLiteral("Hardware version reply: 0200 (high-speed) or 0100 (low-speed)."),
         QStringLiteral("VER"), QStringLiteral("0200")},
        {ack, QStringLiteral("Frame acknowledgement: now, late, never or bel (default now)."),
         QStringLiteral("MODE"), QStringLiteral("now")},
        {delay, QStringLiteral("Delay of a late acknowledgement in ms (default 100)."), QStringLiteral("MS"),
         QStringLiteral("100")},
        {QStringLiteral("noise"), QStringLiteral("Send junk bytes, bare CR and BEL between replies.")},
        {QStringLiteral("split"), QStringLiteral("Write replies in small pieces at odd places.")},
        {QStringLiteral("mute-watchdog"), QStringLiteral("Start without answering version queries.")},
        {QStringLiteral("lower-hex"), QStringLiteral("Write frame hex digits in lower case.")},
        {QStringLiteral("trace"), QStringLiteral("Print every line received (\"< LINE\").")},
    });
    corvid_tool_parse(cl);

    AdapterSimOptions o;
    o.link = cl.value(link);
    o.device = cl.value(device);
    o.bus = !cl.isSet(QStringLiteral("no-bus"));
    o.hardwareVersion = cl.value(hw).toLatin1();
    if (o.hardwareVersion != "0200" && o.hardwareVersion != "0100")
        corvid_tool_usage_error(QStringLiteral("--hw-version: expected 0200 or 0100"));
    const QString mode = cl.value(ack);
    if (mode == QLatin1String("now"))
        o.ack = AdapterSimOptions::Ack::Now;
    else if (mode == QLatin1String("late"))
        o.ack = AdapterSimOptions::Ack::Late;
    else if (mode == QLatin1String("never"))
        o.ack = AdapterSimOptions::Ack::Never;
    else if (mode == QLatin1String("bel"))
        o.ack = AdapterSimOptions::Ack::Bel;
    else
        corvid_tool_usage_error(QStringLiteral("--ack: expected now, late, never or bel"));
    bool ok = false;
    o.ackDelayMs = cl.value(delay).toInt(&ok);
    if (!ok || o.ackDelayMs < 0 || o.ackDelayMs > 600000)
        corvid_tool_usage_error(QStringLiteral("--ack-delay: expected 0 to 600000"));
    o.noise = cl.isSet(QStringLiteral("noise"));
    o.split = cl.isSet(QStringLiteral("split"));
    o.muteWatchdog = cl.isSet(QStringLiteral("mute-watchdog"));
    o.lowerHex = cl.isSet(QStringLiteral("lower-hex"));
    o.trace = cl.isSet(QStringLiteral("trace"));

    corvid_quit_on_termination_signals(app);
    AdapterSim sim(o);
    QString error;
    if (!sim.start(&error)) {
        std::fprintf(stderr, "corvid-adapter-sim: %s\n", qPrintable(error));
        return 1;
    }
    std::printf("%s\n", qPrintable(sim.path()));
    std::fflush(stdout);

    QSocketNotifier control(STDIN_FILENO, QSocketNotifier::Read);
    QByteArray pending;
    QObject::connect(&control, &QSocketNotifier::activated, &app, [&] {
        char buf[256];
        const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n <= 0) {
            control.setEnabled(false);  // no controller: run on
            return;
        }
        pending.append(buf, int(n));
        int end;
        while ((end = pending.indexOf('\n')) >= 0) {
            const QByteArray line = pending.left(end).trimmed();
            pending.remove(0, end + 1);
            if (line == "mute" || line == "unmute")
                sim.setWatchdogMuted(line == "mute");
            else
                std::fprintf(stderr, "corvid-adapter-sim: unknown control line '%s'\n", line.constData());
        }
    });

    const int rc = app.exec();
    std::fprintf(stderr, "corvid-adapter-sim: %llu frames to the bus, %llu from the bus\n",
                 (unsigned long long)sim.framesToBus(), (unsigned long long)sim.framesFromBus());
    return rc;
}
