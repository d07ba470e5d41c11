#include "innerplugins/krecentfile/krecentfile.h"

#include "platform/cmdline/kxcommandline.h"
#include "innerplugins/klauncherrun.h"
#include "suite/kapplication.h"

namespace {
const QString Category = QStringLiteral("KRecentFileInnerPlugin");
KInnerPluginRegistrar<KRecentFile> registrar("KRecentFile");
} // namespace

void KRecentFile::exec(const QString &cmdLine)
{
    KxCommandLine cmd;
    if (!cmd.parse(cmdLine, true) || !cmd.hasSwitch(QStringLiteral("start_from")))
        return;

    m_pending << cmdLine;
    if (!klauncher::pluginRunner()) {
        if (KApplication *app = klauncher::application())
            connect(app, &KApplication::pluginInstanceObjectRegisted, this,
                    &KRecentFile::onPluginInstanceObjectRegisted);
        return;
    }
    onPluginRunnerRegisted();
}

void KRecentFile::onPluginInstanceObjectRegisted(const QString &name)
{
    if (!klauncher::isRunnerName(name))
        return;
    if (KApplication *app = klauncher::application())
        disconnect(app, &KApplication::pluginInstanceObjectRegisted, this,
                   &KRecentFile::onPluginInstanceObjectRegisted);
    onPluginRunnerRegisted();
}

void KRecentFile::onPluginRunnerRegisted()
{
    QObject *runner = klauncher::pluginRunner();
    if (!runner) {
        klauncher::log(Category, QStringLiteral("KRecentFileInnerPlugin::onPluginRunnerRegisted KxPluginRunner is NULL"));
        return;
    }
    while (!m_pending.isEmpty()) {
        const QString cmdLine = QStringLiteral("%1 %2").arg(QStringLiteral("/init"), m_pending.first());
        klauncher::run(runner, Category, QStringLiteral("KRecentFileInnerPlugin::onPluginRunnerRegisted "),
                       QStringLiteral("krecentfile"), cmdLine, QStringLiteral("krecentfile.dll"), QStringLiteral("dll"));
        m_pending.removeFirst();
    }
}
