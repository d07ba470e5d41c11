#include "pluginrunner/kxulxcloudsvrpluginrunner.h"
#include "pluginrunner/kxulxcloudsvrpluginrunner_p.h"

#include "platform/cmdline/kxcommandline.h"
#include "suite/kapplication.h"
#include "suite/kxlogger.h"
#include "suite/plugins/kpluginmanager.h"
#include "suite/plugins/kpluginupgrademanager.h"

#include <QFileInfo>
#include <QTimer>

#include <utility>

namespace {
const QString AppCategory = QStringLiteral("KxUlxCloudSvrApplication");
const QString Category = QStringLiteral("KxUlxCloudSvrPluginRunner");
const QString RunnerName = QStringLiteral("kpluginrunner");

void warnMissing(const QString &name)
{
    KxLogger::writeWarning(AppCategory, QStringLiteral("command line miss switch: %1, will do nothing").arg(name));
}

QStringList namesOf(const QList<KRunPluginRequest> &queue)
{
    QStringList names;
    for (const KRunPluginRequest &r : queue)
        names << r.name;
    return names;
}
} // namespace

// --- public part

KxUlxCloudSvrPluginRunner::KxUlxCloudSvrPluginRunner(KApplication *application)
    : QObject(application)
    , d(new KxUlxCloudSvrPluginRunnerPrivate(application, this))
{
}

KxUlxCloudSvrPluginRunner::~KxUlxCloudSvrPluginRunner() = default;

void KxUlxCloudSvrPluginRunner::initialize()
{
    d->initialize();
}

void KxUlxCloudSvrPluginRunner::run(const QString &cmdline)
{
    d->run(cmdline);
}

void KxUlxCloudSvrPluginRunner::shutdown()
{
    d->shutdown();
}

QStringList KxUlxCloudSvrPluginRunner::pendingLocal() const
{
    return namesOf(d->localQueue);
}

QStringList KxUlxCloudSvrPluginRunner::pendingRemote() const
{
    return namesOf(d->remoteQueue);
}

// --- private part

KxUlxCloudSvrPluginRunnerPrivate::KxUlxCloudSvrPluginRunnerPrivate(KApplication *application, QObject *parent)
    : QObject(parent)
    , m_app(application)
{
}

KPluginManager *KxUlxCloudSvrPluginRunnerPrivate::pluginMgr() const
{
    return m_app ? m_app->getPluginMgr() : nullptr;
}

QObject *KxUlxCloudSvrPluginRunnerPrivate::runnerObject() const
{
    return m_app ? m_app->getPluginInstanceObject(RunnerName) : nullptr;
}

bool KxUlxCloudSvrPluginRunnerPrivate::parseRunCommand(const QString &cmdline, KRunPluginRequest *request)
{
    KxCommandLine cmd;
    if (!cmd.parse(cmdline, false)) {
        KxLogger::writeWarning(AppCategory, QStringLiteral("parse command line error. %1").arg(cmdline));
        return false;
    }
    const QString pluginName = QStringLiteral("plugin_name");
    const QString pluginType = QStringLiteral("plugin_type");
    request->name = cmd.switchValue(pluginName);
    if (request->name.isEmpty()) {
        warnMissing(pluginName);
        return false;
    }
    cmd.removeSwitch(pluginName);

    for (const QString &kind : {QStringLiteral("plugin_runinfo"), QStringLiteral("plugin_local")}) {
        if (!cmd.hasSwitch(kind))
            continue;
        cmd.removeSwitch(kind);
        request->type = cmd.switchValue(pluginType);
        if (request->type.isEmpty()) {
            KxLogger::writeWarning(AppCategory,
                                   QStringLiteral("command line has switch %1, but miss switch: %2, will do nothing")
                                       .arg(kind, pluginType));
            return false;
        }
        request->kind = kind;
        cmd.removeSwitch(pluginType);
        request->params = cmd.toString();
        return true;
    }

    const QString pluginEntry = QStringLiteral("plugin_entry");
    request->entry = cmd.switchValue(pluginEntry);
    if (request->entry.isEmpty()) {
        warnMissing(pluginEntry);
        return false;
    }
    request->kind = pluginEntry;
    cmd.removeSwitch(pluginEntry);
    request->type = QFileInfo(request->entry).suffix();
    request->params = cmd.toString();
    return true;
}

void KxUlxCloudSvrPluginRunnerPrivate::run(const QString &cmdline)
{
    KRunPluginRequest request;
    if (!parseRunCommand(cmdline, &request))
        return;

    if (request.kind != QLatin1String("plugin_runinfo")) {
        // The document bubbles come first: the plugin may rely on them.
        const QString entry = QStringLiteral("plugin_entry");
        const QString dll = QStringLiteral("dll");
        localQueue << KRunPluginRequest{QStringLiteral("kpdfassobubble"), QStringLiteral("kpdfassobubble.dll"),
                                        QString(), dll, entry}
                   << KRunPluginRequest{QStringLiteral("kpdfassobubbleview"),
                                        QStringLiteral("kpdfassobubbleview.dll"), QString(), dll, entry}
                   << request;
        QTimer::singleShot(0, this, &KxUlxCloudSvrPluginRunnerPrivate::onRunPendingLocalPlugin);
        return;
    }

    remoteQueue << request;
    KPluginManager *manager = pluginMgr();
    if (manager && !manager->loaded() && pluginMgrLoaded) {
        // The manager is reloading its list: the request waits for the reload.
        pluginMgrLoaded = false;
        connect(manager->getPluginUpgradeManager(), &KPluginUpgradeManager::reloadFinished, this,
                &KxUlxCloudSvrPluginRunnerPrivate::onPluginMgrLoaded, Qt::UniqueConnection);
        manager->getPluginUpgradeManager()->reload();
    } else {
        QTimer::singleShot(0, this, &KxUlxCloudSvrPluginRunnerPrivate::onRunPendingRemotePlugin);
    }
}

void KxUlxCloudSvrPluginRunnerPrivate::initialize()
{
    if (KPluginManager *manager = pluginMgr()) {
        if (!manager->loaded()) {
            connect(manager, &KPluginManager::loadFinished, this, &KxUlxCloudSvrPluginRunnerPrivate::onPluginMgrLoaded);
        } else {
            pluginMgrLoaded = true;
            onRunPendingRemotePlugin();
        }
    }
    if (runnerObject()) {
        onPluginInstanceObjectRegisted(RunnerName);
    } else if (m_app) {
        connect(m_app, &KApplication::pluginInstanceObjectRegisted, this,
                &KxUlxCloudSvrPluginRunnerPrivate::onPluginInstanceObjectRegisted);
    }
}

void KxUlxCloudSvrPluginRunnerPrivate::shutdown()
{
    localQueue.clear();
    remoteQueue.clear();
    if (KPluginManager *manager = pluginMgr()) {
        disconnect(manager, nullptr, this, nullptr);
        disconnect(manager->getPluginUpgradeManager(), nullptr, this, nullptr);
    }
}

void KxUlxCloudSvrPluginRunnerPrivate::onRunPendingLocalPlugin()
{
    if (runnerObject())
        drain(localQueue);
}

void KxUlxCloudSvrPluginRunnerPrivate::onRunPendingRemotePlugin()
{
    KPluginManager *manager = pluginMgr();
    if (manager && manager->loaded() && runnerObject())
        drain(remoteQueue);
}

void KxUlxCloudSvrPluginRunnerPrivate::onPluginMgrLoaded()
{
    pluginMgrLoaded = true;
    onRunPendingRemotePlugin();
}

void KxUlxCloudSvrPluginRunnerPrivate::onPluginInstanceObjectRegisted(const QString &name)
{
    if (name.compare(RunnerName, Qt::CaseInsensitive) != 0)
        return;
    onRunPendingLocalPlugin();
    onRunPendingRemotePlugin();
}

void KxUlxCloudSvrPluginRunnerPrivate::drain(QList<KRunPluginRequest> &queue)
{
    QObject *runner = runnerObject();
    if (!runner) {
        KxLogger::writeMsg(KxLogger::Fixed(), Category, QStringLiteral("KxUlxCloudSvrPluginRunner::_run KxPluginRunner is NULL"));
        return;
    }
    // The queue is taken over first: the runner object may spin the event loop
    // while it installs a plugin, and requests queued meanwhile land in `queue`.
    const QList<KRunPluginRequest> taken = std::exchange(queue, {});
    QList<KRunPluginRequest> failed;
    for (qsizetype i = 0; i < taken.size(); ++i) {
        // Looked up for each request: the object may go away while it runs one.
        runner = runnerObject();
        if (!runner) {
            failed << taken.mid(i);
            break;
        }
        const KRunPluginRequest &request = taken.at(i);
        bool ok = false;
        QMetaObject::invokeMethod(runner, "run", Qt::DirectConnection, Q_RETURN_ARG(bool, ok),
                                  Q_ARG(QString, request.name), Q_ARG(QString, request.params),
                                  Q_ARG(QString, request.entry), Q_ARG(QString, request.type));
        if (!ok) {
            KxLogger::writeMsg(KxLogger::Fixed(), Category,
                               QStringLiteral("KxUlxCloudSvrPluginRunner::_run ") + QStringLiteral("%1 run failed").arg(request.name));
            failed << request;
        }
    }
    // Refused requests are older than anything queued meanwhile.
    queue = failed + queue;
}
