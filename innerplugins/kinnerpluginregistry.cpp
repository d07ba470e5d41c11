#include "innerplugins/iinnerplugin.h"

#include <QMap>

namespace {

// Built on first use: registrars run during static initialisation, in no fixed
// order relative to other statics.
QMap<QString, IInnerPlugin *> &registry()
{
    static QMap<QString, IInnerPlugin *> plugins;
    return plugins;
}

} // namespace

void registerInnerPlugin(const QString &name, IInnerPlugin *plugin)
{
    if (plugin)
        registry().insert(name, plugin);
}

void initInnerPlugins()
{
    // A copy: a plugin's init may not change what is iterated.
    const auto plugins = registry();
    for (IInnerPlugin *plugin : plugins)
        plugin->init();
}

void execInnerPlugin(const QString &name, const QString &cmdLine)
{
    if (IInnerPlugin *plugin = registry().value(name))
        plugin->exec(cmdLine);
}

void broadcastToInnerPlugins(const QString &cmdLine)
{
    const auto plugins = registry();
    for (IInnerPlugin *plugin : plugins)
        plugin->exec(cmdLine);
}

void destroyInnerPlugins()
{
    const auto plugins = registry();
    for (IInnerPlugin *plugin : plugins) {
        plugin->uninit();
        delete plugin;
    }
    registry().clear();
}

QStringList innerPluginNames()
{
    return registry().keys();
}

IInnerPlugin *innerPlugin(const QString &name)
{
    return registry().value(name);
}
