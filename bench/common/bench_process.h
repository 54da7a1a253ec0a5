#pragma once
// Server programs under load: a free port, the configuration file, waiting for
// the listening socket, and stopping the process.

#include <QList>
#include <QPair>
#include <QProcess>
#include <QString>

using BenchParams = QList<QPair<QString, QString>>;

quint16 benchFreePort();
QByteArray benchServerConfig(const BenchParams &params);
// False when the process ended or did not listen in time.
bool benchWaitForListen(quint16 port, QProcess &proc, int timeoutMs);
void benchStopProcess(QProcess &p);
// CORVID_BENCH_QUICK=1: fewer messages and runs, for a check that the programs
// work rather than for figures.
bool benchQuick();
