#pragma once

#include <QObject>
#include <QStringList>

// Runs the service's run_app commands: one task at a time, once the suite's
// plugin manager has loaded; commands that arrive meanwhile wait in order.
class KxUlxCloudSvrAppRunner : public QObject
{
    Q_OBJECT
public:
    explicit KxUlxCloudSvrAppRunner(QObject *application);
    // A running task goes with the runner: its download is cancelled and its
    // window closed. The application deletes the runner while it still exists.
    ~KxUlxCloudSvrAppRunner() override;

    void initialize();
    // The command line of a run_app command without its "run_app" switch.
    void run(const QString &commandLine);
    void clearPending();

protected Q_SLOTS:
    void onPluginMgrLoaded();
    void onTaskFinished();

private:
    friend class TestAppRunner;

    bool pluginMgrReady = false;
    QStringList pendingCommands;
    bool taskRunning = false;
};
