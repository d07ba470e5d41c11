#pragma once

#include <QDateTime>

#include <functional>

// The local wall-clock time the inner plugins decide by (the minisite's acceptance
// window and day marker, the prestart's time windows, the switch's dates). Tests
// replace it to stand on a boundary; timers are not affected.
namespace kinnerclock {

QDateTime now();
// A null function restores the system clock.
void setSource(std::function<QDateTime()> source);

} // namespace kinnerclock
