#pragma once
// CPU time used so far, in microseconds, by another process or by this one.
#include <QtGlobal>

qint64 processCpuUs(qint64 pid); // -1 when the process cannot be read
qint64 selfCpuUs();
