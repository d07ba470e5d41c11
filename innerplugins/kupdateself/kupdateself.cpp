#include "innerplugins/kupdateself/kupdateself.h"

#include "suite/kapplication.h"
#include "suite/krt.h"
#include "suite/kxpluginssettings.h"
#include "suite/plugins/kpluginmanager.h"

namespace {
KInnerPluginRegistrar<KUpdateself> registrar("KUpdateself");

KPluginManager *pluginMgr()
{
    KCoreApplication *app = KCoreApplication::instance();
    return app ? app->getPluginMgr() : nullptr;
}
} // namespace

void KUpdateself::init()
{
    KPluginManager *manager = pluginMgr();
    if (!manager)
        return;
    if (manager->loaded())
        record();
    else
        connect(manager, &KPluginManager::loadFinished, this, &KUpdateself::onPluginMgrLoadFinished,
                Qt::UniqueConnection);
}

void KUpdateself::onPluginMgrLoadFinished()
{
    record();
}

void KUpdateself::record()
{
    KPluginManager *manager = pluginMgr();
    if (!manager || !manager->loaded())
        return;
    QString path;
    if (!krt::hasPlugin(QStringLiteral("ulxcloudsvrimp"), path))
        return;
    KxPluginsSettings settings(QStringLiteral("ulxcloudsvrimp"));
    settings.setValue(QStringLiteral("version"), krt::info::version());
    settings.setValue(QStringLiteral("lookpath"), path);
}
