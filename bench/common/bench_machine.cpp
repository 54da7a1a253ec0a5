#include "bench/common/bench_machine.h"

#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QStandardPaths>

#include <algorithm>
#include <sched.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace {

// First line of a program's output, empty when it cannot run.
QString firstLine(const QString &program, const QStringList &args)
{
    const QString exe = QStandardPaths::findExecutable(program).isEmpty()
                            ? QStandardPaths::findExecutable(program, {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")})
                            : QStandardPaths::findExecutable(program);
    if (exe.isEmpty())
        return QString();
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(exe, args);
    if (!p.waitForFinished(5000)) {
        p.kill();
        p.waitForFinished(1000);
        return QString();
    }
    return QString::fromLocal8Bit(p.readAll()).section(QLatin1Char('\n'), 0, 0).trimmed();
}

QString virtualisation()
{
    QFile cpuinfo(QStringLiteral("/proc/cpuinfo"));
    bool hypervisor = false;
    if (cpuinfo.open(QIODevice::ReadOnly))
        hypervisor = QRegularExpression(QStringLiteral("^flags\\s*:.*\\bhypervisor\\b"), QRegularExpression::MultilineOption)
                         .match(QString::fromLatin1(cpuinfo.readAll()))
                         .hasMatch();
    QString vm = firstLine(QStringLiteral("systemd-detect-virt"), {QStringLiteral("--vm")});
    if (vm == QLatin1String("none") || vm.contains(QLatin1Char(' ')))
        vm.clear();
    QString text = hypervisor || !vm.isEmpty() ? QStringLiteral("in a VM") : QStringLiteral("not in a VM");
    if (!vm.isEmpty())
        text += QStringLiteral(" (%1)").arg(vm);
    const QString container = firstLine(QStringLiteral("systemd-detect-virt"), {QStringLiteral("--container")});
    if (!container.isEmpty() && container != QLatin1String("none") && !container.contains(QLatin1Char(' ')))
        text += QStringLiteral(", in a container (%1)").arg(container);
    return text;
}

} // namespace

double benchSyscallNs()
{
    double best = 0;
    for (int round = 0; round < 7; ++round) {
        constexpr int kCalls = 100000;
        QElapsedTimer t;
        t.start();
        for (int i = 0; i < kCalls; ++i)
            ::syscall(SYS_getppid);
        const double ns = double(t.nsecsElapsed()) / kCalls;
        if (round == 0 || ns < best)
            best = ns;
    }
    return best;
}

QString benchMachineLine()
{
    utsname u{};
    ::uname(&u);
    const QString mosquitto = firstLine(QStringLiteral("mosquitto"), {QStringLiteral("-h")});
    const QRegularExpressionMatch version = QRegularExpression(QStringLiteral("version (\\S+)")).match(mosquitto);
    return QStringLiteral("machine: %1 %2 %3, %4, %5 CPUs; one system call %6 ns (getppid loop); mosquitto %7")
        .arg(QString::fromLocal8Bit(u.sysname), QString::fromLocal8Bit(u.release), QString::fromLocal8Bit(u.machine),
             virtualisation())
        .arg(::sysconf(_SC_NPROCESSORS_ONLN))
        .arg(benchSyscallNs(), 0, 'f', 0)
        .arg(version.hasMatch() ? version.captured(1) : QStringLiteral("not found"));
}

BenchPlacement benchPlacement()
{
    BenchPlacement p;
    const QStringList cpus = qEnvironmentVariable("CORVID_BENCH_PIN").split(QLatin1Char(','));
    if (cpus.size() != 2)
        return p;
    bool ok1 = false, ok2 = false;
    const int load = cpus[0].trimmed().toInt(&ok1), peer = cpus[1].trimmed().toInt(&ok2);
    const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
    if (!ok1 || !ok2 || load < 0 || peer < 0 || load >= online || peer >= online ||
        QStandardPaths::findExecutable(QStringLiteral("taskset")).isEmpty())
        return p;
    p.load = load;
    p.peer = peer;
    return p;
}

QString benchPlacementLine()
{
    const BenchPlacement p = benchPlacement();
    if (!p.pinned())
        return QStringLiteral("placement: nothing pinned, the kernel places load programs and the processes they drive "
                              "alike (CORVID_BENCH_PIN=LOAD,PEER pins them)");
    return QStringLiteral("placement: pinned, load programs and device stand-ins on CPU %1, the processes under test "
                          "(server, broker, ceiling) on CPU %2")
        .arg(p.load)
        .arg(p.peer);
}

void benchPinSelf()
{
    const BenchPlacement p = benchPlacement();
    if (!p.pinned())
        return;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(p.load, &set);
    ::sched_setaffinity(0, sizeof set, &set);
}

void benchStart(QProcess &process, const QString &program, const QStringList &args, BenchRole role)
{
    const BenchPlacement p = benchPlacement();
    if (!p.pinned()) {
        process.start(program, args);
        return;
    }
    // taskset execs the program: the process id stays the program's own.
    process.start(QStandardPaths::findExecutable(QStringLiteral("taskset")), QStringList{QStringLiteral("-c"), QString::number(role == BenchRole::Peer ? p.peer : p.load), program} + args);
}
