#pragma once

#include <QString>

class KApplication;
class KPluginManager;
class QObject;

// What the launcher plugins share: the suite objects they wait for, and the
// hand-over of one command line to the suite's plugin runner.
namespace klauncher {

KApplication *application();
// The instance object a suite plugin published under `name`, or null.
QObject *instanceObject(const QString &name);
// The suite plugin runner object "kpluginrunner", or null while it is not published.
QObject *pluginRunner();
KPluginManager *pluginMgr();
bool pluginMgrLoaded();
bool isRunnerName(const QString &name);

// Calls the runner's "run" with the plugin, the command line, entry and type,
// then logs "<prefix>cmdLine: <command line>" and "<prefix><plugin> run success"
// (or "run failed") under `category`.
void run(QObject *runner, const QString &category, const QString &prefix, const QString &plugin,
         const QString &cmdLine, const QString &entry, const QString &type);

void log(const QString &category, const QString &message);

} // namespace klauncher
