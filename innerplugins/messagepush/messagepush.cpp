#include "innerplugins/messagepush/messagepush.h"

#include "platform/cmdline/kxcommandline.h"
#include "innerplugins/klauncherrun.h"
#include "suite/kapplication.h"
#include "suite/krt.h"
#include "suite/kxpluginssettings.h"

namespace {
const QString Category = QStringLiteral("MessagepushInnerPlugin");
KInnerPluginRegistrar<Messagepush> registrar("Messagepush");
} // namespace

void Messagepush::exec(const QString &cmdLine)
{
    if (krt::product::isSupported(QStringLiteral("DoNotSupportMessagePush")))
        return;
    KxCommandLine cmd;
    if (!cmd.parse(cmdLine, true) || !cmd.hasSwitch(QStringLiteral("start_from")))
        return;
    if (cmd.switchValue(QStringLiteral("start_from")).compare(QLatin1String("tavinseload"), Qt::CaseInsensitive) == 0)
        return;

    m_pending << cmdLine;
    if (!KxPluginsSettings(QStringLiteral("messagepush")).boolValue(QStringLiteral("autorun"), true))
        return;
    if (!klauncher::pluginRunner()) {
        if (KApplication *app = klauncher::application())
            connect(app, &KApplication::pluginInstanceObjectRegisted, this,
                    &Messagepush::onPluginInstanceObjectRegisted);
        return;
    }
    onPluginRunnerRegisted();
}

void Messagepush::onPluginInstanceObjectRegisted(const QString &name)
{
    if (!klauncher::isRunnerName(name))
        return;
    if (KApplication *app = klauncher::application())
        disconnect(app, &KApplication::pluginInstanceObjectRegisted, this,
                   &Messagepush::onPluginInstanceObjectRegisted);
    onPluginRunnerRegisted();
}

void Messagepush::onPluginRunnerRegisted()
{
    QObject *runner = klauncher::pluginRunner();
    if (!runner) {
        klauncher::log(Category, QStringLiteral("MessagepushInnerPlugin::onPluginRunnerRegisted KxPluginRunner is NULL"));
        return;
    }
    while (!m_pending.isEmpty()) {
        const QString cmdLine = QStringLiteral("%1 %2").arg(QStringLiteral("/PushType=mipush"), m_pending.first());
        klauncher::run(runner, Category, QStringLiteral("MessagepushInnerPlugin::onPluginRunnerRegisted "),
                       QStringLiteral("messagepush"), cmdLine, QStringLiteral("messagepush.dll"), QStringLiteral("dll"));
        m_pending.removeFirst();
    }
}
