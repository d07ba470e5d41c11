#include "app/kxrestartschedule.h"

#include "platform/registry/kregsettings.h"

#include <QRandomGenerator>

#include <limits>

namespace {
const QString SettingsKey = QStringLiteral("HKEY_CURRENT_USER\\Software\\Corvanta\\Office\\6.0\\ulxcloudsvr");
const QString SettingsGroup = QStringLiteral("Application Settings");
constexpr qint64 DayMs = 86400000;
} // namespace

QVariant KxServiceSettings::value(const QString &name)
{
    KRegSettings settings(SettingsKey);
    settings.beginGroup(SettingsGroup);
    return settings.value(name);
}

std::optional<int> KxServiceSettings::integer(const QVariant &value)
{
    bool ok = false;
    qlonglong n = 0;
    switch (value.typeId()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::Short:
    case QMetaType::UShort:
        n = value.toLongLong(&ok);
        break;
    case QMetaType::ULongLong: {
        const qulonglong u = value.toULongLong(&ok);
        ok = ok && u <= qulonglong(std::numeric_limits<int>::max());
        n = qlonglong(u);
        break;
    }
    case QMetaType::QString:
        n = value.toString().trimmed().toLongLong(&ok, 10);
        break;
    default:
        return std::nullopt;
    }
    if (!ok || n < std::numeric_limits<int>::min() || n > std::numeric_limits<int>::max())
        return std::nullopt;
    return int(n);
}

int KxServiceSettings::period(const QVariant &value, int fallback)
{
    const std::optional<int> n = integer(value);
    if (!n || *n <= 0)
        return fallback;
    return qMin(*n, MaxPeriodSec);
}

int KxServiceSettings::restartIntervalSec()
{
    return period(value(QStringLiteral("RestartIntervalSec")), 3600);
}

int KxServiceSettings::queryPluginExitProcessIntervalSec()
{
    return period(value(QStringLiteral("QueryPluginExitProcessIntervalSec")), 1800);
}

int KxServiceSettings::reduceProcessWSSec()
{
    const QVariant raw = value(QStringLiteral("ReduceProcessWSSec"));
    if (!raw.isValid())
        return 120;
    const std::optional<int> n = integer(raw);
    if (!n)
        return 120; // unreadable: as if absent
    if (*n <= 0)
        return 0; // switched off on purpose
    return qMin(*n, MaxPeriodSec);
}

KxRestartSchedule::Settings KxRestartSchedule::read()
{
    Settings s;
    s.timePoint = KxServiceSettings::value(QStringLiteral("RestartTimePoint"));
    s.interval = KxServiceSettings::value(QStringLiteral("RestartTimeInterval"));
    s.minInterval = KxServiceSettings::value(QStringLiteral("RestartTimeMinInterval"));
    return s;
}

KxRestartSchedule::Alarm KxRestartSchedule::compute(const Settings &settings, const QTime &now)
{
    Alarm alarm;
    const QTime start = base();
    QTime windowEnd = start;
    if (settings.timePoint.typeId() == QMetaType::QString)
        alarm.target = QTime::fromString(settings.timePoint.toString(), QStringLiteral("hh:mm:ss"));

    if (!alarm.target.isValid() || alarm.target.isNull()) {
        int width = KxServiceSettings::integer(settings.interval).value_or(DefaultWindowSec);
        const int minimum = KxServiceSettings::integer(settings.minInterval).value_or(DefaultMinWindowSec);
        if (width < minimum)
            width = minimum;
        // Both widths zero or negative define no window: the usual one instead.
        if (width <= 0)
            width = DefaultWindowSec;
        // A window wider than a day would only wrap onto itself.
        width = qMin(width, 86400);
        windowEnd = start.addSecs(width);

        QRandomGenerator random(quint32(now.second() * 1000 + now.msec()));
        alarm.target = start.addSecs(int(random.generate() % quint32(width)));
        alarm.drawn = true;
        alarm.windowSec = width;
    }

    qint64 delay = now.msecsTo(alarm.target);
    if (delay < 0)
        delay += DayMs;
    else if (now >= start && now < windowEnd)
        delay += DayMs; // already inside tonight's window: tomorrow's, not again tonight
    alarm.delayMs = delay;
    return alarm;
}
