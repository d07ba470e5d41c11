#pragma once

#include "platform/export.h"

#include <QString>
#include <QStringList>

// Runtime information of the installed suite. Values come from the installation
// configuration, an INI file read at krt::init() and again by krt::reload():
//   $ULX_INSTALL_CONFIG when set, otherwise "ulxinstall.ini" in the directory of
//   the suite library (the installation's program directory).
// The keys and their defaults are listed in README.md ("Installation configuration").
namespace krt {

ULX_EXPORT bool init(const QString &company, const QString &product, const QString &version,
                     const QString &appName);
ULX_EXPORT void clear();
// Reads the installation configuration again (tests switch configurations with it).
ULX_EXPORT void reload();
// The configuration file in force (may not exist: then every value is its default).
ULX_EXPORT QString configPath();

namespace dirs {
ULX_EXPORT QString office();
ULX_EXPORT QString launchExePath();
} // namespace dirs

namespace i18n {
enum LangFormat { ResourceDirectory = 1, QueryValue = 2 };
ULX_EXPORT QString language(int format, bool userPreferred);
ULX_EXPORT QStringList systemUiLanguages();
} // namespace i18n

namespace product {
ULX_EXPORT bool isSupported(const QString &feature);
ULX_EXPORT bool isIndependentMode(bool checkUser);
ULX_EXPORT int versionID();
ULX_EXPORT QString distribNumber();
ULX_EXPORT bool isDisableGlobalInfocollect();
} // namespace product

namespace infocollect {
ULX_EXPORT bool isEnabled(int engineType);
} // namespace infocollect

namespace serverinfo {
ULX_EXPORT QString infoCollectSvr();
ULX_EXPORT QString infoCollectSvr_IC();
// [Servers] endpoints of the reporting paths; empty unless the installation names them.
ULX_EXPORT QString defaultInfoCollectSvr();
ULX_EXPORT QString crashReportSvr();
ULX_EXPORT QString crashUploadSvr();
ULX_EXPORT QString feedbackSvr();
// The geo-location service of the common parameters and the dynamic-report endpoint.
ULX_EXPORT QString geoSvr();
ULX_EXPORT QString dynReportSvr();
// A CA bundle that HTTPS transfers of the reporting paths trust (empty: the system's).
ULX_EXPORT QString caFile();
} // namespace serverinfo

// [Diagnostics]: settings of the watchdog and the dumps (0 or empty: the built-in values).
namespace diagnostics {
ULX_EXPORT int watchdogIntervalSec();
ULX_EXPORT int watchdogResponseTimeoutSec();
// "stacks" (default) or "core".
ULX_EXPORT QString dumpMode();
} // namespace diagnostics

namespace onlineparams {
ULX_EXPORT QString onlineParamPath();
ULX_EXPORT QString localParamPath();
} // namespace onlineparams

namespace auth {
ULX_EXPORT QString getStringInfo(const QString &key);
} // namespace auth

namespace info {
ULX_EXPORT QString version();
} // namespace info

ULX_EXPORT bool isVldTurnedOn();

// Suite plugins installed for the current user live in pluginsDir()/<name>.
// A plugin counts as installed when its directory exists (installs are
// completed by an atomic rename of the whole directory). hasPlugin() also knows
// the plugins shipped with the installation, lib<name>.so in dirs::office()
// (the service's own "ulxcloudsvrimp"), and gives that directory as their path.
ULX_EXPORT QString pluginsDir();
ULX_EXPORT bool hasPlugin(const QString &name, QString &path);
ULX_EXPORT QString getPluginPath(const QString &name);
// The catalogue of plugins this installation knows (JSON; see README.md).
ULX_EXPORT QString pluginCatalogPath();
// The installation's update program, run by the framework's update step; empty when none.
ULX_EXPORT QString updateProgramPath();

// Store installations keep a few values in one settings record.
class ULX_EXPORT KUWPCommonSettings
{
public:
    static QString value(const QString &name);
};

} // namespace krt

// Called once at entry by the service; kept for the suite's own bookkeeping.
extern "C" ULX_EXPORT void _kdnshk_EnableDetour();
