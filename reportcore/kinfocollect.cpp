#include "reportcore/kinfocollect.h"

#include "platform/registry/kregsettings.h"
#include "reportcore/kinforecord.h"
#include "reportcore/knettransfer.h"
#include "suite/krt.h"

#include <QMutexLocker>
#include <QUuid>

namespace {

const char DefaultPath[] = "/ulx/client/app";

QString readCommon(const QString &name)
{
    return KRegSettings(infoCommonKey()).value(name).toString();
}

} // namespace

QString infoCommonKey()
{
    return QStringLiteral("HKEY_CURRENT_USER\\Software\\Corvanta\\Office\\6.0\\Common");
}

InfoCollectContext::InfoCollectContext()
{
    KRegSettings common(infoCommonKey());
    bool ok = false;
    const int flag = common.value(QStringLiteral("ICNotSend")).toInt(&ok);
    if (ok)
        notSend = flag;
    if (krt::product::isDisableGlobalInfocollect())
        notSend = 1;

    server = krt::serverinfo::infoCollectSvr();

    QString guid = common.value(QStringLiteral("infoGUID")).toString();
    if (guid.isEmpty())
        guid = krt::KUWPCommonSettings::value(QStringLiteral("infoGUID"));
    for (QChar c : QStringView(guid).left(1023)) {
        if (c != QLatin1Char('{') && c != QLatin1Char('}') && c != QLatin1Char('-'))
            m_infoGuid.append(c);
    }

    m_collectDetail2 = krt::product::distribNumber();
    m_userInfo = krt::info::version();
}

QString InfoCollectContext::collectDetail5()
{
    QMutexLocker lock(&m_lazyMutex);
    if (m_collectDetail5.isEmpty())
        m_collectDetail5 = readCommon(QStringLiteral("InfoHD2"));
    return m_collectDetail5;
}

QString InfoCollectContext::collectDetail6()
{
    QMutexLocker lock(&m_lazyMutex);
    if (m_collectDetail6.isEmpty()) {
        KRegSettings common(infoCommonKey());
        QString uuid = common.value(QStringLiteral("InfoUUID")).toString();
        if (uuid.isEmpty()) {
            uuid = QUuid::createUuid().toString(QUuid::WithoutBraces);
            common.setValue(QStringLiteral("InfoUUID"), uuid);
            // Two first reads in two processes at once: the value that stayed wins in both.
            const QString stored = common.value(QStringLiteral("InfoUUID")).toString();
            if (!stored.isEmpty())
                uuid = stored;
        }
        m_collectDetail6 = uuid;
    }
    return m_collectDetail6;
}

QString InfoCollectContext::identity()
{
    return infoGuid() + QLatin1Char('|') + collectDetail5() + QLatin1Char('|') + collectDetail6();
}

InfoCollectContext &infoCollectContext()
{
    static InfoCollectContext *context = new InfoCollectContext; // used until the process's last moment
    return *context;
}

QString buildInfoUrl(const QString &server, const QString &action, const QStringList &fields, const char *path)
{
    using ulx::inforecord::Pair;
    QList<Pair> pairs;
    pairs.reserve(fields.size() + 3);
    pairs.append({QStringLiteral("dm"), QString::fromUtf8(path ? path : DefaultPath)});
    pairs.append({QStringLiteral("action"), action.isNull() ? std::nullopt : std::optional<QString>(action)});
    pairs.append({QStringLiteral("pnum"), QString::number(fields.size())});
    for (qsizetype i = 0; i < fields.size(); ++i)
        pairs.append({QStringLiteral("p%1").arg(i), fields.at(i)});

    const QByteArray encoded = ulx::inforecord::encodeE1(ulx::inforecord::serializeS1(pairs));
    const QString url = server + QStringLiteral("?v=D1S1E1&d=") + QString::fromLatin1(encoded);
    if (url.toUtf8().size() > ulx::inforecord::MaxUrlBytes)
        return QString();
    return url;
}

void sendInfoEvent(const QString &server, const QString &action, const QStringList &fields, const char *path)
{
    if (!krt::infocollect::isEnabled(0) || krt::product::isDisableGlobalInfocollect())
        return;
    const QString endpoint = krt::product::versionID() == 6 ? krt::serverinfo::infoCollectSvr_IC() : server;
    const QString url = buildInfoUrl(endpoint, action, fields, path);
    if (url.isEmpty())
        return;
    sendInfoUrl(url.toUtf8().constData());
}
