#pragma once

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

class KApplication;
class KPluginManager;

// One request to run a suite plugin.
struct KRunPluginRequest
{
    QString name;
    QString entry;
    QString params;
    QString type;
    QString kind; // "plugin_runinfo", "plugin_local" or "plugin_entry"
};

class KxUlxCloudSvrPluginRunnerPrivate : public QObject
{
    Q_OBJECT
public:
    KxUlxCloudSvrPluginRunnerPrivate(KApplication *application, QObject *parent);

    // Fills `request` from a run_plugin command line; false (with a warning) when incomplete.
    static bool parseRunCommand(const QString &cmdline, KRunPluginRequest *request);
    void run(const QString &cmdline);
    void initialize();
    void shutdown();

    QList<KRunPluginRequest> localQueue;
    QList<KRunPluginRequest> remoteQueue;
    bool pluginMgrLoaded = false;

private Q_SLOTS:
    void onRunPendingRemotePlugin();
    void onRunPendingLocalPlugin();
    void onPluginMgrLoaded();
    void onPluginInstanceObjectRegisted(const QString &name);

private:
    KPluginManager *pluginMgr() const;
    QObject *runnerObject() const;
    void drain(QList<KRunPluginRequest> &queue);

    QPointer<KApplication> m_app;
};
