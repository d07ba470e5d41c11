// ulxinfodecode: reads one record URL (or its d= text) per line on stdin and writes
// one JSON object per line: {"pairs":[["dm","/ulx/client/app"],["action",null],...]}
// in record order, or {"error":"..."} for a line that does not decode. A dynamic
// report ("v=DYN1") comes out as {"dyn":{...}} (reportcore/kdynrecord.h).

#include "reportcore/kdynrecord.h"
#include "reportcore/kinforecord.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringDecoder>

#include <cstdio>
#include <iostream>
#include <string>

int main()
{
    std::string raw;
    while (std::getline(std::cin, raw)) {
        QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        const QString line = utf8.decode(QByteArrayView(raw.data(), qsizetype(raw.size())));
        QJsonObject out;
        QList<ulx::inforecord::Pair> pairs;
        QString error;
        ulx::dynrecord::Record dyn;
        if (utf8.hasError()) {
            out.insert(QStringLiteral("error"), QStringLiteral("line is not UTF-8"));
        } else if (line.contains(QLatin1String("v=DYN1"))) {
            if (ulx::dynrecord::decodeLine(line, &dyn, &error))
                out.insert(QStringLiteral("dyn"), ulx::dynrecord::toJson(dyn));
            else
                out.insert(QStringLiteral("error"), error);
        } else if (!ulx::inforecord::decodeLine(line, &pairs, &error)) {
            out.insert(QStringLiteral("error"), error);
        } else {
            QJsonArray list;
            for (const auto &p : std::as_const(pairs))
                list.append(QJsonArray{p.key, p.value ? QJsonValue(*p.value) : QJsonValue(QJsonValue::Null)});
            out.insert(QStringLiteral("pairs"), list);
        }
        const QByteArray json = QJsonDocument(out).toJson(QJsonDocument::Compact);
        std::fwrite(json.constData(), 1, size_t(json.size()), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }
    return 0;
}
