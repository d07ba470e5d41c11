#include "host/transport/kratelimiter.h"

#include <chrono>

KRateLimiter::KRateLimiter(std::int64_t intervalMs, Clock clock)
    : m_clock(std::move(clock))
    , m_intervalMs(intervalMs)
{
}

std::int64_t KRateLimiter::steadyMilliseconds()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool KRateLimiter::admit(std::uint64_t *heldBack)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const std::int64_t now = m_clock();
    if (m_anyAdmitted && now - m_lastAdmitted < m_intervalMs) {
        ++m_heldBack;
        return false;
    }
    if (heldBack)
        *heldBack = m_heldBack;
    m_heldBack = 0;
    m_lastAdmitted = now;
    m_anyAdmitted = true;
    return true;
}
