#include "platform/xdgpaths.h"

#include <QDir>

#include <unistd.h>

namespace ulx::paths {
namespace {

QString home()
{
    const QByteArray h = qgetenv("HOME");
    return h.isEmpty() ? QDir::homePath() : QString::fromLocal8Bit(h);
}

// The XDG rule: an unset, empty or relative value means the default.
QString xdgDir(const char *variable, const QString &fallbackUnderHome)
{
    const QString value = QString::fromLocal8Bit(qgetenv(variable));
    if (isAbsolute(value))
        return value;
    return home() + QLatin1Char('/') + fallbackUnderHome;
}

} // namespace

QString configDir()
{
    return xdgDir("XDG_CONFIG_HOME", QStringLiteral(".config")) + QStringLiteral("/ulxcloudsvr");
}

QString stateDir()
{
    return xdgDir("XDG_STATE_HOME", QStringLiteral(".local/state")) + QStringLiteral("/ulxcloudsvr");
}

QString dataDir()
{
    return xdgDir("XDG_DATA_HOME", QStringLiteral(".local/share")) + QStringLiteral("/ulxcloudsvr");
}

QString runtimeDir()
{
    const QString value = QString::fromLocal8Bit(qgetenv("XDG_RUNTIME_DIR"));
    if (isAbsolute(value))
        return value + QStringLiteral("/ulxcloudsvr");
    return QStringLiteral("/tmp/ulxcloudsvr-%1").arg(::getuid());
}

bool ensureDir(const QString &path)
{
    return QDir().mkpath(path);
}

} // namespace ulx::paths
