#include "onlineparams/konlineparamsmanager.h"

#include "platform/atomicfile.h"
#include "report/kdcinfo.h"
#include "suite/krt.h"
#include "suite/kxlogger.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

#include <algorithm>

namespace {

const QString LogCategory = QStringLiteral("KOnlineParamsManager");
const QString SpanValue = QStringLiteral("nRequestSpanInSec");
const QString NetworkFail = QStringLiteral("network_fail_count");
const QString WriteOnlineFail = QStringLiteral("write_online_config_fail_count");
const QString WriteLocalFail = QStringLiteral("write_local_config_fail_count");
const QString ReadFail = QStringLiteral("read_config_fail_count");
const QString ParseFail = QStringLiteral("parse_config_fail_count");

// Writes `bytes` as the new content of `path`; a failed write (a full disk, a quota)
// leaves the old file whole and is logged here, the caller counts it.
bool writeWhole(const QString &path, const QByteArray &bytes)
{
    QString error;
    if (ulx::files::writeAtomically(path, bytes, QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                                     | QFileDevice::ReadGroup | QFileDevice::ReadOther,
                                    &error))
        return true;
    KxLogger::writeWarning(LogCategory, QStringLiteral("KOnlineParamsManager cannot write %1 (%2); the old file is kept")
                                            .arg(path, error));
    return false;
}

} // namespace

KOnlineParamsManager::KOnlineParamsManager(QObject *parent)
    : QObject(parent)
    , m_network(new QNetworkAccessManager(this))
    , m_settings(settingsKey())
{
}

KOnlineParamsManager::~KOnlineParamsManager()
{
    if (m_reply) {
        m_reply->disconnect(this);
        m_reply->abort();
    }
}

QString KOnlineParamsManager::settingsKey()
{
    return QStringLiteral("HKEY_CURRENT_USER\\SOFTWARE\\Corvanta\\Office\\6.0\\ulxcloudsvr\\OnlineConfig");
}

bool KOnlineParamsManager::start()
{
    initialize();
    reportFailCounts();
    return getOnlineConfig();
}

void KOnlineParamsManager::stopTimer()
{
    m_requestTimer.stop();
}

void KOnlineParamsManager::initialize()
{
    const QString version = krt::info::version();
    const QString channel = krt::product::distribNumber();
    const QString language = krt::i18n::language(krt::i18n::QueryValue, true);
    const QStringList systemLanguages = krt::i18n::systemUiLanguages();
    QString sysLang = systemLanguages.isEmpty() ? QString() : systemLanguages.first();

    m_requestUrl = krt::auth::getStringInfo(QStringLiteral("Server/OnlineAllParamURL"));
    if (!m_requestUrl.isEmpty()) {
        // The server decides what the device type means; the values go in as they are.
        m_requestUrl += QStringLiteral("?version=") + version + QStringLiteral("&lang=") + language
            + QStringLiteral("&channel=") + channel + QStringLiteral("&devicetype=windows");
        if (!sysLang.isEmpty())
            m_requestUrl += QStringLiteral("&sys_lang=") + sysLang.replace(QLatin1Char('-'), QLatin1Char('_'));
    }
    m_onlineParamFile = krt::onlineparams::onlineParamPath();
    m_localParamFile = krt::onlineparams::localParamPath();

    // A stored period of 0 or less would make the timer spin: it reads as the default.
    int period = m_settings.value(SpanValue, DefaultPeriodSec).toInt();
    if (period <= 0)
        period = DefaultPeriodSec;
    m_requestTimer.setInterval(std::min(period, MaxPeriodSec) * 1000);
    connect(&m_requestTimer, &QTimer::timeout, this, &KOnlineParamsManager::onOnlineConfigTimeout,
            Qt::UniqueConnection);
    m_requestTimer.start();

    m_networkFailCount = 0;
    m_writeOnlineFailCount = 0;
    m_writeLocalFailCount = 0;
    connect(this, &KOnlineParamsManager::getOnlineParamError, this, &KOnlineParamsManager::onGetOnlineParamError,
            Qt::UniqueConnection);
}

bool KOnlineParamsManager::getOnlineConfig()
{
    if (m_requestUrl.isEmpty())
        return false;
    if (m_reply) {
        // The previous period's request never ended: it is given up, uncounted.
        m_reply->disconnect(this);
        m_reply->abort();
        m_reply->deleteLater();
    }
    QNetworkRequest request{QUrl(m_requestUrl)};
    request.setTransferTimeout(std::min(m_requestTimer.interval(), MaxRequestTimeoutMs));
    QNetworkReply *reply = m_network->get(request);
    m_reply = reply;
    connect(reply, &QNetworkReply::finished, this, &KOnlineParamsManager::onGetOnlineParamFinished);
    connect(reply, &QNetworkReply::downloadProgress, this, [this, reply](qint64 received, qint64 total) {
        if (received > m_maxBodyBytes || total > m_maxBodyBytes)
            reply->abort(); // ends as a failed request
    });
    return true;
}

void KOnlineParamsManager::onGetOnlineParamFinished()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply)
        return;
    const QNetworkReply::NetworkError error = reply->error();
    const QByteArray body = error == QNetworkReply::NoError ? reply->readAll() : QByteArray();
    reply->deleteLater();
    if (m_reply == reply)
        m_reply = nullptr;

    if (error == QNetworkReply::NoError) {
        m_lastResponse = body;
        parseOnlineConfig();
        if (updateOnlineConfig())
            updateLocalConfig();
    } else {
        KxLogger::writeMsg(KxLogger::Info(), LogCategory,
                           QStringLiteral("KOnlineParamsManager::onGetOnlineParamFinished ") + reply->errorString());
        Q_EMIT getOnlineParamError();
    }
}

void KOnlineParamsManager::onGetOnlineParamError()
{
    ++m_networkFailCount;
    if (m_networkFailCount <= NetworkRetries) {
        QTimer::singleShot(NetworkRetryDelayMs, this, &KOnlineParamsManager::getOnlineConfig);
        return;
    }
    m_settings.setValue(NetworkFail, m_networkFailCount);
}

void KOnlineParamsManager::parseOnlineConfig()
{
    // Read as text first, as the suite does: bytes that are not UTF-8 become
    // replacement characters instead of making the whole document unreadable.
    const QJsonObject top = QJsonDocument::fromJson(QString::fromUtf8(m_lastResponse).toUtf8()).object();
    const QJsonArray params = top.value(QStringLiteral("params")).toArray();
    for (const QJsonValue &group : params) {
        const QJsonObject g = group.toObject();
        if (!g.contains(QStringLiteral("funcName")) || !g.contains(QStringLiteral("extras"))
            || g.value(QStringLiteral("funcName")).toString() != QLatin1String("global"))
            continue;
        for (const QJsonValue &extra : g.value(QStringLiteral("extras")).toArray()) {
            const QJsonObject e = extra.toObject();
            if (e.value(QStringLiteral("key")).toString() != SpanValue)
                continue;
            bool ok = false;
            const qint64 n = e.value(QStringLiteral("value")).toVariant().toLongLong(&ok);
            if (!ok)
                continue;
            // 0 or less would request without pause; more than the maximum does not fit a timer.
            const int seconds = int(std::clamp<qint64>(n, MinServerPeriodSec, MaxPeriodSec));
            if (seconds != n)
                KxLogger::writeMsg(KxLogger::Warning(), LogCategory,
                                   QStringLiteral("KOnlineParamsManager::parseOnlineConfig nRequestSpanInSec %1 held to %2")
                                       .arg(n)
                                       .arg(seconds));
            m_settings.setValue(SpanValue, seconds);
            m_requestTimer.setInterval(seconds * 1000);
        }
        return;
    }
}

bool KOnlineParamsManager::ensureParentDir(const QString &path)
{
    const QFileInfo info(path);
    return info.absoluteDir().exists() || QDir().mkpath(info.absolutePath());
}

bool KOnlineParamsManager::updateOnlineConfig()
{
    if (m_onlineParamFile.isEmpty() || !ensureParentDir(m_onlineParamFile)
        || !writeWhole(m_onlineParamFile, m_lastResponse)) {
        onlineWriteFailed();
        return false;
    }
    m_settings.setValue(WriteOnlineFail, 0);
    return true;
}

void KOnlineParamsManager::onlineWriteFailed()
{
    const int old = m_writeOnlineFailCount++;
    if (old < WriteRetries)
        QTimer::singleShot(WriteRetryDelayMs, this, &KOnlineParamsManager::updateAllConfig);
    m_settings.setValue(WriteOnlineFail, m_writeOnlineFailCount);
}

bool KOnlineParamsManager::updateLocalConfig()
{
    QFile online(m_onlineParamFile);
    bool ok = online.open(QIODevice::ReadOnly);
    const QByteArray bytes = ok ? online.readAll() : QByteArray();
    ok = ok && online.error() == QFileDevice::NoError;
    if (!ok || m_localParamFile.isEmpty() || !ensureParentDir(m_localParamFile) || !writeWhole(m_localParamFile, bytes)) {
        localWriteFailed();
        return false;
    }
    m_settings.setValue(WriteLocalFail, 0);
    return true;
}

void KOnlineParamsManager::localWriteFailed()
{
    const int old = m_writeLocalFailCount++;
    if (old < WriteRetries)
        QTimer::singleShot(WriteRetryDelayMs, this, &KOnlineParamsManager::updateLocalConfig);
    m_settings.setValue(WriteLocalFail, m_writeLocalFailCount);
}

void KOnlineParamsManager::updateAllConfig()
{
    if (updateOnlineConfig())
        updateLocalConfig();
}

void KOnlineParamsManager::onOnlineConfigTimeout()
{
    reportFailCounts();
    m_networkFailCount = 0;
    m_writeOnlineFailCount = 0;
    m_writeLocalFailCount = 0;
    getOnlineConfig();
}

void KOnlineParamsManager::reportFailCounts()
{
    const QStringList names{ReadFail, ParseFail, NetworkFail, WriteOnlineFail, WriteLocalFail};
    QMap<QString, QString> fields;
    for (const QString &name : names) {
        const int count = m_settings.value(name, 0).toInt();
        if (count > 0)
            fields.insert(name, QString::number(count));
    }
    if (fields.isEmpty())
        return;
    if (!krt::product::isDisableGlobalInfocollect()) {
        if (KDcInfoC *dc = KDcInfoC::instance())
            dc->postGeneralEvent(QStringLiteral("getonlineparam_error"), fields, 0, 0);
    }
    for (const QString &name : names)
        m_settings.setValue(name, 0); // from int: stored as REG_DWORD
}
