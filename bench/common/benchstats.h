#pragma once

#include <QtGlobal>

#include <algorithm>
#include <cstdio>
#include <vector>

// The middle of a series of timings (the upper middle for an even count): the
// figure the benchmarks print, robust against a stray slow round.
inline double median(std::vector<qint64> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : double(v[v.size() / 2]);
}

// A series summed up as the benchmarks print it: median with its range.
struct BenchSpread
{
    double median = 0;
    double min = 0;
    double max = 0;

    static BenchSpread of(const std::vector<qint64> &v, double scale = 1.0)
    {
        BenchSpread s;
        if (v.empty())
            return s;
        const auto [lo, hi] = std::minmax_element(v.begin(), v.end());
        s.median = ::median(v) * scale;
        s.min = double(*lo) * scale;
        s.max = double(*hi) * scale;
        return s;
    }
};

// "<label> <median> <unit> (min <min>, max <max>)" and, against a reference, the ratio of the medians.
inline void printSpread(const char *label, const BenchSpread &s, const char *unit, const BenchSpread *reference = nullptr)
{
    std::printf("%-34s %9.2f %s (min %.2f, max %.2f)", label, s.median, unit, s.min, s.max);
    if (reference && reference->median > 0)
        std::printf("  ratio %.3f", s.median / reference->median);
    std::printf("\n");
}
