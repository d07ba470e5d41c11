#include "onlineparams/kcommonparamschecker.h"

#include "platform/registry/kregsettings.h"
#include "suite/krt.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>

namespace {

KCommonParamsChecker *g_instance = nullptr;
const QString CommonKey = QStringLiteral("HKEY_CURRENT_USER\\Software\\Corvanta\\Office\\6.0\\Common");
const QString CountryPath = QStringLiteral("/api/util/geo/country");
// The geo request is one small answer: it does not hang on for longer than this.
constexpr int GeoTimeoutMs = 30000;

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
    ulx::net::KNetworkAccess *network = ulx::net::networkAccess();
    if (!network)
        return; // as a failed request: asked again at the next start
    ulx::net::KHttpRequest request;
    request.url = QUrl(server + CountryPath);
    request.transferTimeoutMs = GeoTimeoutMs;
    // Certificate errors of this one request are accepted: the country is a hint,
    // nothing secret goes out and nothing but the country is taken in.
    request.ignoreTlsErrors = true;
    ulx::net::KHttpReply *reply = network->get(request, this);
    connect(reply, &ulx::net::KHttpReply::finished, this, [this, reply] { onReply(reply); });
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
    const QJsonValue result = doc.object().value(QStringLiteral("result"));
    const QString nation = result.isString() ? result.toString() : QStringLiteral("unknown");
    KRegSettings(pluginMgrKey()).setValue(QStringLiteral("Nation"), nation);
}

void KCommonParamsChecker::copyHdcode()
{
    const QString hd = KRegSettings(CommonKey).value(QStringLiteral("InfoHD")).toString();
    if (!hd.isEmpty())
        KRegSettings(pluginMgrKey()).setValue(QStringLiteral("Hdcode"), hd.right(1));
}
