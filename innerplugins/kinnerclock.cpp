#include "innerplugins/kinnerclock.h"

namespace kinnerclock {
namespace {
std::function<QDateTime()> &source()
{
    static std::function<QDateTime()> clock;
    return clock;
}
} // namespace

QDateTime now()
{
    return source() ? source()() : QDateTime::currentDateTime();
}

void setSource(std::function<QDateTime()> clock)
{
    source() = std::move(clock);
}

} // namespace kinnerclock
