#include "pluginrunner/kplugingetter.h"

#include "suite/kapplication.h"
#include "suite/plugins/kplugin.h"
#include "suite/plugins/kpluginmanager.h"

#include <QTimer>

KPluginGetter::KPluginGetter(const QString &pluginName, QObject *parent)
    : QObject(parent)
    , m_pluginName(pluginName)
{
    qRegisterMetaType<KPluginGetter::PluginFinalState>();
}

void KPluginGetter::onPluginMgrLoadFinished()
{
    KCoreApplication *app = KCoreApplication::instance();
    KPluginManager *manager = app ? app->getPluginMgr() : nullptr;
    if (!manager)
        return;
    KPlugin *plugin = manager->getPlugin(m_pluginName);
    if (!plugin) {
        finish(PluginNotFound);
        return;
    }
    if (plugin->state() == KPlugin::Loaded) {
        finish(LoadSuccess);
        return;
    }
    connect(plugin, &KPlugin::loadSuccess, this, &KPluginGetter::onPluginLoadSuccess);
    connect(plugin, &KPlugin::loadFailed, this, &KPluginGetter::onPluginLoadFailed);
    connect(plugin, &KPlugin::loadCanceled, this, &KPluginGetter::onPluginLoadCancelled);
}

void KPluginGetter::onPluginLoadSuccess()
{
    finish(LoadSuccess);
}

void KPluginGetter::onPluginLoadFailed()
{
    finish(LoadFailed);
}

void KPluginGetter::onPluginLoadCancelled()
{
    finish(LoadCanceled);
}

void KPluginGetter::finish(PluginFinalState state)
{
    m_finalState = state;
    // Never inside the caller's call or the plugin's own emission.
    QTimer::singleShot(0, this, &KPluginGetter::fireSignal);
}

void KPluginGetter::fireSignal()
{
    Q_EMIT pluginLoadFinished(m_finalState);
}
