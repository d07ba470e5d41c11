#pragma once

#include <atomic>

namespace ulx::watchdog {

// How many callers currently ask the main-thread watchdog not to act on a long
// block (plugins that knowingly block the main thread, a modal dialog). Changed
// on the main thread by the application's public slot, read by the watchdog's
// detector thread: hence an atomic. Callers pair their increments and decrements;
// the count is not bounded.
inline std::atomic<int> longBlockIgnoreCount{0};

} // namespace ulx::watchdog
