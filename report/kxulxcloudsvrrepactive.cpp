#include "report/kxulxcloudsvrrepactive.h"

#include "platform/cmdline/kxcommandline.h"
#include "platform/registry/kregsettings.h"
#include "suite/kapplication.h"
#include "suite/krt.h"
#include "suite/kxlogger.h"
#include "suite/plugins/kplugin.h"
#include "suite/plugins/kpluginmanager.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QtEndian>

#include <dlfcn.h>

namespace {

const QString LogCategory = QStringLiteral("KxUlxCloudSvrApplication");
const QString PluginName = QStringLiteral("kdynsdk");
const char ReportPath[] = "/ulxv6internet/cloudsvrdyn";

using InitFn = bool (*)();
using SetParamStrFn = bool (*)(int, const char16_t *);
using AddDataFn = bool (*)(int, const void *, int, int);
using SetMetaDataFn = bool (*)(const void *, int);
using SetServerFn = bool (*)(const char16_t *);

// Values of the process, computed once (the version and the distribution number
// again while they are 0).
quint16 g_appId = 0xFFFF;
quint32 g_packedVersion = 0;
quint32 g_instanceId = 0;
quint16 g_startCount = 0;
quint64 g_distribNumber = 0;
int g_lastHeartbeatDay = -1;

QString ownModuleDir()
{
    Dl_info info = {};
    if (::dladdr(reinterpret_cast<void *>(&ownModuleDir), &info) == 0 || !info.dli_fname)
        return QString();
    const QString path = QFile::decodeName(info.dli_fname);
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    return slash > 0 ? path.left(slash) : QString();
}

quint32 tickCount()
{
    struct timespec ts = {};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return quint32(quint64(ts.tv_sec) * 1000 + quint64(ts.tv_nsec) / 1000000);
}

const char16_t *utf16(const QString &s)
{
    return reinterpret_cast<const char16_t *>(s.utf16());
}

} // namespace

KxUlxCloudsvrRepActive::KxUlxCloudsvrRepActive(QObject *parent)
    : QObject(parent)
    , m_moduleDir(ownModuleDir())
    , m_clock([] { return QDateTime::currentDateTime(); })
{
}

// The library object is released; the SDK itself stays loaded (its worker may be sending).
KxUlxCloudsvrRepActive::~KxUlxCloudsvrRepActive() = default;

QString KxUlxCloudsvrRepActive::settingsKey()
{
    return QStringLiteral("HKEY_CURRENT_USER\\SOFTWARE\\corvanta\\Office\\6.0\\plugins\\ulxcloudsvrimp");
}

QString KxUlxCloudsvrRepActive::endpoint()
{
    QString server = krt::serverinfo::dynReportSvr();
    if (server.isEmpty())
        return QString();
    while (server.endsWith(QLatin1Char('/')))
        server.chop(1);
    return server + QLatin1String(ReportPath);
}

void KxUlxCloudsvrRepActive::start(const QString &commandLine)
{
    const uint on = KRegSettings(settingsKey()).value(QStringLiteral("switch"), 1).toUInt();
    m_enabled = on != 0 && krt::product::isSupported(QStringLiteral("UlxCloudsvrReportActive"));
    if (!m_enabled)
        return;
    m_commandLine = commandLine;
    m_getter = new KPluginGetter(PluginName, this);
    connect(m_getter, &KPluginGetter::pluginLoadFinished, this, &KxUlxCloudsvrRepActive::onPluginLoadFinished);

    KCoreApplication *app = KCoreApplication::instance();
    KPluginManager *manager = app ? app->getPluginMgr() : nullptr;
    if (!manager)
        return;
    // The suite's own manager loads its SDK plugin; ours loads what it is asked
    // to, so the reporter asks once the catalogue is read.
    const auto getAndLoad = [this, manager]() {
        m_getter->onPluginMgrLoadFinished();
        if (KPlugin *plugin = manager->getPlugin(PluginName); plugin && plugin->state() == KPlugin::NotLoaded)
            plugin->load(0);
    };
    if (manager->loaded())
        getAndLoad();
    else
        connect(manager, &KPluginManager::loadFinished, this, getAndLoad, Qt::SingleShotConnection);
}

void KxUlxCloudsvrRepActive::onPluginLoadFinished(KPluginGetter::PluginFinalState state)
{
    loadDynLib(state);
}

void KxUlxCloudsvrRepActive::loadDynLib(KPluginGetter::PluginFinalState state)
{
    QString path;
    if (state == KPluginGetter::LoadSuccess) {
        KCoreApplication *app = KCoreApplication::instance();
        KPluginManager *manager = app ? app->getPluginMgr() : nullptr;
        KPlugin *plugin = manager && manager->loaded() ? manager->getPlugin(PluginName) : nullptr;
        // The plugin's local path is its directory: the library inside it.
        if (plugin && plugin->state() == KPlugin::Loaded && !plugin->localPath().isEmpty())
            path = plugin->localPath() + QDir::separator() + PluginName;
    } else if (state == KPluginGetter::PluginNotFound && !m_moduleDir.isEmpty()) {
        path = m_moduleDir + QDir::separator() + PluginName;
    }
    m_library.setFileName(path);
    if (path.isEmpty() || !m_library.load()) {
        m_library.setFileName(krt::dirs::office() + QDir::separator() + PluginName);
        m_library.load();
    }
    if (!m_library.isLoaded()) {
        KxLogger::writeMsg(KxLogger::Fixed(), LogCategory, QStringLiteral("KxUlxCloudsvrRepActive::loadDynLib failed!"));
        return;
    }
    QString action;
    KxCommandLine cmd;
    if (cmd.parse(m_commandLine, false))
        action = cmd.switchValue(QStringLiteral("start_from"));
    setReportData(action);
    startSend();
}

QFunctionPointer KxUlxCloudsvrRepActive::resolve(const char *name)
{
    if (!m_library.isLoaded())
        return nullptr;
    // One lookup per export and library; a missing export is remembered too.
    static QHash<QString, QFunctionPointer> cache;
    const QString key = m_library.fileName() + QLatin1Char('#') + QLatin1String(name);
    const auto it = cache.constFind(key);
    if (it != cache.constEnd())
        return *it;
    const QFunctionPointer f = m_library.resolve(name);
    cache.insert(key, f);
    return f;
}

quint32 KxUlxCloudsvrRepActive::packVersion(const QString &version)
{
    const QStringList parts = version.split(QLatin1Char('.'));
    if (parts.size() != 4)
        return 0;
    const quint32 a = parts.at(0).toUShort(), b = parts.at(1).toUShort(), c = parts.at(2).toUShort(),
                  d = parts.at(3).toUShort();
    return (a << 26) | (b << 22) | (c << 16) | d;
}

quint64 KxUlxCloudsvrRepActive::packDistribNumber(const QString &number)
{
    const QStringList parts = number.split(QLatin1Char('.'));
    if (parts.size() != 2)
        return 0;
    return (quint64(parts.at(1).toUInt()) << 32) | quint64(parts.at(0).toUInt());
}

quint16 KxUlxCloudsvrRepActive::advanceStartCount(KRegSettings &settings)
{
    const quint16 count = quint16(settings.value(QStringLiteral("startcount"), 0).toUInt());
    quint32 next = 0;
    quint16 current = count;
    if (count == 0) {
        current = 1;
        next = 2;
    } else if (count == 65535) {
        next = 1;
    } else {
        next = (quint32(count) + 1) % 65535;
    }
    settings.setValue(QStringLiteral("startcount"), QVariant(next), KRegType::Dword);
    return current;
}

bool KxUlxCloudsvrRepActive::heartbeatDue(const QDateTime &now, int *lastDay)
{
    const int day = now.date().day();
    if (day == *lastDay || now.time().hour() != 1)
        return false;
    *lastDay = day;
    return true;
}

void KxUlxCloudsvrRepActive::setReportData(const QString &action)
{
    const QString commonKey = QStringLiteral("HKEY_CURRENT_USER\\SOFTWARE\\corvanta\\Office\\6.0\\Common");
    if (auto f = reinterpret_cast<SetParamStrFn>(resolve("kDynSdkSetParamStr"))) {
        f(10, utf16(commonKey));
        f(11, u"infoGUID");
    }
    if (auto f = reinterpret_cast<InitFn>(resolve("kAppDynReset")))
        f();

    if (g_appId == 0xFFFF)
        g_appId = AppId;
    if (g_packedVersion == 0)
        g_packedVersion = packVersion(krt::info::version());
    if (g_instanceId == 0) {
        if (g_startCount == 0) {
            KRegSettings settings(settingsKey());
            g_startCount = advanceStartCount(settings);
        }
        g_instanceId = (tickCount() << 16) | g_startCount;
    }
    if (g_distribNumber == 0)
        g_distribNumber = packDistribNumber(krt::product::distribNumber());
    // UTF-8, so that an action outside Latin-1 arrives as it was given, not as '?'.
    const QByteArray actionText = action.toUtf8();

    const char meta = 1;
    if (auto f = reinterpret_cast<SetMetaDataFn>(resolve("kAppDynSetMetaData")))
        f(&meta, 1);
    if (auto f = reinterpret_cast<SetServerFn>(resolve("kAppDynSetServer")))
        f(utf16(endpoint()));
    if (auto f = reinterpret_cast<AddDataFn>(resolve("kAppDynAddData"))) {
        char appId[2], version[4], instance[4], distrib[8];
        qToLittleEndian(g_appId, appId);
        qToLittleEndian(g_packedVersion, version);
        qToLittleEndian(g_instanceId, instance);
        qToLittleEndian(g_distribNumber, distrib);
        const char one = 1;
        f(4, appId, 2, 0);
        f(9, version, 4, 0);
        f(17, instance, 4, 0);
        f(64, &one, 1, 0);
        f(129, actionText.constData(), int(actionText.size()), 1);
        f(21, distrib, 8, 1);
    }
}

void KxUlxCloudsvrRepActive::startSend()
{
    if (krt::product::isDisableGlobalInfocollect())
        return;
    KxLogger::writeMsg(KxLogger::Fixed(), LogCategory, QStringLiteral("KxUlxCloudsvrRepActive::startSend"));
    if (auto f = reinterpret_cast<InitFn>(resolve("kDynSdkInit")))
        f();
    if (auto f = reinterpret_cast<InitFn>(resolve("kAppDynStartReport")))
        f();
}

void KxUlxCloudsvrRepActive::onQueryRestartDelayed()
{
    if (!heartbeatDue(m_clock(), &g_lastHeartbeatDay) || !m_library.isLoaded())
        return; // without the SDK every call would be skipped anyway
    setReportData(QStringLiteral("amheartbeat"));
    startSend();
}
