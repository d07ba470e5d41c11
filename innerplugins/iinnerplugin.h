#pragma once

#include <QString>
#include <QStringList>

#include <new>

// A plugin built into the service. Each lives for the whole process: registered
// by name before the application exists, initialised once at the end of
// start-up, handed the command lines addressed to it, shut down at teardown.
class IInnerPlugin
{
public:
    virtual ~IInnerPlugin() = default;
    virtual void init() = 0;
    virtual void uninit() = 0;
    virtual void exec(const QString &cmdLine) = 0;
};

// The process-wide registry, iterated in ascending name order (case-sensitive).
// Registering a taken name replaces the stored plugin (the old one is not deleted).
void registerInnerPlugin(const QString &name, IInnerPlugin *plugin);
void initInnerPlugins();
// Unknown names do nothing.
void execInnerPlugin(const QString &name, const QString &cmdLine);
void broadcastToInnerPlugins(const QString &cmdLine);
// uninit() and delete every plugin in name order, then empty the registry.
void destroyInnerPlugins();
// The registered names, in registry order.
QStringList innerPluginNames();
// The plugin registered under exactly `name`, or null.
IInnerPlugin *innerPlugin(const QString &name);

// One static object per inner plugin registers it while the library loads:
//   static KInnerPluginRegistrar<KBubble> registrar("KBubble");
// A plugin that cannot be created is not registered.
template <class Plugin>
struct KInnerPluginRegistrar
{
    explicit KInnerPluginRegistrar(const char *name)
    {
        registerInnerPlugin(QString::fromLatin1(name), new (std::nothrow) Plugin);
    }
};
