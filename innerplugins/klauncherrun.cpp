#include "innerplugins/klauncherrun.h"

#include "suite/kapplication.h"
#include "suite/kxlogger.h"
#include "suite/plugins/kpluginmanager.h"

namespace klauncher {

KApplication *application()
{
    return KApplication::instance();
}

QObject *instanceObject(const QString &name)
{
    KApplication *app = application();
    return app ? app->getPluginInstanceObject(name) : nullptr;
}

QObject *pluginRunner()
{
    return instanceObject(QStringLiteral("kpluginrunner"));
}

KPluginManager *pluginMgr()
{
    KApplication *app = application();
    return app ? app->getPluginMgr() : nullptr;
}

bool pluginMgrLoaded()
{
    KPluginManager *manager = pluginMgr();
    return manager && manager->loaded();
}

bool isRunnerName(const QString &name)
{
    return name.compare(QLatin1String("kpluginrunner"), Qt::CaseInsensitive) == 0;
}

void run(QObject *runner, const QString &category, const QString &prefix, const QString &plugin,
         const QString &cmdLine, const QString &entry, const QString &type)
{
    bool ok = false;
    QMetaObject::invokeMethod(runner, "run", Qt::DirectConnection, Q_RETURN_ARG(bool, ok), Q_ARG(QString, plugin),
                              Q_ARG(QString, cmdLine), Q_ARG(QString, entry), Q_ARG(QString, type));
    log(category, prefix + QStringLiteral("cmdLine: %1").arg(cmdLine));
    log(category, prefix + (ok ? QStringLiteral("%1 run success") : QStringLiteral("%1 run failed")).arg(plugin));
}

void log(const QString &category, const QString &message)
{
    KxLogger::writeMsg(KxLogger::Fixed(), category, message);
}

} // namespace klauncher
