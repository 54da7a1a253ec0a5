#pragma once
// The resident memory of this process, for tests that check a flood leaves it
// where it was. Freed memory the allocator still keeps (ASan's quarantine,
// glibc's free lists) is handed back first, so only what is really held counts.

#include <QFile>
#include <QRegularExpression>
#include <malloc.h>

#if defined(__SANITIZE_ADDRESS__) || (defined(__has_feature) && __has_feature(address_sanitizer))
#define CORVID_TEST_ASAN 1
extern "C" void __sanitizer_purge_allocator(void);  // the runtime has it; GCC ships no header for it
#endif

// VmRSS of a process ("self" or a process id) in bytes; -1 when it cannot be read.
inline qint64 vmRssBytes(const QString &process)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(process));
    static const QRegularExpression line(QStringLiteral("^VmRSS:\\s+(\\d+) kB"), QRegularExpression::MultilineOption);
    const auto m = status.open(QIODevice::ReadOnly) ? line.match(QString::fromLatin1(status.readAll()))
                                                     : QRegularExpressionMatch();
    return m.hasMatch() ? m.captured(1).toLongLong() * 1024 : -1;
}

// This process's VmRSS in bytes; -1 when it cannot be read.
inline qint64 residentBytes()
{
#ifdef CORVID_TEST_ASAN
    __sanitizer_purge_allocator();
#else
    malloc_trim(0);
#endif
    return vmRssBytes(QStringLiteral("self"));
}
