#include "report/kinfosdk.h"

#include "platform/registry/kregsettings.h"
#include "report/kinfocollect.h"
#include "suite/krt.h"

#include <QLibrary>

namespace {

using IdentifierFn = void (*)(char16_t *buffer);
using SendFn = void (*)(const char16_t *, const char16_t *, const char16_t *, const char16_t *, const char16_t *);

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

const char16_t *utf16(const QString &s)
{
    return reinterpret_cast<const char16_t *>(s.utf16());
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

void infoSdkSendByGet(const QString &endpoint, const QString &path, const QString &action, const QString &format,
                      const QStringList &items)
{
    if (krt::product::isDisableGlobalInfocollect())
        return;
    const auto send = reinterpret_cast<SendFn>(resolve("_kinfosdk_SendInfoX_By_GET"));
    if (!send)
        return;
    const QString data = items.join(QStringLiteral("#@+#"));
    send(utf16(endpoint), utf16(path), utf16(action), utf16(format), utf16(data));
}

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

    QString distSrc = infoSdkDistSrc();
    if (distSrc == QLatin1String("00001.00000001"))
        distSrc.clear();
    const QStringList items{QStringLiteral("%1|%2|%3").arg(infoSdkGuid(), infoSdkHdid(), infoSdkUuid()),
                            infoSdkVersion(), distSrc, QString::number(exceptExit), QString::number(capturedCrash)};
    infoSdkSendByGet(crashServer(), QStringLiteral("/ulx/client/e_exit"), QStringLiteral("e_exit_host"),
                     QStringLiteral("D1S1E1"), items);
    settings.setValue(QStringLiteral("ICExceptExit"), 0, KRegType::Dword);
    settings.setValue(QStringLiteral("ICCapturedCrash"), 0, KRegType::Dword);
}
