#include "apprunner/kxulxcloudsvrapprunner.h"

#include "apprunner/kxulxcloudsvrrunapptask.h"
#include "suite/kapplication.h"
#include "suite/plugins/kpluginmanager.h"

namespace {
KPluginManager *pluginManager()
{
    KCoreApplication *app = KCoreApplication::instance();
    return app ? app->getPluginMgr() : nullptr;
}
} // namespace

KxUlxCloudSvrAppRunner::KxUlxCloudSvrAppRunner(QObject *application)
    : QObject(application)
{
}

KxUlxCloudSvrAppRunner::~KxUlxCloudSvrAppRunner()
{
    pendingCommands.clear();
    // The tasks are children: their destructors cancel their downloads and close
    // their windows now, while the application is still there to own widgets.
    const QList<KxUlxCloudSvrRunAppTask *> tasks = findChildren<KxUlxCloudSvrRunAppTask *>(Qt::FindDirectChildrenOnly);
    for (KxUlxCloudSvrRunAppTask *task : tasks) {
        task->disconnect(this);
        delete task;
    }
}

void KxUlxCloudSvrAppRunner::initialize()
{
    KPluginManager *manager = pluginManager();
    if (!manager)
        return; // no manager yet: commands wait (the service creates it before it serves)
    if (!manager->loaded()) {
        connect(manager, &KPluginManager::loadFinished, this, &KxUlxCloudSvrAppRunner::onPluginMgrLoaded);
        return;
    }
    pluginMgrReady = true;
    if (!pendingCommands.isEmpty())
        run(pendingCommands.takeFirst());
}

void KxUlxCloudSvrAppRunner::run(const QString &commandLine)
{
    if (!pluginMgrReady || taskRunning) {
        pendingCommands << commandLine;
        return;
    }
    auto *task = new KxUlxCloudSvrRunAppTask(this);
    if (!task->prepare(commandLine)) {
        task->deleteLater();
        return;
    }
    connect(task, &KxUlxCloudSvrRunAppTask::taskFinished, this, &KxUlxCloudSvrAppRunner::onTaskFinished);
    taskRunning = true;
    task->start();
}

void KxUlxCloudSvrAppRunner::clearPending()
{
    pendingCommands.clear();
}

void KxUlxCloudSvrAppRunner::onPluginMgrLoaded()
{
    pluginMgrReady = true;
    if (!pendingCommands.isEmpty())
        run(pendingCommands.takeFirst());
}

void KxUlxCloudSvrAppRunner::onTaskFinished()
{
    taskRunning = false;
    if (!pendingCommands.isEmpty())
        run(pendingCommands.takeFirst());
}
