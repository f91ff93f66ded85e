// What a fuzz target asserts: a property that does not hold aborts the run,
// and libFuzzer keeps the input that broke it.
#pragma once

#include <cstdlib>

inline void Check(bool ok)
{
    if (!ok) {
        std::abort();
    }
}
