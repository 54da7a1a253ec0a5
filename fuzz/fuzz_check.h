#pragma once

#include <cstdlib>

// A property the target asserts: libFuzzer reports the abort as a crash and
// keeps the input that caused it.
inline void check(bool ok)
{
    if (!ok)
        std::abort();
}
