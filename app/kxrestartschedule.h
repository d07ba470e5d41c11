#pragma once

#include <QTime>
#include <QVariant>

#include <optional>

// The settings of the service's periodic duties, in
// HKEY_CURRENT_USER\Software\Corvanta\Office\6.0\ulxcloudsvr\Application Settings.
// Each is read at the moment of use and validated: a value of the wrong type,
// out of range or not positive where a period is meant gives the default, so no
// setting can make a timer fire at once forever, never, or divide by zero.
class KxServiceSettings
{
public:
    // The raw stored value (an invalid QVariant when absent).
    static QVariant value(const QString &name);

    // A whole number from a stored value: any integer type, or decimal text, that
    // fits an int. Anything else (text such as "no", a list, a value beyond the
    // int range) has none.
    static std::optional<int> integer(const QVariant &value);

    // Longest period any of them may ask for: one week (also keeps every
    // timer's milliseconds inside an int).
    static constexpr int MaxPeriodSec = 7 * 24 * 3600;

    // "RestartIntervalSec": seconds until the next restart query after the plugins declined (default 3600).
    static int restartIntervalSec();
    // "QueryPluginExitProcessIntervalSec": seconds between exit queries (default 1800).
    static int queryPluginExitProcessIntervalSec();
    // "ReduceProcessWSSec": seconds between working-set trims (default 120); 0 means never.
    static int reduceProcessWSSec();

    // A period read as `name`: not positive or unusable gives `fallback`; longer
    // than MaxPeriodSec is cut to it.
    static int period(const QVariant &value, int fallback);
};

// When the nightly restart query comes: at the fixed "RestartTimePoint", or at a
// second drawn at random in a window after 01:00 whose width is
// "RestartTimeInterval" (at least "RestartTimeMinInterval").
class KxRestartSchedule
{
public:
    struct Settings
    {
        QVariant timePoint;   // "RestartTimePoint", text "hh:mm:ss"
        QVariant interval;    // "RestartTimeInterval", seconds, default 7200
        QVariant minInterval; // "RestartTimeMinInterval", seconds, default 3600
    };

    struct Alarm
    {
        QTime target;
        qint64 delayMs = 0; // from now until the query, 0 .. 24 h
        bool drawn = false; // the target was drawn in the window (no fixed time point)
        int windowSec = 0;  // the window's width when drawn
    };

    static constexpr int DefaultWindowSec = 7200;
    static constexpr int DefaultMinWindowSec = 3600;

    static Settings read();
    // The alarm for a process whose clock reads `now`. The random draw is seeded
    // from `now` (second * 1000 + millisecond), so equal clocks give equal alarms.
    static Alarm compute(const Settings &settings, const QTime &now);
    // The window's start.
    static QTime base() { return QTime(1, 0, 0, 0); }
};
