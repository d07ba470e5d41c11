#pragma once

#include <QMutex>
#include <QString>
#include <QStringList>

// The identifiers most information-collection events carry, gathered once per
// process, and the one road every event takes: buildInfoUrl, then sendInfoEvent.
//
// Sources on this platform: the suite's common key
// "HKEY_CURRENT_USER\Software\Corvanta\Office\6.0\Common" (values "ICNotSend",
// "infoGUID", "InfoHD2" - the hardware identifier's cached value, computed in the
// background on first use when missing - and "InfoUUID", a per-user UUID created on
// first read, sent in its one text form whatever form it is stored in), the
// installation configuration (the distribution number, the suite version, the
// endpoints).
class InfoCollectContext
{
public:
    InfoCollectContext();

    QString infoGuid() const { return m_infoGuid; }
    QString userInfo() const { return m_userInfo; }
    QString collectDetail2() const { return m_collectDetail2; }
    // Asked for again on every read until non-empty; never blocks: while the
    // identifier is not stored, each read returns empty and has it computed on a
    // thread of its own (one at a time).
    QString collectDetail5();
    QString collectDetail6();
    // The identity field: info GUID, detail 5 and detail 6 joined by "|".
    QString identity();

    int notSend = 0;
    QString server;

private:
    QString m_infoGuid;
    QString m_userInfo;
    QString m_collectDetail2;
    QMutex m_lazyMutex;
    QString m_collectDetail5;
    QString m_collectDetail6;
};

// The process-wide context, built on the first call (safe from any thread).
InfoCollectContext &infoCollectContext();

// The suite's common key, where the identifiers live.
QString infoCommonKey();

// server + "?v=D1S1E1&d=" + the encoded record of ("dm" = path, "action", "pnum",
// "p0".. = fields); empty when the record cannot be built or the URL would pass 16 KiB.
// A null action is sent as a null value; a null path means "/ulx/client/app".
QString buildInfoUrl(const QString &server, const QString &action, const QStringList &fields,
                     const char *path);

// Applies the suite's switches, picks the endpoint, builds and queues the event.
void sendInfoEvent(const QString &server, const QString &action, const QStringList &fields, const char *path);
