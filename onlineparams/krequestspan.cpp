#include "onlineparams/krequestspan.h"

#include "onlineparams/konlineparamsmanager.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

#include <algorithm>

namespace ulx::onlineparams {

QList<RequestSpan> readRequestSpans(const QByteArray &body)
{
    QList<RequestSpan> spans;
    const QJsonObject top = QJsonDocument::fromJson(QString::fromUtf8(body).toUtf8()).object();
    const QJsonArray params = top.value(QStringLiteral("params")).toArray();
    for (const QJsonValue &group : params) {
        const QJsonObject g = group.toObject();
        if (!g.contains(QStringLiteral("funcName")) || !g.contains(QStringLiteral("extras"))
            || g.value(QStringLiteral("funcName")).toString() != QLatin1String("global"))
            continue;
        for (const QJsonValue &extra : g.value(QStringLiteral("extras")).toArray()) {
            const QJsonObject e = extra.toObject();
            if (e.value(QStringLiteral("key")).toString() != QLatin1String("nRequestSpanInSec"))
                continue;
            bool ok = false;
            const qint64 n = e.value(QStringLiteral("value")).toVariant().toLongLong(&ok);
            if (!ok)
                continue;
            // 0 or less would request without pause; more than the maximum does not fit a timer.
            spans.append({n, int(std::clamp<qint64>(n, KOnlineParamsManager::MinServerPeriodSec,
                                                    KOnlineParamsManager::MaxPeriodSec))});
        }
        break;
    }
    return spans;
}

} // namespace ulx::onlineparams
