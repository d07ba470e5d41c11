#include "onlineparams/krequestspan.h"

#include "onlineparams/konlineparamsmanager.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

#include <cmath>
#include <optional>

namespace ulx::onlineparams {

namespace {
// A JSON number is read as a double, so that 1e19 or 1e300 are not wrapped into a
// negative integer.
std::optional<double> wholeSeconds(const QJsonValue &value)
{
    if (value.isDouble()) {
        const double d = value.toDouble();
        return std::isfinite(d) && std::trunc(d) == d ? std::optional<double>(d) : std::nullopt;
    }
    bool ok = false;
    const qint64 n = value.toString().trimmed().toLongLong(&ok);
    return ok ? std::optional<double>(double(n)) : std::nullopt;
}
} // namespace

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
            const QJsonValue value = e.value(QStringLiteral("value"));
            RequestSpan span;
            span.given = QString::fromUtf8(QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact))
                             .mid(1)
                             .chopped(1)
                             .left(64);
            if (const std::optional<double> n = wholeSeconds(value)) {
                // 0 or less would request without pause; more than the maximum does not fit a timer.
                span.valid = true;
                span.seconds = *n <= KOnlineParamsManager::MinServerPeriodSec ? KOnlineParamsManager::MinServerPeriodSec
                               : *n >= KOnlineParamsManager::MaxPeriodSec    ? KOnlineParamsManager::MaxPeriodSec
                                                                               : int(*n);
                span.held = span.seconds != *n;
            }
            spans.append(span);
        }
        break;
    }
    return spans;
}

} // namespace ulx::onlineparams
