#include "report/kreportevents.h"

#include "platform/cmdline/kxcommandline.h"
#include "reportcore/kinfocollect.h"
#include "reportcore/knettransfer.h"
#include "suite/krt.h"

#include <QStringList>

namespace {

const char HostEventPath[] = "/ulx/client/ulxcloudsvrimp";
const char AppEventPath[] = "/ulx/client/app";

QString hostEventEndpoint()
{
    return krt::product::versionID() == 6 ? krt::serverinfo::infoCollectSvr_IC()
                                          : krt::serverinfo::defaultInfoCollectSvr();
}

// Fields 1 to 3 of the hang and IPC time-out events.
QStringList hostEventFields()
{
    InfoCollectContext &ctx = infoCollectContext();
    return {krt::product::versionID() == 6 ? ctx.identity() : ctx.infoGuid(), ctx.userInfo(), ctx.collectDetail2()};
}

void sendBuiltInfoUrl(const QString &server, const QString &action, const QStringList &fields, const char *path)
{
    if (krt::product::isDisableGlobalInfocollect())
        return;
    const QString url = buildInfoUrl(server, action, fields, path);
    if (!url.isEmpty())
        sendInfoUrl(url.toUtf8().constData());
}

void reportAppEvent(const QString &action, const char16_t *commandLine)
{
    if (!commandLine || !*commandLine)
        return;
    QString startFrom;
    KxCommandLine cmd;
    if (cmd.parse(QString::fromUtf16(commandLine), false))
        startFrom = cmd.switchValue(QStringLiteral("start_from"));

    InfoCollectContext &ctx = infoCollectContext();
    QStringList fields;
    if (krt::product::versionID() == 6)
        fields << ctx.identity();
    else
        fields << ctx.collectDetail6() << ctx.infoGuid();
    fields << ctx.userInfo() << ctx.collectDetail2() << startFrom;
    if (ctx.notSend == 0 && !ctx.server.isEmpty())
        sendBuiltInfoUrl(ctx.server, action, fields, AppEventPath);
}

} // namespace

void reportHang(int thresholdSeconds, bool longBlock)
{
    sendInfoEvent(hostEventEndpoint(), QStringLiteral("ulxcloudsvrimp_hang"),
                  hostEventFields() << QString::number(thresholdSeconds)
                                    << (longBlock ? QStringLiteral("1") : QStringLiteral("0")),
                  HostEventPath);
}

void reportIpcTimeout(int milliseconds)
{
    sendInfoEvent(hostEventEndpoint(), QStringLiteral("ulxcloudsvrimp_ipctimeout"),
                  hostEventFields() << QString::number(milliseconds), HostEventPath);
}

void reportLive(const char16_t *commandLine)
{
    reportAppEvent(QStringLiteral("ulxcloudsvrlive"), commandLine);
}

void reportExit(const char16_t *commandLine)
{
    reportAppEvent(QStringLiteral("ulxcloudsvrexit"), commandLine);
}
