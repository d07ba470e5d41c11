#pragma once

#include <QObject>
#include <QSet>
#include <QStringList>

// Stands in for the suite's plugin runner object: records every run call as
// "name|params|entry|type" and refuses the names in `refuse`.
class KFakeRunner : public QObject
{
    Q_OBJECT
public:
    QStringList calls;
    QSet<QString> refuse;

    Q_INVOKABLE bool run(const QString &name, const QString &params, const QString &entry, const QString &type)
    {
        calls << QStringList{name, params, entry, type}.join(QLatin1Char('|'));
        return !refuse.contains(name);
    }
};
