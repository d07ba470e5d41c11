#pragma once

#include <cstdint>
#include <functional>
#include <mutex>

// Lets at most one event through per interval and counts the ones it held back,
// so a flood of refused peers costs the host one stderr line per interval.
class KRateLimiter
{
public:
    // Milliseconds on a monotonic scale; injectable for tests.
    using Clock = std::function<std::int64_t()>;

    explicit KRateLimiter(std::int64_t intervalMs, Clock clock = steadyMilliseconds);

    // True when this event may be reported; `heldBack` then receives the number
    // of events that were not reported since the last one that was.
    bool admit(std::uint64_t *heldBack);

    static std::int64_t steadyMilliseconds();

private:
    std::mutex m_mutex;
    Clock m_clock;
    std::int64_t m_intervalMs;
    std::int64_t m_lastAdmitted = 0;
    bool m_anyAdmitted = false;
    std::uint64_t m_heldBack = 0;
};
