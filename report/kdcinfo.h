#pragma once

#include <QMap>
#include <QString>
#include <QStringList>

// The suite runtime's information-collection object: general events with named
// fields. An event goes the one road of every event (sendInfoEvent) to the
// context's endpoint ([Servers] InfoCollectSvr), path "/ulx/client/general", as a
// record of ("dm", "action" = the event name, "pnum", "p0" = the identity field,
// "p1".. = "name=value" for each field, in name order).
class KDcInfoC
{
public:
    // The process's object; null while the process has no application object.
    static KDcInfoC *instance();

    // Queues the event; nothing is sent when the context's not-send flag is set or
    // no endpoint is configured. The two integers are kept for the suite's callers.
    void postGeneralEvent(const QString &name, const QMap<QString, QString> &fields, int, int);

    static QStringList eventFields(const QString &identity, const QMap<QString, QString> &fields);
};
