#include "innerplugins/pluginpool/kpluginpool.h"

#include "platform/registry/kregsettings.h"
#include "platform/xdgpaths.h"

#include <QDir>
#include <QSysInfo>

#include <algorithm>
#include <regex>
#include <string>

namespace {

// The version key of one candidate: each number right-aligned with blanks to
// four places, so that plain text comparison orders versions numerically.
QString versionKey(const std::wsmatch &m)
{
    QStringList fields;
    for (int i = 1; i <= 4; ++i)
        fields << QStringLiteral("%1").arg(QString::fromStdWString(m[i].str()), 4);
    return fields.join(QLatin1Char('.'));
}

} // namespace

QString KPluginPool::poolDir()
{
    QString data = qEnvironmentVariable("XDG_DATA_HOME");
    if (!ulx::paths::isAbsolute(data)) {
        const QString home = qEnvironmentVariable("HOME");
        if (home.isEmpty())
            return QString();
        data = home + QStringLiteral("/.local/share");
    }
    return data + QStringLiteral("/corvanta/ulx/addons/pool/linux-") + QSysInfo::buildCpuArchitecture()
        + QLatin1Char('/');
}

QString KPluginPool::resolve(const QString &name)
{
    const QString pool = poolDir();
    if (pool.isEmpty() || name.isEmpty())
        return QString();

    // The name filter matches regardless of letter case, as the suite's search does.
    QStringList names = QDir(pool).entryList({name + QStringLiteral("_*")}, QDir::Dirs | QDir::NoDotAndDotDot
                                                                               | QDir::Hidden | QDir::System);
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    if (names.isEmpty())
        return QString();

    std::wregex pattern;
    try {
        pattern.assign(L"^" + name.toStdWString() + LR"(_(\d+)\.(\d+)\.(\d+)\.(\d+)$)", std::regex::ECMAScript);
    } catch (const std::regex_error &) {
        return QString(); // a name that is no expression names no plugin
    }

    QString bestKey = QStringLiteral("   0.   0.   0.   0");
    QString bestName;
    for (const QString &candidate : std::as_const(names)) {
        const std::wstring text = candidate.toStdWString();
        std::wsmatch m;
        if (!std::regex_match(text, m, pattern))
            continue;
        const QString key = versionKey(m);
        if (bestKey < key) {
            bestKey = key;
            bestName = candidate;
        }
    }
    // Candidates but no version: nothing rather than the pool itself.
    return bestName.isEmpty() ? QString() : pool + bestName;
}

void KPluginPool::publishKrptPath()
{
    const QString path = resolve(QStringLiteral("krpt"));
    if (path.isEmpty())
        return;
    KRegSettings plugins(QStringLiteral("HKEY_CURRENT_USER\\Software\\Corvanta\\Office\\6.0\\plugins"));
    if (!plugins.keyExists())
        return;
    plugins.setValue(QStringLiteral("krptpath"), path);
}
