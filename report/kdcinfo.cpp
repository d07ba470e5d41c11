#include "report/kdcinfo.h"

#include "reportcore/kinfocollect.h"

#include <QCoreApplication>

namespace {
const char GeneralEventPath[] = "/ulx/client/general";
}

KDcInfoC *KDcInfoC::instance()
{
    if (!QCoreApplication::instance())
        return nullptr;
    static KDcInfoC dcInfo;
    return &dcInfo;
}

QStringList KDcInfoC::eventFields(const QString &identity, const QMap<QString, QString> &fields)
{
    QStringList out{identity};
    for (auto it = fields.cbegin(); it != fields.cend(); ++it)
        out << it.key() + QLatin1Char('=') + it.value();
    return out;
}

void KDcInfoC::postGeneralEvent(const QString &name, const QMap<QString, QString> &fields, int, int)
{
    InfoCollectContext &ctx = infoCollectContext();
    if (ctx.notSend != 0 || ctx.server.isEmpty())
        return;
    sendInfoEvent(ctx.server, name, eventFields(ctx.identity(), fields), GeneralEventPath);
}
