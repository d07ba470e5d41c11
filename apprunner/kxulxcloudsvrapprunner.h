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
    // The command lines of the running task and of the queue, in order, taken
    // away: the running task is cancelled (its download's files go with it). For
    // handing them to another process.
    QStringList takeCommands();

protected Q_SLOTS:
    void onPluginMgrLoaded();
    void onTaskFinished();

private:
    friend class TestAppRunner;

    // Starts queued commands, oldest first, until one runs or none is left: a
    // command that fails to prepare does not hold up the ones behind it.
    void runPending();
    void cancelTasks();

    bool pluginMgrReady = false;
    QStringList pendingCommands;
    bool taskRunning = false;
    QString runningCommand; // the command line of the running task
    bool draining = false;
};
