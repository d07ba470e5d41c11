#pragma once

#include <QObject>
#include <QString>

// Waits for one named suite plugin to reach a final load state and reports it
// once, through pluginLoadFinished(), always from the event loop. It never asks
// the plugin to load: the plugin manager, or whoever else, does that.
class KPluginGetter : public QObject
{
    Q_OBJECT
public:
    enum PluginFinalState : qint32 {
        NoState = -1,
        LoadSuccess = 0,
        LoadFailed = 1,
        LoadCanceled = 2,
        PluginNotFound = 3,
    };
    Q_ENUM(PluginFinalState)

    KPluginGetter(const QString &pluginName, QObject *parent);

    QString pluginName() const { return m_pluginName; }
    PluginFinalState finalState() const { return m_finalState; }

Q_SIGNALS:
    void pluginLoadFinished(KPluginGetter::PluginFinalState state);

public Q_SLOTS:
    // Starts the lookup: call it once the plugin manager has loaded, or connect
    // the manager's loadFinished() to it.
    void onPluginMgrLoadFinished();

protected Q_SLOTS:
    void onPluginLoadSuccess();
    void onPluginLoadFailed();
    void onPluginLoadCancelled();
    void fireSignal();

private:
    void finish(PluginFinalState state);

    QString m_pluginName;
    PluginFinalState m_finalState = NoState;
};
