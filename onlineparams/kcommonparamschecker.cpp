#include "onlineparams/kcommonparamschecker.h"

#include "platform/registry/kregsettings.h"
#include "suite/krt.h"
#include "suite/kxlogger.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSettings>
#include <QTimer>
#include <QUrl>

namespace {

KCommonParamsChecker *g_instance = nullptr;
const QString CommonKey = QStringLiteral("HKEY_CURRENT_USER\\Software\\Corvanta\\Office\\6.0\\Common");
const QString CountryPath = QStringLiteral("/api/util/geo/country");
const QString LogCategory = QStringLiteral("KCommonParamsChecker");
// The geo request is one small answer: it does not last longer than this in all,
// trickling or not ([Servers] GeoTimeoutMs of the installation configuration).
constexpr int DefaultGeoTimeoutMs = 30000;
// Certificates are not checked: the answer is held small and read as a country code only.
constexpr qint64 MaxAnswerBytes = 4096;
const QRegularExpression CountryCode(QStringLiteral("^[A-Za-z]{1,8}$"));

int geoTimeoutMs()
{
    const QSettings ini(krt::configPath(), QSettings::IniFormat);
    bool ok = false;
    const int ms = ini.value(QStringLiteral("Servers/GeoTimeoutMs")).toInt(&ok);
    return ok && ms > 0 ? ms : DefaultGeoTimeoutMs;
}

} // namespace

KCommonParamsChecker *KCommonParamsChecker::instance()
{
    if (!g_instance)
        g_instance = new KCommonParamsChecker;
    return g_instance;
}

void KCommonParamsChecker::release()
{
    delete g_instance;
    g_instance = nullptr;
}

QString KCommonParamsChecker::pluginMgrKey()
{
    return QStringLiteral("HKEY_CURRENT_USER\\Software\\Corvanta\\Office\\6.0\\Common\\PluginMgr");
}

void KCommonParamsChecker::check()
{
    KRegSettings pluginMgr(pluginMgrKey());
    if (pluginMgr.value(QStringLiteral("Nation")).toString().isEmpty())
        requestCountry();
    if (pluginMgr.value(QStringLiteral("Hdcode")).toString().isEmpty())
        copyHdcode();
}

void KCommonParamsChecker::requestCountry()
{
    QString server = krt::serverinfo::geoSvr();
    if (server.isEmpty())
        return; // not configured: no request
    while (server.endsWith(QLatin1Char('/')))
        server.chop(1);
    const QUrl url(server + CountryPath);
    if (url.scheme() != QLatin1String("https")) {
        KxLogger::writeMsg(KxLogger::Warning(), LogCategory,
                           QStringLiteral("KCommonParamsChecker::requestCountry %1 is not https: no request").arg(server));
        return;
    }
    ulx::net::KNetworkAccess *network = ulx::net::networkAccess();
    if (!network)
        return; // as a failed request: asked again at the next start
    const int timeoutMs = geoTimeoutMs();
    ulx::net::KHttpRequest request;
    request.url = url;
    request.transferTimeoutMs = timeoutMs;
    // The reply never holds more than one byte past the bound: that byte tells it is too long.
    request.readBufferSize = MaxAnswerBytes + 1;
    // Certificate errors of this one request are accepted: the country is a hint,
    // nothing secret goes out and nothing but the country is taken in.
    request.ignoreTlsErrors = true;
    ulx::net::KHttpReply *reply = network->get(request, this);
    connect(reply, &ulx::net::KHttpReply::finished, this, [this, reply] { onReply(reply); });
    connect(reply, &ulx::net::KHttpReply::readyRead, reply, [reply] {
        if (reply->bytesAvailable() <= MaxAnswerBytes && reply->contentLength() <= MaxAnswerBytes)
            return;
        KxLogger::writeMsg(KxLogger::Warning(), LogCategory,
                           QStringLiteral("KCommonParamsChecker::requestCountry the answer is longer than %1 bytes: dropped")
                               .arg(MaxAnswerBytes));
        reply->abort();
    });
    QTimer::singleShot(timeoutMs, reply, [reply, timeoutMs] {
        KxLogger::writeMsg(KxLogger::Warning(), LogCategory,
                           QStringLiteral("KCommonParamsChecker::requestCountry no complete answer in %1 ms: dropped")
                               .arg(timeoutMs));
        reply->abort();
    });
}

void KCommonParamsChecker::onReply(ulx::net::KHttpReply *reply)
{
    reply->deleteLater();
    if (reply->error() != ulx::net::KHttpReply::NoError)
        return;
    const QByteArray body = reply->readAll();
    if (body.isEmpty())
        return;
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return;
    // Only a country code is taken in; anything else is an answer without one.
    const QString result = doc.object().value(QStringLiteral("result")).toString();
    const QString nation = CountryCode.match(result).hasMatch() ? result : QStringLiteral("unknown");
    KRegSettings(pluginMgrKey()).setValue(QStringLiteral("Nation"), nation);
}

void KCommonParamsChecker::copyHdcode()
{
    const QString hd = KRegSettings(CommonKey).value(QStringLiteral("InfoHD")).toString();
    if (!hd.isEmpty())
        KRegSettings(pluginMgrKey()).setValue(QStringLiteral("Hdcode"), hd.right(1));
}
