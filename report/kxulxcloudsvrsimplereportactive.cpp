#include "report/kxulxcloudsvrsimplereportactive.h"

#include "hdid/khdidmanager.h"
#include "reportcore/kinfocollect.h"
#include "report/kxulxcloudsvrrepactive.h"
#include "suite/krt.h"

#include <QDateTime>

namespace {
const QString LastTime = QStringLiteral("lastsimpleactivetime");
const char EventPath[] = "/ulx/client/plugins";
constexpr int HdidBufferChars = 260;
} // namespace

KxUlxCloudsvrSimpleReportActive::KxUlxCloudsvrSimpleReportActive(QObject *parent)
    : QObject(parent)
    , m_settings(KxUlxCloudsvrRepActive::settingsKey())
{
}

void KxUlxCloudsvrSimpleReportActive::run()
{
    m_enabled = m_settings.value(QStringLiteral("simplereportswitch"), false).toBool()
        && krt::product::isSupported(QStringLiteral("UlxCloudsvrReportActive"));
    if (m_enabled && !reportedToday()) {
        sendSimpleActive();
        markReported();
    }
}

bool KxUlxCloudsvrSimpleReportActive::reportedToday()
{
    if (m_todayState == 0) {
        const uint seconds = m_settings.value(LastTime, 0).toUInt();
        const QDateTime last = QDateTime::fromSecsSinceEpoch(qint64(seconds));
        m_todayState = last.isValid() && QDateTime::currentDateTime().daysTo(last) == 0 ? 1 : 2;
    }
    return m_todayState == 1;
}

void KxUlxCloudsvrSimpleReportActive::markReported()
{
    m_todayState = 1;
    m_settings.setValue(LastTime, QVariant(quint32(QDateTime::currentSecsSinceEpoch())), KRegType::Dword);
}

void KxUlxCloudsvrSimpleReportActive::sendSimpleActive()
{
    // First: on a machine without a stored identifier this computes it (up to 5 s).
    char16_t hdid[HdidBufferChars] = {};
    ulx::hdid::getHdid(hdid, HdidBufferChars);

    InfoCollectContext &ctx = infoCollectContext();
    const QStringList fields{ctx.identity(), ctx.userInfo(), ctx.collectDetail2(), QString::fromUtf16(hdid)};
    if (ctx.notSend == 0)
        sendInfoEvent(krt::serverinfo::defaultInfoCollectSvr(), QStringLiteral("ulxcloudsvr_simple_active"), fields,
                      EventPath);
}
