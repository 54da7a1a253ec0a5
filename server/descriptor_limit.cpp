#include "server/descriptor_limit.h"

#include <QtGlobal>

#include <cerrno>
#include <climits>
#include <cstring>
#include <sys/resource.h>

namespace {

int asInt(rlim_t value)
{
    return value == RLIM_INFINITY || value > rlim_t(INT_MAX) ? INT_MAX : int(value);
}

}  // namespace

int corvid_descriptor_limit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 0;
    return limit.rlim_cur == RLIM_INFINITY ? 0 : asInt(limit.rlim_cur);
}

int corvid_raise_descriptor_limit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 0;
    if (limit.rlim_cur != limit.rlim_max) {
        const rlim_t soft = limit.rlim_cur;
        limit.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0)
            qWarning("Cannot raise the limit on open files from %d to %d: %s", asInt(soft), asInt(limit.rlim_max),
                     std::strerror(errno));
    }
    return corvid_descriptor_limit();
}
