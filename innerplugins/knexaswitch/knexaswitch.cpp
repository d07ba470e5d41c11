#include "innerplugins/knexaswitch/knexaswitch.h"

#include "innerplugins/kinnerclock.h"
#include "platform/knetaccess.h"
#include "reportcore/kinfocollect.h"
#include "suite/krt.h"
#include "suite/kxpluginssettings.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>

namespace {
KInnerPluginRegistrar<KNexaSwitch> registrar("KNexaSwitch");

const QString SettingsGroup = QStringLiteral("knexabeep");
constexpr quint32 DateMask = 0x3C5A96E1u;
int g_transferTimeoutMs = 30000;

// The base of the configuration endpoint, read when used; empty: no request.
QString endpointBase()
{
    QSettings ini(krt::configPath(), QSettings::IniFormat);
    return ini.value(QStringLiteral("Servers/NexaSwitchSvr")).toString().trimmed();
}
} // namespace

KNexaSwitch::~KNexaSwitch()
{
    if (m_reply) {
        m_reply->disconnect(this);
        m_reply->abort();
        m_reply->deleteLater();
    }
}

void KNexaSwitch::setTransferTimeoutMs(int ms)
{
    g_transferTimeoutMs = ms;
}

QString KNexaSwitch::dateCode(const QDate &date)
{
    const quint32 v = quint32(date.toJulianDay()) ^ DateMask;
    auto byte = [v](int shift) { return QStringLiteral("%1").arg((v >> shift) & 0xFF, 2, 16, QLatin1Char('0')); };
    return QStringLiteral("%1:%2:%3:%4").arg(byte(24), byte(16), byte(8), byte(0));
}

QUrl KNexaSwitch::requestUrl(const QString &endpoint)
{
    InfoCollectContext &context = infoCollectContext();
    QString base = endpoint;
    while (base.endsWith(QLatin1Char('/')))
        base.chop(1);
    const QString url = base + QStringLiteral("/config/common/list?_template_type=nexaplex_beta");
    // The server takes its parameters joined by two ampersands, values as they are.
    const QString text = QStringLiteral("%1&&uuid=%2&&guid=%3&&hdid=%4&&_client_version=%5&&_dist=%6")
                             .arg(url, context.collectDetail6(), context.infoGuid(), context.collectDetail5(),
                                  context.userInfo(), context.collectDetail2());
    return QUrl(text, QUrl::TolerantMode);
}

void KNexaSwitch::exec(const QString &)
{
    if (krt::product::versionID() == 6 || m_reply)
        return;
    const QString localSwitch = KxPluginsSettings(SettingsGroup).value(QStringLiteral("switch"), QStringLiteral("false")).toString();
    if (localSwitch.compare(QLatin1String("true"), Qt::CaseInsensitive) != 0)
        return;
    const QString endpoint = endpointBase();
    if (endpoint.isEmpty())
        return;

    ulx::net::KNetworkAccess *network = ulx::net::networkAccess();
    if (!network)
        return;
    ulx::net::KHttpRequest request;
    request.url = requestUrl(endpoint);
    request.transferTimeoutMs = g_transferTimeoutMs;
    m_reply = network->get(request, nullptr);
    connect(m_reply, &ulx::net::KHttpReply::finished, this, &KNexaSwitch::httpFinished);
}

void KNexaSwitch::release()
{
    if (m_reply) {
        m_reply->deleteLater();
        m_reply = nullptr;
    }
}

void KNexaSwitch::httpFinished()
{
    if (!m_reply)
        return;
    if (m_reply->error() != ulx::net::KHttpReply::NoError)
        return release();

    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(m_reply->readAll(), &parseError);
    if (doc.isNull() || parseError.error != QJsonParseError::NoError || !doc.isObject())
        return release();
    const QJsonObject answer = doc.object();
    if (!answer.value(QLatin1String("success")).toBool())
        return release();

    const QString timestampText = QString::number(qint64(answer.value(QLatin1String("timestamp")).toDouble(0)));
    if (timestampText.isEmpty())
        return release();
    const QJsonArray data = answer.value(QLatin1String("data")).toArray();
    if (data.size() != 1)
        return release();
    const QJsonObject entry = data.at(0).toObject();
    if (entry.isEmpty())
        return release();
    // A number as well as a text: QJsonValue::toString() would give a number as "".
    const QString expirationText = entry.value(QLatin1String("expiration")).toVariant().toString();
    if (expirationText.isEmpty())
        return release();

    bool timestampOk = false, expirationOk = false;
    const quint64 timestampSec = timestampText.toULongLong(&timestampOk) / 1000;
    const quint64 expirationSec = expirationText.toULongLong(&expirationOk) / 1000;
    if (!timestampOk || !expirationOk)
        return release();

    const QDate expirationDate = QDateTime::fromSecsSinceEpoch(qint64(expirationSec)).date();
    const QDate timestampDate = QDateTime::fromSecsSinceEpoch(qint64(timestampSec)).date();
    const QDate today = kinnerclock::now().date();
    KxPluginsSettings(SettingsGroup)
        .setValue(QStringLiteral("beep"), QStringLiteral("%1|%2|%3").arg(dateCode(today), dateCode(timestampDate),
                                                                          dateCode(expirationDate)));
    release();
}
