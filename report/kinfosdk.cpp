#include "report/kinfosdk.h"

#include "platform/registry/kregsettings.h"
#include "reportcore/kinfocollect.h"
#include "reportcore/koutbox.h"
#include "suite/krt.h"

#include <QLibrary>

namespace {

using IdentifierFn = void (*)(char16_t *buffer);

QLibrary &library()
{
    static QLibrary *lib = new QLibrary; // never unloaded: the SDK may keep threads of its own
    return *lib;
}

bool g_loadTried = false;

QFunctionPointer resolve(const char *name)
{
    static QHash<QByteArray, QFunctionPointer> cache; // failures are cached too
    const auto it = cache.constFind(name);
    if (it != cache.constEnd())
        return *it;
    const QFunctionPointer f = loadInfoSdk() ? library().resolve(name) : nullptr;
    cache.insert(name, f);
    return f;
}

QString identifier(const char *exportName)
{
    const auto fn = reinterpret_cast<IdentifierFn>(resolve(exportName));
    if (!fn)
        return QStringLiteral("Default");
    char16_t buffer[256] = {};
    fn(buffer);
    buffer[255] = 0;
    return QString::fromUtf16(buffer);
}

KRegSettings appSettings()
{
    KRegSettings s(QStringLiteral("HKEY_CURRENT_USER\\SOFTWARE\\Corvanta\\Office\\6.0\\ulxcloudsvr"));
    s.beginGroup(QStringLiteral("Application Settings"));
    return s;
}

} // namespace

bool loadInfoSdk()
{
    if (!g_loadTried && !library().isLoaded()) {
        g_loadTried = true;
        library().setFileName(krt::dirs::office() + QStringLiteral("/libkinfosdk.so"));
        library().load();
    }
    return library().isLoaded();
}

QString infoSdkGuid() { return identifier("_kinfosdk_GUID"); }
QString infoSdkHdid() { return identifier("_kinfosdk_HDID"); }
QString infoSdkUuid() { return identifier("_kinfosdk_UUID"); }
QString infoSdkVersion() { return identifier("_kinfosdk_Version"); }
QString infoSdkDistSrc() { return identifier("_kinfosdk_DistSrc"); }

QString crashServer()
{
    const QString configured = KRegSettings(infoCommonKey() + QStringLiteral("\\ulxoffice"))
                                   .value(QStringLiteral("crashserver")).toString().left(1023);
    return configured.isEmpty() ? krt::serverinfo::crashReportSvr() : configured;
}

void reportExceptionalExit()
{
    KRegSettings settings = appSettings();
    const uint exceptExit = settings.value(QStringLiteral("ICExceptExit"), 0).toUInt();
    const uint capturedCrash = settings.value(QStringLiteral("ICCapturedCrash"), 0).toUInt();
    if (int(exceptExit) <= 0 && int(capturedCrash) <= 0)
        return;
    if (krt::product::isDisableGlobalInfocollect())
        return;

    QString distSrc = infoSdkDistSrc();
    if (distSrc == QLatin1String("00001.00000001"))
        distSrc.clear();
    const QStringList items{QStringLiteral("%1|%2|%3").arg(infoSdkGuid(), infoSdkHdid(), infoSdkUuid()),
                            infoSdkVersion(), distSrc, QString::number(exceptExit), QString::number(capturedCrash)};
    // The record the SDK's send would build, given to this process's own outbox: the
    // serving process's sender takes it from there, keeps it across a slow or absent
    // endpoint, and the counts are cleared only once it is on disk.
    const QByteArray url = buildInfoUrl(crashServer(), QStringLiteral("e_exit_host"), items, "/ulx/client/e_exit").toUtf8();
    const QByteArray scheme = url.left(8).toLower();
    if (!scheme.startsWith("http://") && !scheme.startsWith("https://"))
        return; // no endpoint: the counts wait for one
    if (!ulx::outbox::spool({url}))
        return;
    settings.setValue(QStringLiteral("ICExceptExit"), 0, KRegType::Dword);
    settings.setValue(QStringLiteral("ICCapturedCrash"), 0, KRegType::Dword);
}
