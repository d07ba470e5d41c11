#pragma once

#include "innerplugins/iinnerplugin.h"

#include <QDateTime>
#include <QObject>

class KMiniPluginsState;
class KUlxMinisiteIpc;

// Brings up the suite's minisite for users who are not members: on a command line
// that qualifies it loads the assistant plugin "kulxminisiteassistant" or, when that
// cannot be loaded, the minisite plugin "ulxminisite", and then has the launcher
// show the minisite ("/minisite /from:minisite /minisite:tray"). Relays the push
// bubble's browse-the-web requests to the minisite program's channel "ulxminisite",
// follows the account object's login state, and reports the events 100 (minisite
// shown, first time of the day), 101 (minisite plugin failed) and 102 (member).
class KMinisite : public QObject, public IInnerPlugin
{
    Q_OBJECT
public:
    enum MembershipMode { Undecided = 0, Member = 1, NotMember = 2 };

    KMinisite();
    ~KMinisite() override;

    void init() override;
    void uninit() override {}
    void exec(const QString &cmdLine) override;

    int membershipMode() const { return m_vipMode; }
    QDateTime lastAccepted() const { return m_lastAccepted; }
    bool assistantLoaded() const { return m_assistantLoaded; }
    static bool isMember();

    // The plugins' load limit (300 s).
    static void setLoadLimitSeconds(int seconds);
    // The delay of the membership re-check (1000 ms).
    static void setVipDelayMs(int ms);

private Q_SLOTS:
    void __OnMinisiteAssistantLoaded(bool bLoaded);
    void __OnPluginMgrLoadFinished();
    void __OnMinisiteLoaded(bool bLoaded);
    void __OnLoginStateChange(QString userId);
    void __OnPluginInstanceObjectRegisted(QString instanceName);
    void __OnDelayUpdateVipStatus();
    void __OnBubbleLogicEx(QString logicCode, QString logicInfo);
    void __OnPushbubbleObjectRegisted(QString instanceName);

private:
    void followLogin(QObject *loginObject);
    void exeNotify();
    void reportEvent(int code);

    QObject *m_loginObject = nullptr;
    int m_vipMode = Undecided;
    QDateTime m_lastAccepted;
    KMiniPluginsState *m_minisiteState = nullptr;
    KMiniPluginsState *m_assistantState = nullptr;
    bool m_assistantLoaded = false;
    KUlxMinisiteIpc *m_ipc = nullptr;
};
