#pragma once

#include "platform/knetaccess.h"
#include "platform/registry/kregsettings.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

// Keeps the suite's online parameter files fresh: every period it fetches the whole
// parameter set from "Server/OnlineAllParamURL" of the installation's [Auth], stores
// the body as the online file and then replaces the local file with a copy of it.
// Failures are counted under ulxcloudsvr\OnlineConfig and reported once per period
// as the event "getonlineparam_error".
//
// Both files are replaced by an atomic rename of a complete new file, so a reader
// sees the old or the new content, never a missing or partial file. The period
// comes from "nRequestSpanInSec"; a value from the server is held to
// [MinServerPeriodSec, MaxPeriodSec]. A request that stalls is abandoned after
// min(period, MaxRequestTimeoutMs) without data, and a new period abandons the
// request of the previous one, so requests never pile up.
class KOnlineParamsManager : public QObject
{
    Q_OBJECT
public:
    static constexpr int DefaultPeriodSec = 14400;
    static constexpr int MinServerPeriodSec = 60;
    static constexpr int MaxPeriodSec = 2147483; // the longest interval a timer takes
    static constexpr int NetworkRetries = 3;
    static constexpr int NetworkRetryDelayMs = 1000;
    static constexpr int WriteRetries = 1;
    static constexpr int WriteRetryDelayMs = 1000;
    static constexpr int MaxRequestTimeoutMs = 60000;
    static constexpr qint64 DefaultMaxBodyBytes = 32 * 1024 * 1024;

    explicit KOnlineParamsManager(QObject *parent);
    ~KOnlineParamsManager() override;

    // First report of stored counts and first request; false when no parameter
    // server is configured.
    bool start();
    void stopTimer();

    static QString settingsKey();
    QString requestUrl() const { return m_requestUrl; }
    int periodMs() const { return m_requestTimer.interval(); }
    // A body longer than this counts as a failed request.
    void setMaxBodyBytes(qint64 bytes) { m_maxBodyBytes = bytes; }

Q_SIGNALS:
    void getOnlineParamError();

private Q_SLOTS:
    bool getOnlineConfig();
    void onGetOnlineParamFinished();
    void onGetOnlineParamError();
    void onOnlineConfigTimeout();
    void updateAllConfig();
    bool updateOnlineConfig();
    bool updateLocalConfig();

private:
    void initialize();
    void reportFailCounts();
    void parseOnlineConfig();
    static bool ensureParentDir(const QString &path);
    void onlineWriteFailed();
    void localWriteFailed();

    QString m_requestUrl;
    QString m_onlineParamFile;
    QString m_localParamFile;
    QByteArray m_lastResponse; // the body's bytes as they came
    KRegSettings m_settings;
    QTimer m_requestTimer;
    QPointer<ulx::net::KHttpReply> m_reply;
    qint64 m_maxBodyBytes = DefaultMaxBodyBytes;
    int m_networkFailCount = 0;
    int m_writeOnlineFailCount = 0;
    int m_writeLocalFailCount = 0;
};
