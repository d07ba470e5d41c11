#include "suite/plugins/kpluginupgrademanager.h"

#include "suite/plugins/kpluginmanager.h"

KPluginUpgradeManager::KPluginUpgradeManager(KPluginManager *manager)
    : QObject(manager)
    , m_manager(manager)
{
}

KPluginUpgradeManager::~KPluginUpgradeManager() = default;

void KPluginUpgradeManager::reload()
{
    if (m_manager)
        m_manager->requestReading(true);
}
