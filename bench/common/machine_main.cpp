// Prints the machine and placement lines that head the benchmark tables.
#include "bench/common/bench_machine.h"

#include <QCoreApplication>
#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    std::printf("%s\n%s\n", qPrintable(benchMachineLine()), qPrintable(benchPlacementLine()));
    return 0;
}
