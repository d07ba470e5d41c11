#include "apprunner/kxulxcloudsvrapprunner.h"

#include "apprunner/kxulxcloudsvrrunapptask.h"
#include "suite/kapplication.h"
#include "suite/kxlogger.h"
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
    clearPending();
    cancelTasks();
}

void KxUlxCloudSvrAppRunner::cancelTasks()
{
    // The tasks are children: their destructors cancel their downloads and close
    // their windows now, while the application is still there to own widgets.
    const QList<KxUlxCloudSvrRunAppTask *> tasks = findChildren<KxUlxCloudSvrRunAppTask *>(Qt::FindDirectChildrenOnly);
    for (KxUlxCloudSvrRunAppTask *task : tasks) {
        task->disconnect(this);
        delete task;
    }
    taskRunning = false;
    runningCommand.clear();
}

QStringList KxUlxCloudSvrAppRunner::takeCommands()
{
    QStringList out;
    if (taskRunning)
        out << runningCommand;
    out << pendingCommands;
    pendingCommands.clear();
    cancelTasks();
    return out;
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
    runPending();
}

void KxUlxCloudSvrAppRunner::run(const QString &commandLine)
{
    // Always behind what waits already: commands run in the order they came.
    pendingCommands << commandLine;
    runPending();
}

void KxUlxCloudSvrAppRunner::runPending()
{
    // A task that finishes inside start() comes back here through onTaskFinished;
    // the loop below takes its successor instead of a deeper call.
    if (draining)
        return;
    draining = true;
    while (pluginMgrReady && !taskRunning && !pendingCommands.isEmpty()) {
        const QString commandLine = pendingCommands.takeFirst();
        auto *task = new KxUlxCloudSvrRunAppTask(this);
        if (!task->prepare(commandLine)) {
            task->deleteLater();
            continue;
        }
        connect(task, &KxUlxCloudSvrRunAppTask::taskFinished, this, &KxUlxCloudSvrAppRunner::onTaskFinished);
        taskRunning = true;
        runningCommand = commandLine;
        task->start();
    }
    draining = false;
}

void KxUlxCloudSvrAppRunner::clearPending()
{
    // The service ends (SIGTERM, force_exit): what waits is not run later.
    if (!pendingCommands.isEmpty())
        KxLogger::writeInfo(QStringLiteral("KxUlxCloudSvrAppRunner"),
                            QStringLiteral("KxUlxCloudSvrAppRunner::clearPending %1 queued run_app line(s) not run")
                                .arg(pendingCommands.size()));
    pendingCommands.clear();
}

void KxUlxCloudSvrAppRunner::onPluginMgrLoaded()
{
    pluginMgrReady = true;
    runPending();
}

void KxUlxCloudSvrAppRunner::onTaskFinished()
{
    taskRunning = false;
    runningCommand.clear();
    runPending();
}
