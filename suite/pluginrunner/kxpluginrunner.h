#pragma once

#include <QList>
#include <QObject>
#include <QString>

class KApplication;
class KPlugin;

// The suite's plugin runner, published as the instance object "kpluginrunner".
//
// run() runs a plugin of the catalogue: it has the plugin manager install and
// load the plugin when needed, loads the plugin's library and calls its run
// entry (ulxPluginRun, see kpluginrunentry.h) with the parameters. The entry
// "x.dll" (or "x", "libx.so") names the library libx.so inside the installed
// plugin; without an entry the catalogue's "library" is run. The plugin type is
// recorded, not interpreted: every type runs through its library.
//
// It holds the plugins it ran successfully, with their last parameters, and
// hands them to a successor process on pluginStateTransferBegin() as run_plugin
// switches whose parameters travel Base64-encoded in one switch value
// ("plugin_transfer"), which run() decodes again.
//
// Settings (HKEY_CURRENT_USER\Software\Corvanta\Office\6.0\plugins\kpluginrunner):
// DWORD "StateTransferReady" (default 1), DWORD "AllowExitProcess" (default 0),
// both read when the answer is given.
class KxPluginRunner : public QObject
{
    Q_OBJECT
public:
    explicit KxPluginRunner(KApplication *application);
    ~KxPluginRunner() override;

    Q_INVOKABLE bool run(const QString &name, const QString &params, const QString &entry, const QString &type);
    Q_INVOKABLE void pluginStateTransferQuery();
    Q_INVOKABLE void pluginStateTransferBegin();
    Q_INVOKABLE void pluginExitProcessQuery();

    // The switches of a run_plugin command line that runs a plugin again.
    static QString transferSwitches(const QString &name, const QString &params, const QString &entry,
                                    const QString &type);
    // Parameters that arrived as one "plugin_transfer" switch, decoded; other
    // parameters as they are.
    static QString decodeParams(const QString &params);
    // The library file an entry names ("messagepush.dll" -> "libmessagepush.so").
    static QString libraryForEntry(const QString &entry);

Q_SIGNALS:
    void pluginQueryStateTransferResponse(bool ready);
    void stateTransferDefaultAction(const QString &command, const QString &params);
    void pluginsStateTransferCompleted();
    void pluginQueryExitProcessResponse(bool allow);

private:
    struct Held
    {
        QString name, params, entry, type;
    };

    bool runPlugin(const QString &name, const QString &params, const QString &entry, QString *problem);
    bool ensureLoaded(KPlugin *plugin, QString *problem);
    void hold(const Held &held, bool ok);

    KApplication *m_app = nullptr;
    QList<Held> m_held; // in the order first run
    bool m_loading = false;
    bool m_refusedWhileLoading = false;
};
