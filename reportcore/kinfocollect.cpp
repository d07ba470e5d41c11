#include "reportcore/kinfocollect.h"

#include "hdid/khdidmanager.h"
#include "platform/registry/kregsettings.h"
#include "reportcore/kinforecord.h"
#include "reportcore/knettransfer.h"
#include "suite/krt.h"

#include <QMutexLocker>
#include <QUuid>

#include <atomic>
#include <thread>

namespace {

const char DefaultPath[] = "/ulx/client/app";

QString readCommon(const QString &name)
{
    return KRegSettings(infoCommonKey()).value(name).toString();
}

// The UUID as it is stored, in its one form (lowercase, hyphens, no braces): text
// in any form QUuid reads, or the 16 bytes of a binary value. Empty for anything else.
QString normalisedUuid(const QVariant &stored)
{
    QUuid uuid;
    if (stored.typeId() == QMetaType::QByteArray) {
        const QByteArray bytes = stored.toByteArray();
        uuid = bytes.size() == 16 ? QUuid::fromRfc4122(bytes) : QUuid::fromString(QLatin1String(bytes.trimmed()));
    } else if (stored.typeId() == QMetaType::QString) {
        QString text = stored.toString().trimmed();
        if (text.size() == 32) // the 32 digits alone
            text = QStringLiteral("%1-%2-%3-%4-%5").arg(text.left(8), text.mid(8, 4), text.mid(12, 4), text.mid(16, 4), text.mid(20));
        uuid = QUuid::fromString(text);
    }
    return uuid.isNull() ? QString() : uuid.toString(QUuid::WithoutBraces);
}

// Has the hardware identifier computed and stored, off the caller's thread: the
// computation waits on the user's identifier mutex without limit while another
// process computes, and up to its own limit for the devices. One at a time; the
// identifier's own manager (not the process-wide one, which may be destroyed at
// exit while this thread still runs) stores it where the next read finds it.
void requestHardwareId()
{
    static std::atomic_bool running{false};
    if (running.exchange(true))
        return;
    std::thread([] {
        {
            ulx::hdid::HdidManager manager;
            manager.read(ulx::hdid::WaitLimitMs);
        }
        running = false;
    }).detach();
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
    if (m_collectDetail5.isEmpty()) {
        m_collectDetail5 = readCommon(QStringLiteral("InfoHD2"));
        if (m_collectDetail5.isEmpty())
            requestHardwareId(); // this event goes without it; a later one has it
    }
    return m_collectDetail5;
}

QString InfoCollectContext::collectDetail6()
{
    QMutexLocker lock(&m_lazyMutex);
    if (m_collectDetail6.isEmpty()) {
        KRegSettings common(infoCommonKey());
        const QString InfoUuid = QStringLiteral("InfoUUID");
        QString uuid = normalisedUuid(common.value(InfoUuid));
        if (uuid.isEmpty()) {
            // Missing, or nothing a UUID can be read from: a fresh one replaces it.
            const QString fresh = QUuid::createUuid().toString(QUuid::WithoutBraces);
            common.setValue(InfoUuid, fresh);
            // Two first reads in two processes at once: the value that stayed wins in
            // both; a store that took nothing leaves this process with its own.
            uuid = normalisedUuid(common.value(InfoUuid));
            if (uuid.isEmpty())
                uuid = fresh;
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
