#include "suite/krt.h"

#include "platform/xdgpaths.h"

#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <QMutex>
#include <QMutexLocker>
#include <QSettings>

#include <dlfcn.h>

#include <memory>

namespace krt {
namespace {

// The installation as read from its configuration file. Read once per
// init()/reload() and on first use; the installation does not change under a
// running process.
struct Installation
{
    QString configPath;
    QString officeDir;
    QString launchExePath;
    QString language;
    QStringList systemUiLanguages;
    QStringList features;
    bool independentMode = false;
    int versionId = 0;
    QString distribNumber;
    bool disableGlobalInfocollect = false;
    bool infoCollectEnabled = true;
    QString infoCollectSvr;
    QString infoCollectSvrIc;
    QString defaultInfoCollectSvr;
    QString crashReportSvr;
    QString crashUploadSvr;
    QString feedbackSvr;
    QString geoSvr;
    QString dynReportSvr;
    QString caFile;
    int watchdogIntervalSec = 0;
    int watchdogResponseTimeoutSec = 0;
    QString dumpMode;
    QString onlineParamPath;
    QString localParamPath;
    QMap<QString, QString> auth;
    QString version;
    bool vldTurnedOn = false;
    QString pluginCatalog;
    QString pluginsDir; // empty: the per-user default, resolved at each call
    QString updateProgram;
    QMap<QString, QString> uwp;
};

QMutex g_mutex;
// Replaced whole by a reload; callers keep the one they read.
std::shared_ptr<const Installation> g_installation;

QString suiteLibraryDir()
{
    Dl_info info{};
    if (dladdr(reinterpret_cast<void *>(&krt::reload), &info) && info.dli_fname)
        return QFileInfo(QString::fromLocal8Bit(info.dli_fname)).absolutePath();
    return QDir::currentPath();
}

QString defaultConfigPath()
{
    const QString env = QString::fromLocal8Bit(qgetenv("ULX_INSTALL_CONFIG"));
    if (!env.isEmpty())
        return env;
    return suiteLibraryDir() + QStringLiteral("/ulxinstall.ini");
}

// Relative paths in the configuration are relative to the file's directory.
QString resolvePath(const QString &base, const QString &value)
{
    if (value.isEmpty() || ulx::paths::isAbsolute(value))
        return value;
    return QDir::cleanPath(base + QLatin1Char('/') + value);
}

QStringList listValue(const QSettings &ini, const QString &key, const QStringList &fallback = {})
{
    if (!ini.contains(key))
        return fallback;
    // An INI list may arrive as one comma-separated text or as a list.
    QStringList raw = ini.value(key).toStringList();
    if (raw.size() == 1)
        raw = raw.first().split(QLatin1Char(','));
    QStringList out;
    for (const QString &item : std::as_const(raw)) {
        const QString t = item.trimmed();
        if (!t.isEmpty())
            out << t;
    }
    return out;
}

Installation readInstallation(const QString &path)
{
    Installation in;
    in.configPath = path;
    QSettings ini(path, QSettings::IniFormat);
    const QString base = QFileInfo(path).absolutePath();

    ini.beginGroup(QStringLiteral("Installation"));
    in.officeDir = resolvePath(base, ini.value(QStringLiteral("OfficeDir"), base).toString());
    in.launchExePath = resolvePath(in.officeDir,
                                   ini.value(QStringLiteral("LaunchExePath"), QStringLiteral("ulx")).toString());
    in.language = ini.value(QStringLiteral("Language"), QStringLiteral("en_US")).toString();
    QStringList systemLanguages = QLocale::system().uiLanguages();
    for (QString &l : systemLanguages)
        l.replace(QLatin1Char('-'), QLatin1Char('_'));
    in.systemUiLanguages = listValue(ini, QStringLiteral("SystemUiLanguages"), systemLanguages);
    in.features = listValue(ini, QStringLiteral("Features"));
    in.independentMode = ini.value(QStringLiteral("IndependentMode"), false).toBool();
    in.versionId = ini.value(QStringLiteral("VersionID"), 0).toInt();
    in.distribNumber = ini.value(QStringLiteral("DistribNumber"), QStringLiteral("0.0")).toString();
    in.disableGlobalInfocollect = ini.value(QStringLiteral("DisableGlobalInfocollect"), false).toBool();
    in.infoCollectEnabled = ini.value(QStringLiteral("InfoCollectEnabled"), true).toBool();
    in.version = ini.value(QStringLiteral("Version"), QStringLiteral("6.0.0.0")).toString();
    in.vldTurnedOn = ini.value(QStringLiteral("VldTurnedOn"), false).toBool();
    in.pluginCatalog = resolvePath(in.officeDir, ini.value(QStringLiteral("PluginCatalog"),
                                                          QStringLiteral("plugins/catalogue.json")).toString());
    in.pluginsDir = resolvePath(base, ini.value(QStringLiteral("PluginsDir")).toString());
    in.updateProgram = resolvePath(in.officeDir, ini.value(QStringLiteral("UpdateProgram")).toString());
    ini.endGroup();

    ini.beginGroup(QStringLiteral("Servers"));
    in.infoCollectSvr = ini.value(QStringLiteral("InfoCollectSvr")).toString();
    in.infoCollectSvrIc = ini.value(QStringLiteral("InfoCollectSvr_IC")).toString();
    in.defaultInfoCollectSvr = ini.value(QStringLiteral("DefaultInfoCollectSvr")).toString();
    in.crashReportSvr = ini.value(QStringLiteral("CrashReportSvr")).toString();
    in.crashUploadSvr = ini.value(QStringLiteral("CrashUploadSvr")).toString();
    in.feedbackSvr = ini.value(QStringLiteral("FeedbackSvr")).toString();
    in.geoSvr = ini.value(QStringLiteral("GeoSvr")).toString();
    in.dynReportSvr = ini.value(QStringLiteral("DynReportSvr")).toString();
    in.caFile = resolvePath(base, ini.value(QStringLiteral("CAFile")).toString());
    ini.endGroup();

    ini.beginGroup(QStringLiteral("Diagnostics"));
    in.watchdogIntervalSec = qMax(0, ini.value(QStringLiteral("WatchdogIntervalSec"), 0).toInt());
    in.watchdogResponseTimeoutSec = qMax(0, ini.value(QStringLiteral("WatchdogResponseTimeoutSec"), 0).toInt());
    in.dumpMode = ini.value(QStringLiteral("DumpMode"), QStringLiteral("stacks")).toString().trimmed().toLower();
    ini.endGroup();

    ini.beginGroup(QStringLiteral("OnlineParams"));
    in.onlineParamPath = resolvePath(base, ini.value(QStringLiteral("OnlineParamPath")).toString());
    in.localParamPath = resolvePath(base, ini.value(QStringLiteral("LocalParamPath")).toString());
    ini.endGroup();

    // [Auth] and [UWP] hold free-form key=value records; "/" in a key reads as a group in INI.
    ini.beginGroup(QStringLiteral("Auth"));
    for (const QString &key : ini.allKeys())
        in.auth.insert(key, ini.value(key).toString());
    ini.endGroup();
    ini.beginGroup(QStringLiteral("UWP"));
    for (const QString &key : ini.allKeys())
        in.uwp.insert(key, ini.value(key).toString());
    ini.endGroup();
    return in;
}

// Callers never hold the lock while they use a value; the installation they
// got stays alive until they drop it, even across a reload.
std::shared_ptr<const Installation> current()
{
    QMutexLocker lock(&g_mutex);
    if (!g_installation)
        g_installation = std::make_shared<const Installation>(readInstallation(defaultConfigPath()));
    return g_installation;
}


} // namespace

bool init(const QString &, const QString &, const QString &, const QString &)
{
    reload();
    return true;
}

void clear()
{
    QMutexLocker lock(&g_mutex);
    g_installation.reset();
}

void reload()
{
    auto fresh = std::make_shared<const Installation>(readInstallation(defaultConfigPath()));
    QMutexLocker lock(&g_mutex);
    g_installation = std::move(fresh);
}

QString configPath()
{
    return current()->configPath;
}

QString dirs::office()
{
    return current()->officeDir;
}

QString dirs::launchExePath()
{
    return current()->launchExePath;
}

QString i18n::language(int format, bool)
{
    QString lang = current()->language;
    // Format 1 names the resource directory ("en_US"); format 2 is the form used in queries ("en-US").
    if (format == QueryValue)
        lang.replace(QLatin1Char('_'), QLatin1Char('-'));
    return lang;
}

QStringList i18n::systemUiLanguages()
{
    return current()->systemUiLanguages;
}

bool product::isSupported(const QString &feature)
{
    return current()->features.contains(feature, Qt::CaseInsensitive);
}

bool product::isIndependentMode(bool)
{
    return current()->independentMode;
}

int product::versionID()
{
    return current()->versionId;
}

QString product::distribNumber()
{
    return current()->distribNumber;
}

bool product::isDisableGlobalInfocollect()
{
    return current()->disableGlobalInfocollect;
}

bool infocollect::isEnabled(int)
{
    return current()->infoCollectEnabled;
}

QString serverinfo::infoCollectSvr()
{
    return current()->infoCollectSvr;
}

QString serverinfo::infoCollectSvr_IC()
{
    return current()->infoCollectSvrIc;
}

QString serverinfo::defaultInfoCollectSvr()
{
    return current()->defaultInfoCollectSvr;
}

QString serverinfo::crashReportSvr()
{
    return current()->crashReportSvr;
}

QString serverinfo::crashUploadSvr()
{
    return current()->crashUploadSvr;
}

QString serverinfo::feedbackSvr()
{
    return current()->feedbackSvr;
}

QString serverinfo::geoSvr()
{
    return current()->geoSvr;
}

QString serverinfo::dynReportSvr()
{
    return current()->dynReportSvr;
}

QString serverinfo::caFile()
{
    return current()->caFile;
}

int diagnostics::watchdogIntervalSec()
{
    return current()->watchdogIntervalSec;
}

int diagnostics::watchdogResponseTimeoutSec()
{
    return current()->watchdogResponseTimeoutSec;
}

QString diagnostics::dumpMode()
{
    return current()->dumpMode;
}

QString onlineparams::onlineParamPath()
{
    const QString path = current()->onlineParamPath;
    return path.isEmpty() ? ulx::paths::dataDir() + QStringLiteral("/onlineparams/online.json") : path;
}

QString onlineparams::localParamPath()
{
    const QString path = current()->localParamPath;
    return path.isEmpty() ? ulx::paths::dataDir() + QStringLiteral("/onlineparams/local.json") : path;
}

QString auth::getStringInfo(const QString &key)
{
    return current()->auth.value(key);
}

QString info::version()
{
    return current()->version;
}

bool isVldTurnedOn()
{
    return current()->vldTurnedOn;
}

QString pluginsDir()
{
    const QString dir = current()->pluginsDir;
    return dir.isEmpty() ? ulx::paths::dataDir() + QStringLiteral("/plugins") : dir;
}

QString getPluginPath(const QString &name)
{
    return pluginsDir() + QLatin1Char('/') + name;
}

bool hasPlugin(const QString &name, QString &path)
{
    if (name.isEmpty() || name.contains(QLatin1Char('/')) || name.startsWith(QLatin1Char('.')))
        return false;
    const QString dir = getPluginPath(name);
    if (QFileInfo(dir).isDir()) {
        path = dir;
        return true;
    }
    // Plugins shipped with the installation (the service's own "ulxcloudsvrimp")
    // are libraries in its program directory.
    const QString office = dirs::office();
    if (QFileInfo(office + QStringLiteral("/lib") + name + QStringLiteral(".so")).isFile()) {
        path = office;
        return true;
    }
    return false;
}

QString pluginCatalogPath()
{
    return current()->pluginCatalog;
}

QString updateProgramPath()
{
    const QString path = current()->updateProgram;
    return QFileInfo(path).isExecutable() ? path : QString();
}

QString KUWPCommonSettings::value(const QString &name)
{
    return current()->uwp.value(name);
}

} // namespace krt

void _kdnshk_EnableDetour()
{
    // Nothing to redirect on this platform: name resolution goes through the system resolver.
}
