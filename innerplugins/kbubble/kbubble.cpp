#include "innerplugins/kbubble/kbubble.h"

#include "platform/cmdline/kxcommandline.h"
#include "innerplugins/klauncherrun.h"
#include "suite/kapplication.h"
#include "suite/krt.h"
#include "suite/plugins/kpluginmanager.h"

namespace {
const QString Category = QStringLiteral("KBubbleInnerPlugin");
KInnerPluginRegistrar<KBubble> registrar("KBubble");
} // namespace

void KBubble::exec(const QString &cmdLine)
{
    KxCommandLine cmd;
    if (!cmd.parse(cmdLine, true))
        return;

    if (cmd.hasSwitch(QStringLiteral("start_from"))) {
        m_pending << cmdLine;
        KApplication *app = klauncher::application();
        if (app && !klauncher::pluginRunner())
            connect(app, &KApplication::pluginInstanceObjectRegisted, this, &KBubble::onPluginInstanceObjectRegisted,
                    Qt::UniqueConnection);
        KPluginManager *manager = klauncher::pluginMgr();
        if (manager && !manager->loaded())
            connect(manager, &KPluginManager::loadFinished, this, &KBubble::onPluginMgrLoaded, Qt::UniqueConnection);
        if (klauncher::pluginMgrLoaded() && klauncher::pluginRunner())
            doRunBubble();
    }

    if (cmd.hasSwitch(QStringLiteral("doc_scene"))) {
        const QString value = cmd.switchValue(QStringLiteral("doc_scene"));
        KApplication *app = klauncher::application();
        QObject *pushBubble = app ? app->getPluginInstanceObject(QStringLiteral("KUlxPushBubble")) : nullptr;
        if (!value.isEmpty() && pushBubble) {
            const QString scene = QString::fromUtf8(QByteArray::fromBase64(value.toUtf8()));
            QMetaObject::invokeMethod(pushBubble, "onExcuteBubbleLogicEx", Qt::QueuedConnection,
                                      Q_ARG(QString, QStringLiteral("doc_scene")), Q_ARG(QString, scene));
        }
    }
}

void KBubble::onPluginMgrLoaded()
{
    if (KPluginManager *manager = klauncher::pluginMgr())
        disconnect(manager, &KPluginManager::loadFinished, this, &KBubble::onPluginMgrLoaded);
    if (klauncher::pluginMgrLoaded() && klauncher::pluginRunner())
        doRunBubble();
}

void KBubble::onPluginInstanceObjectRegisted(const QString &name)
{
    if (!klauncher::isRunnerName(name))
        return;
    if (KApplication *app = klauncher::application())
        disconnect(app, &KApplication::pluginInstanceObjectRegisted, this, &KBubble::onPluginInstanceObjectRegisted);
    if (klauncher::pluginMgrLoaded() && klauncher::pluginRunner())
        doRunBubble();
}

void KBubble::doRunBubble()
{
    QObject *runner = klauncher::pluginRunner();
    if (!runner) {
        klauncher::log(Category, QStringLiteral("KBubbleInnerPlugin::doRunBubble KxPluginRunner is NULL"));
        return;
    }
    const QString type = krt::product::versionID() == 6 ? QStringLiteral("exe") : QStringLiteral("ruby");
    while (!m_pending.isEmpty()) {
        const QString cmdLine = QStringLiteral("%1 %2").arg(QStringLiteral("/broadcast"), m_pending.first());
        klauncher::run(runner, Category, QStringLiteral("KBubbleInnerPlugin::doRunBubble "), QStringLiteral("kbubble"),
                       cmdLine, QString(), type);
        m_pending.removeFirst();
    }
}
