#include "suite/plugins/kpluginmonitor.h"

#include "suite/plugins/kplugin.h"
#include "suite/plugins/kpluginmanager.h"
#include "suite/plugins/kpluginupgrademanager.h"

KPluginMonitor::KPluginMonitor(QObject *parent, KPluginManager *manager, const QString &pluginName)
    : QObject(parent)
    , m_manager(manager)
    , m_name(pluginName)
{
    m_waitTimer.setSingleShot(true);
    connect(&m_waitTimer, &QTimer::timeout, this, [this] { finish(false); });
}

KPluginMonitor::~KPluginMonitor()
{
    dropConnections();
}

KPlugin *KPluginMonitor::getPlugin() const
{
    return m_manager ? m_manager->getPlugin(m_name) : nullptr;
}

void KPluginMonitor::execute(bool load)
{
    if (m_running)
        return;
    m_running = true;
    m_load = load;
    ++m_serial;

    if (!m_manager) {
        finishLater(false);
        return;
    }
    // The manager's end ends the watch: its plugins go with it.
    m_connections << connect(m_manager, &QObject::destroyed, this, [this] { finish(false); });
    if (m_manager->loaded()) {
        attach();
        return;
    }
    // Not loaded yet, or reloading: whichever reading completes first.
    m_connections << connect(m_manager, &KPluginManager::loadFinished, this, &KPluginMonitor::attach);
    m_connections << connect(m_manager->getPluginUpgradeManager(), &KPluginUpgradeManager::reloadFinished, this,
                             &KPluginMonitor::attach);
    if (m_waitLimit >= 0)
        m_waitTimer.start(m_waitLimit);
}

void KPluginMonitor::attach()
{
    if (!m_running || !m_manager)
        return;
    m_waitTimer.stop();
    dropConnections();
    m_connections << connect(m_manager, &QObject::destroyed, this, [this] { finish(false); });

    KPlugin *plugin = m_manager->getPlugin(m_name);
    if (!plugin) {
        finishLater(false);
        return;
    }
    if (plugin->state() == KPlugin::Loaded) {
        finishLater(true);
        return;
    }
    m_connections << connect(plugin, &KPlugin::loadProgress, this, &KPluginMonitor::loadProgress);
    m_connections << connect(plugin, &KPlugin::loadSuccess, this, [this] { finish(true); });
    m_connections << connect(plugin, &KPlugin::loadFailed, this, [this] { finish(false); });
    m_connections << connect(plugin, &KPlugin::loadCanceled, this, [this] { finish(false); });
    if (m_load && plugin->state() != KPlugin::Downloading && plugin->state() != KPlugin::Installing)
        plugin->load(0);
}

void KPluginMonitor::finish(bool ok)
{
    if (!m_running)
        return;
    m_running = false;
    m_waitTimer.stop();
    dropConnections();
    Q_EMIT loadFinished(ok);
}

void KPluginMonitor::finishLater(bool ok)
{
    const quint64 serial = m_serial;
    QTimer::singleShot(0, this, [this, ok, serial] {
        if (serial == m_serial)
            finish(ok);
    });
}

void KPluginMonitor::dropConnections()
{
    for (const QMetaObject::Connection &c : std::as_const(m_connections))
        disconnect(c);
    m_connections.clear();
}
