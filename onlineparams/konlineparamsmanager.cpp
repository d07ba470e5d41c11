#include "onlineparams/konlineparamsmanager.h"

#include "onlineparams/krequestspan.h"
#include "platform/atomicfile.h"
#include "report/kdcinfo.h"
#include "suite/krt.h"
#include "suite/kxlogger.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
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
    QString problem;
    ulx::net::KNetworkAccess *network = ulx::net::networkAccess(&problem);
    if (!network) {
        KxLogger::writeMsg(KxLogger::Info(), LogCategory, QStringLiteral("KOnlineParamsManager::getOnlineConfig ") + problem);
        // Counted like any failed request, from the event loop as a reply would end.
        QTimer::singleShot(0, this, &KOnlineParamsManager::getOnlineParamError);
        return true;
    }
    ulx::net::KHttpRequest request;
    request.url = QUrl(m_requestUrl);
    request.transferTimeoutMs = std::min(m_requestTimer.interval(), MaxRequestTimeoutMs);
    ulx::net::KHttpReply *reply = network->get(request, this);
    m_reply = reply;
    connect(reply, &ulx::net::KHttpReply::finished, this, &KOnlineParamsManager::onGetOnlineParamFinished);
    connect(reply, &ulx::net::KHttpReply::downloadProgress, this, [this, reply](qint64 received, qint64 total) {
        if (received > m_maxBodyBytes || total > m_maxBodyBytes)
            reply->abort(); // ends as a failed request
    });
    return true;
}

void KOnlineParamsManager::onGetOnlineParamFinished()
{
    auto *reply = qobject_cast<ulx::net::KHttpReply *>(sender());
    if (!reply)
        return;
    const ulx::net::KHttpReply::Error error = reply->error();
    const QByteArray body = error == ulx::net::KHttpReply::NoError ? reply->readAll() : QByteArray();
    reply->deleteLater();
    if (m_reply == reply)
        m_reply = nullptr;

    if (error == ulx::net::KHttpReply::NoError) {
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
    for (const ulx::onlineparams::RequestSpan &span : ulx::onlineparams::readRequestSpans(m_lastResponse)) {
        if (!span.valid) {
            // The period in force stays.
            KxLogger::writeMsg(KxLogger::Warning(), LogCategory,
                               QStringLiteral("KOnlineParamsManager::parseOnlineConfig nRequestSpanInSec %1 is not a whole "
                                              "number of seconds: ignored")
                                   .arg(span.given));
            continue;
        }
        if (span.held)
            KxLogger::writeMsg(KxLogger::Warning(), LogCategory,
                               QStringLiteral("KOnlineParamsManager::parseOnlineConfig nRequestSpanInSec %1 held to %2")
                                   .arg(span.given)
                                   .arg(span.seconds));
        m_settings.setValue(SpanValue, span.seconds);
        m_requestTimer.setInterval(span.seconds * 1000);
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
