#include "innerplugins/minisite/kminisite.h"

#include "platform/cmdline/kxcommandline.h"
#include "innerplugins/kinnerclock.h"
#include "innerplugins/klauncherrun.h"
#include "innerplugins/minisite/kminipluginsstate.h"
#include "innerplugins/minisite/kulxminisiteipc.h"
#include "platform/detachedstart.h"
#include "platform/registry/kregsettings.h"
#include "reportcore/kinfocollect.h"
#include "suite/kapplication.h"
#include "suite/kmemberuser.h"
#include "suite/krt.h"
#include "suite/kxlogger.h"
#include "suite/kxpluginssettings.h"
#include "suite/plugins/kpluginmanager.h"

#include <QFile>
#include <QTimer>

namespace {
KInnerPluginRegistrar<KMinisite> registrar("KMinisite");

const QString Category = QStringLiteral("KMinisite");
const QString LoginObject = QStringLiteral("tavidesk");
const QString PushBubbleObject = QStringLiteral("KUlxPushBubble");
const QString MinisitePlugin = QStringLiteral("ulxminisite");
const QString AssistantPlugin = QStringLiteral("kulxminisiteassistant");
const QString DayMarkerGroup = QStringLiteral("minisiteex");
const QString DayMarkerValue = QStringLiteral("impstrtpmnstdt");
const QString DayFormat = QStringLiteral("yyyy-MM-dd");
constexpr qint64 AcceptanceWindowSec = 600;

int g_loadLimitSec = 300;
int g_vipDelayMs = 1000;

using klauncher::application;
using klauncher::instanceObject;
using klauncher::pluginMgr;
using klauncher::pluginMgrLoaded;

void logInfo(const QString &message)
{
    KxLogger::writeMsg(KxLogger::Info(), Category, message);
}
} // namespace

void KMinisite::setLoadLimitSeconds(int seconds)
{
    g_loadLimitSec = seconds;
}

void KMinisite::setVipDelayMs(int ms)
{
    g_vipDelayMs = ms;
}

KMinisite::KMinisite()
    : m_ipc(new KUlxMinisiteIpc(this))
{
}

KMinisite::~KMinisite()
{
    delete m_assistantState;
    delete m_minisiteState;
}

bool KMinisite::isMember()
{
    KMemberUser *user = KMemberUser::instance();
    auto member = [](int type) { return type >= KMemberUser::MemberTypeFirst && type <= KMemberUser::MemberTypeLast; };
    if (member(user->getUserType()))
        return true;
    for (int type : user->getUserTypes()) {
        if (member(type))
            return true;
    }
    return false;
}

void KMinisite::followLogin(QObject *loginObject)
{
    m_loginObject = loginObject;
    QTimer::singleShot(g_vipDelayMs, this, &KMinisite::__OnDelayUpdateVipStatus);
    connect(loginObject, SIGNAL(loginStateChange(QString)), this, SLOT(__OnLoginStateChange(QString)),
            Qt::UniqueConnection);
}

void KMinisite::init()
{
    if (m_loginObject)
        return;
    if (QObject *login = instanceObject(LoginObject))
        followLogin(login);
    else if (KApplication *app = application())
        connect(app, &KApplication::pluginInstanceObjectRegisted, this, &KMinisite::__OnPluginInstanceObjectRegisted,
                Qt::UniqueConnection);
}

void KMinisite::__OnPluginInstanceObjectRegisted(QString instanceName)
{
    if (instanceName.compare(LoginObject, Qt::CaseInsensitive) != 0)
        return;
    if (QObject *login = instanceObject(LoginObject))
        followLogin(login);
    if (KApplication *app = application())
        disconnect(app, &KApplication::pluginInstanceObjectRegisted, this, &KMinisite::__OnPluginInstanceObjectRegisted);
}

void KMinisite::__OnLoginStateChange(QString)
{
    QTimer::singleShot(g_vipDelayMs, this, &KMinisite::__OnDelayUpdateVipStatus);
}

void KMinisite::__OnDelayUpdateVipStatus()
{
    m_vipMode = Undecided;
    m_vipMode = isMember() ? Member : NotMember;
}

void KMinisite::exec(const QString &cmdLine)
{
    if (krt::product::versionID() == 6)
        return;
    KxCommandLine cmd;
    if (!cmd.parse(cmdLine, true))
        return;
    if (m_vipMode == Undecided)
        m_vipMode = isMember() ? Member : NotMember;
    if (m_vipMode == Member) {
        reportEvent(102);
        return;
    }
    const QString startFrom = cmd.switchValue(QStringLiteral("start_from"));
    if (startFrom.compare(QLatin1String("tavinseload"), Qt::CaseInsensitive) == 0 || m_assistantLoaded)
        return;

    const QDateTime now = kinnerclock::now();
    if (!m_lastAccepted.isNull() && m_lastAccepted.isValid() && m_lastAccepted.secsTo(now) <= AcceptanceWindowSec) {
        // A clock set back (a last acceptance in the future) is refused as well.
        logInfo(QStringLiteral("KMinisite::hasAccepted at : ") + m_lastAccepted.toString(Qt::TextDate) + cmdLine);
        return;
    }
    m_lastAccepted = now;
    if (pluginMgrLoaded())
        __OnPluginMgrLoadFinished();
    else if (KPluginManager *manager = pluginMgr())
        connect(manager, &KPluginManager::loadFinished, this, &KMinisite::__OnPluginMgrLoadFinished,
                Qt::UniqueConnection);
}

void KMinisite::__OnPluginMgrLoadFinished()
{
    if (!pluginMgrLoaded())
        return;
    // One connection however many lines are accepted: a request is shown once.
    if (QObject *bubble = instanceObject(PushBubbleObject))
        connect(bubble, SIGNAL(BubbleLogicEx(QString, QString)), this, SLOT(__OnBubbleLogicEx(QString, QString)),
                Qt::UniqueConnection);
    else if (KApplication *app = application())
        connect(app, &KApplication::pluginInstanceObjectRegisted, this, &KMinisite::__OnPushbubbleObjectRegisted,
                Qt::UniqueConnection);

    if (!m_assistantState) {
        m_assistantState = new KMiniPluginsState(AssistantPlugin, nullptr, g_loadLimitSec);
        connect(m_assistantState, &KMiniPluginsState::loaded, this, &KMinisite::__OnMinisiteAssistantLoaded);
        return;
    }
    if (m_assistantState->status() != KMiniPluginsState::Loaded)
        __OnMinisiteAssistantLoaded(false);
}

void KMinisite::__OnMinisiteAssistantLoaded(bool bLoaded)
{
    if (m_assistantState)
        disconnect(m_assistantState, &KMiniPluginsState::loaded, this, &KMinisite::__OnMinisiteAssistantLoaded);
    m_assistantLoaded = bLoaded;
    if (bLoaded)
        return;
    if (!m_minisiteState) {
        m_minisiteState = new KMiniPluginsState(MinisitePlugin, nullptr, g_loadLimitSec);
        connect(m_minisiteState, &KMiniPluginsState::loaded, this, &KMinisite::__OnMinisiteLoaded);
        return;
    }
    if (m_minisiteState->status() == KMiniPluginsState::Loaded) {
        disconnect(m_minisiteState, &KMiniPluginsState::loaded, this, &KMinisite::__OnMinisiteLoaded);
        exeNotify();
    }
}

void KMinisite::__OnMinisiteLoaded(bool bLoaded)
{
    if (m_minisiteState)
        disconnect(m_minisiteState, &KMiniPluginsState::loaded, this, &KMinisite::__OnMinisiteLoaded);
    if (bLoaded)
        exeNotify();
    else
        reportEvent(101);
}

void KMinisite::exeNotify()
{
    const QString installRoot =
        KRegSettings(QStringLiteral("HKEY_CURRENT_USER\\Software\\Corvanta\\Office\\6.0\\Common"))
            .value(QStringLiteral("InstallRoot"))
            .toString();
    if (installRoot.isEmpty())
        return;

    const QString launcher = krt::dirs::launchExePath();
    logInfo(QStringLiteral("KMinisite::exeNotify ") + launcher);
    const ulx::process::DetachedStart started = ulx::process::startDetached(
        QFile::encodeName(launcher).toStdString(), {"/minisite", "/from:minisite", "/minisite:tray"});
    // The started process's id, or the negated error number when it did not start.
    logInfo(QStringLiteral("KMinisite::exeNotify %1").arg(started.started ? qint64(started.pid) : -qint64(started.error)));

    KxPluginsSettings marker(DayMarkerGroup);
    const QString last = marker.value(DayMarkerValue).toString();
    const QDate today = kinnerclock::now().date();
    const QDate lastDay = QDate::fromString(last, DayFormat);
    // An unparsable marker counts as an earlier day.
    const bool firstToday = last.isEmpty() || !lastDay.isValid() || lastDay < today;
    if (firstToday) {
        reportEvent(100);
        marker.setValue(DayMarkerValue, today.toString(DayFormat));
    }
}

void KMinisite::__OnPushbubbleObjectRegisted(QString instanceName)
{
    if (instanceName.compare(PushBubbleObject, Qt::CaseInsensitive) != 0)
        return;
    if (QObject *bubble = instanceObject(PushBubbleObject))
        connect(bubble, SIGNAL(BubbleLogicEx(QString, QString)), this, SLOT(__OnBubbleLogicEx(QString, QString)),
                Qt::UniqueConnection);
    if (KApplication *app = application())
        disconnect(app, &KApplication::pluginInstanceObjectRegisted, this, &KMinisite::__OnPushbubbleObjectRegisted);
}

void KMinisite::__OnBubbleLogicEx(QString logicCode, QString logicInfo)
{
    if (logicCode != QLatin1String("browsetheweb") && logicCode != QLatin1String("browsetheweb_common"))
        return;
    if (!m_ipc->sendMessage(QStringLiteral("ulxminisite"), logicInfo, QString()))
        KxLogger::writeMsg(KxLogger::Warning(), Category,
                           QStringLiteral("KMinisite::__OnBubbleLogicEx not delivered to ulxminisite: ") + logicCode);
}

void KMinisite::reportEvent(int code)
{
    InfoCollectContext &context = infoCollectContext();
    if (context.notSend != 0 || context.server.isEmpty())
        return;
    QStringList fields{context.infoGuid(), context.collectDetail2(), context.userInfo(), QString::number(code)};
    for (int i = 0; i < 6; ++i)
        fields << QString();
    fields << context.collectDetail5();
    sendInfoEvent(context.server, QStringLiteral("impstartupmini"), fields, "/ulx/client/minisite");
}
