#pragma once

#include <cstdio>
#include <cstdlib>

// A property that must hold: a failure names its line and stops the run, so
// libFuzzer keeps the input.
inline void Check(bool ok, const char* file = __builtin_FILE(), int line = __builtin_LINE())
{
    if (!ok) {
        std::fprintf(stderr, "%s:%d: property does not hold\n", file, line);
        std::abort();
    }
}
