#include "innerplugins/knexaprestart/knexaprestart.h"

#include "innerplugins/kinnerclock.h"
#include "platform/cmdline/winargv.h"
#include "platform/detachedstart.h"
#include "platform/namedmutex.h"
#include "suite/krt.h"
#include "suite/kxlogger.h"
#include "suite/kxpluginssettings.h"

#include <QFile>
#include <QTimer>

#include <algorithm>
#include <climits>

namespace {
KInnerPluginRegistrar<KNexaPrestart> registrar("KNexaPrestart");

const QString Category = QStringLiteral("knexaprestart");
int g_startupDelayMs = 5000;
constexpr int DefaultIntervalSec = 3600;

const char *const ShellMutex = "__#_NEXA_INSTANCE_EXIST_KEY_#__";
const char *const InstallerMutexes[] = {
    "Global\\ulxsetup_C42D7A0A-2868-45FF-92EE-9B7AE7124588",
    "Global\\ulxpatch_C42D7A0A-2868-45FF-92EE-9B7AE7124588",
    "Global\\ulxuninst_C42D7A0A-2868-45FF-92EE-9B7AE7124588",
};

bool installerRuns()
{
    for (const char *name : InstallerMutexes) {
        if (ulx::namedmutex::isPresent(QString::fromLatin1(name)))
            return true;
    }
    return false;
}
} // namespace

void KNexaPrestart::setStartupDelayMs(int ms)
{
    g_startupDelayMs = ms;
}

QTime KNexaPrestart::parseTime(const QString &text)
{
    if (text.size() != 4)
        return {};
    bool hourOk = false, minuteOk = false;
    const int hour = text.left(2).toInt(&hourOk, 10);
    const int minute = text.mid(2).toInt(&minuteOk, 10);
    if (!hourOk || !minuteOk || hour < 0 || hour > 23 || minute < 0 || minute > 59)
        return {};
    return QTime(hour, minute, 0, 0);
}

QList<KNexaPrestart::Window> KNexaPrestart::parseWindows(const QString &text)
{
    QList<Window> out;
    for (const QString &piece : text.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        const QStringList ends = piece.split(QLatin1Char('-'), Qt::KeepEmptyParts);
        const QTime start = ends.size() == 2 ? parseTime(ends.at(0)) : QTime();
        const QTime end = ends.size() == 2 ? parseTime(ends.at(1)) : QTime();
        if (start.isValid() && end.isValid())
            out.append({start, end});
    }
    return out;
}

bool KNexaPrestart::inWindows(const QList<Window> &windows, const QTime &t)
{
    for (const Window &w : windows) {
        if (w.first <= t && t < w.second)
            return true;
    }
    return false;
}

bool KNexaPrestart::isDue() const
{
    bool usable = !m_windows.isEmpty();
    for (const Window &w : m_windows)
        usable = usable && w.first.isValid() && w.second.isValid();
    return !usable || inWindows(m_windows, kinnerclock::now().time());
}

void KNexaPrestart::init()
{
    KPluginsSettings settings(Category);
    m_strategy = settings.value(QStringLiteral("strategy"), 0).toInt();
    if (m_strategy == PrestartByTimer) {
        int interval = settings.value(QStringLiteral("interval"), DefaultIntervalSec).toInt();
        if (interval < 0) {
            // No period: the stored value is a mistake, the default hour serves.
            KxLogger::writeMsg(KxLogger::Warning(), Category,
                               QStringLiteral("KNexaPrestart::init interval %1 is negative: %2 used")
                                   .arg(interval)
                                   .arg(DefaultIntervalSec));
            interval = DefaultIntervalSec;
        }
        m_windows = parseWindows(settings.value(QStringLiteral("ranges"), QStringLiteral("0800-1200;1400-1800")).toString());
        if (interval != 0) {
            m_timer = new QTimer(this);
            connect(m_timer, &QTimer::timeout, this, &KNexaPrestart::onTimeout);
            m_timer->start(int(std::min<qint64>(qint64(interval) * 1000, INT_MAX)));
            if (isDue())
                prestart(PrestartByTimer);
        }
    }
    exec(QString());
}

void KNexaPrestart::uninit()
{
    if (m_timer && m_timer->isActive())
        m_timer->stop();
}

void KNexaPrestart::exec(const QString &)
{
    if (m_strategy == PrestartOnStartup && !m_startupScheduled) {
        m_startupScheduled = true;
        // Precise: a coarse timer may fire up to 5 % early.
        QTimer::singleShot(g_startupDelayMs, Qt::PreciseTimer, this, &KNexaPrestart::prestartOnStartup);
    }
}

void KNexaPrestart::onTimeout()
{
    if (isDue())
        prestart(PrestartByTimer);
}

void KNexaPrestart::prestartOnStartup()
{
    prestart(PrestartOnStartup);
}

void KNexaPrestart::prestart(int strategy)
{
    if (strategy == NoPrestart)
        return;
    if (ulx::namedmutex::isPresent(QString::fromLatin1(ShellMutex))) {
        KxLogger::writeInfo(Category, QStringLiteral("nexa exist, skipped prestart:%1").arg(strategy));
        return;
    }
    if (installerRuns()) {
        KxLogger::writeInfo(Category, QStringLiteral("installer exist, skipped prestart:%1").arg(strategy));
        return;
    }
    if (krt::product::isIndependentMode(true)) {
        KxLogger::writeInfo(Category, QStringLiteral("isIndependentMode, skipped prestart:%1").arg(strategy));
        return;
    }
    const QStringList arguments{QStringLiteral("/nexaplex"), QStringLiteral("/prestart-type=%1").arg(strategy)};
    const QString program = krt::dirs::launchExePath();
    const QString parameters = ulx::winargv::joinArguments(arguments);
    std::vector<std::string> argv;
    for (const QString &a : arguments)
        argv.push_back(a.toStdString());
    // Nothing is waited for: whether the shell comes up is the launcher's business.
    ulx::process::startDetached(QFile::encodeName(program).toStdString(), argv);
    KxLogger::writeInfo(Category, QStringLiteral("prestart:%1, %2").arg(program, parameters));
}
