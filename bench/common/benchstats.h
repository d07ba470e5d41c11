#pragma once

#include <QtGlobal>

#include <algorithm>
#include <vector>

// The middle of a series of timings (the upper middle for an even count): the
// figure the benchmarks print, robust against a stray slow round.
inline double median(std::vector<qint64> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : double(v[v.size() / 2]);
}
