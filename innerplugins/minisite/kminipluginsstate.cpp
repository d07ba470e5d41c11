#include "innerplugins/minisite/kminipluginsstate.h"

#include "suite/kapplication.h"
#include "suite/plugins/kplugin.h"
#include "suite/plugins/kpluginmonitor.h"

#include <QTimer>

KMiniPluginsMonitor::KMiniPluginsMonitor(const QString &pluginName, QObject *parent)
    : QObject(parent)
    , m_name(pluginName)
{
    KCoreApplication *app = KCoreApplication::instance();
    m_monitor = new KPluginMonitor(this, app ? app->getPluginMgr() : nullptr, pluginName);
    connect(m_monitor, &KPluginMonitor::loadFinished, this, &KMiniPluginsMonitor::loaded);
    connect(m_monitor, &KPluginMonitor::loadProgress, this,
            [this](qint64 total, qint64 received) { Q_EMIT loadProgress(total, received); });
    m_monitor->execute(true);
}

KPlugin *KMiniPluginsMonitor::plugin() const
{
    return m_monitor->getPlugin();
}

KMiniPluginsState::KMiniPluginsState(const QString &pluginName, QObject *parent, int timeLimitSeconds)
    : QObject(parent)
    , m_name(pluginName)
{
    auto *monitor = new KMiniPluginsMonitor(pluginName, this);
    KPlugin *plugin = monitor->plugin();
    if (timeLimitSeconds > 0) {
        if (plugin && plugin->state() == KPlugin::Loaded) {
            m_status = Loaded;
            // After the creator has connected to loaded().
            QMetaObject::invokeMethod(this, "__OnPluginLoadFinished", Qt::QueuedConnection, Q_ARG(bool, true));
        } else {
            connect(monitor, &KMiniPluginsMonitor::loadProgress, this, &KMiniPluginsState::loadProgress);
            connect(monitor, &KMiniPluginsMonitor::loaded, this, &KMiniPluginsState::__OnPluginLoadFinished);
            auto *timer = new QTimer(this);
            timer->setSingleShot(true);
            connect(timer, &QTimer::timeout, this, &KMiniPluginsState::__OnPluginLoadTimeout);
            timer->start(timeLimitSeconds * 1000);
        }
    } else {
        m_done = true;
        const int state = plugin ? plugin->state() : 0;
        m_status = state == KPlugin::Loaded ? Loaded : (state >= 0 && state <= 2 ? Pending : Failed);
    }
}

void KMiniPluginsState::__OnPluginLoadFinished(bool ok)
{
    if (m_done)
        return;
    m_done = true;
    m_status = ok ? Loaded : Failed;
    Q_EMIT loaded(ok);
}

void KMiniPluginsState::__OnPluginLoadTimeout()
{
    if (m_done)
        return;
    m_done = true;
    m_status = TimedOut;
    Q_EMIT loaded(false);
}
