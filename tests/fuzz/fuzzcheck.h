#pragma once

#include <cstdlib>

// A property a parser broke: libFuzzer keeps the input as a crash.
inline void require(bool holds)
{
    if (!holds)
        std::abort();
}
