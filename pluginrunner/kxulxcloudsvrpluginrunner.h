#pragma once

#include <QObject>
#include <QString>

class KApplication;
class KxUlxCloudSvrPluginRunnerPrivate;

// Runs suite plugins for the run_plugin command through the suite's plugin
// runner object "kpluginrunner". Requests may come before that object is
// published and before the plugin manager has loaded: they wait in two queues
// (local, and remote for run-info requests) and are drained from the event loop
// once the object (and, for remote requests, the manager) is there. A request
// the object refuses stays queued for the next drain.
class KxUlxCloudSvrPluginRunner : public QObject
{
    Q_OBJECT
public:
    explicit KxUlxCloudSvrPluginRunner(KApplication *application);
    ~KxUlxCloudSvrPluginRunner() override;

    void initialize();
    // One run_plugin command line, without its run_plugin switch.
    void run(const QString &cmdline);
    // Empties both queues and lets go of the plugin manager's signals.
    void shutdown();

    // What waits, for tests and diagnostics: the names in each queue, oldest first.
    QStringList pendingLocal() const;
    QStringList pendingRemote() const;

private:
    KxUlxCloudSvrPluginRunnerPrivate *d;
};
