#pragma once
// What the figures were taken on, printed above every table: they depend on
// it. A system call's cost moves the fan-out comparison most, since the broker
// pays several per message and receiver where the server batches its writes.
// And where each process ran: load programs and the processes they drive are
// either all left to the kernel or pinned, the load on one CPU and everything
// it drives on another (CORVID_BENCH_PIN=LOAD,PEER).

#include <QProcess>
#include <QString>
#include <QStringList>

// Nanoseconds per system call: the least of a few rounds of a tight getppid loop.
double benchSyscallNs();
// Kernel, VM or not, CPUs, the system call's cost and the mosquitto version.
QString benchMachineLine();

struct BenchPlacement {
    int load = -1;  // CPU of the load programs, -1 when not pinned
    int peer = -1;  // CPU of the processes under test
    bool pinned() const { return load >= 0 && peer >= 0; }
};
// From CORVID_BENCH_PIN ("0,1"); not pinned when unset, not two CPUs of this
// machine, or without taskset.
BenchPlacement benchPlacement();
QString benchPlacementLine();
// Pins this process when placement asks for it; call before any thread starts.
void benchPinSelf();
// What a started process is: under test (server, broker, ceiling) or part of
// the load (device and adapter stand-ins, the virtual bus's host).
enum class BenchRole { Peer, Load };
// Starts a process on its role's CPU when pinned.
void benchStart(QProcess &process, const QString &program, const QStringList &args,
                BenchRole role = BenchRole::Peer);
