#pragma once

#include "suite/kapplication.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QProcess>

class KxUlxCloudSvrIpc;
class QTimer;
class KxUlxCloudSvrPluginRunner;
class KxUlxCloudsvrRepActive;
class KxUlxCloudsvrSimpleReportActive;
class KOnlineParamsManager;
class KxUlxCloudSvrAppRunner;

// The service process's application object: owns the channel and the service's
// long-lived objects, and dispatches the command lines the channel delivers.
class KxUlxCloudSvrApplication : public KxApplication
{
    Q_OBJECT
public:
    KxUlxCloudSvrApplication(int &argc, char **argv);
    ~KxUlxCloudSvrApplication() override;

    // Starts the channel with this process's command line: a process that does
    // not serve the channel ends here; the serving one completes its start-up.
    void init(const char16_t *cmdLine);

    KxUlxCloudSvrIpc *channel() const { return m_ipc; }
    KxUlxCloudSvrPluginRunner *pluginRunner() const { return m_pluginRunner; }
    KxUlxCloudSvrAppRunner *appRunner() const { return m_appRunner; }
    QString startCommandLine() const { return m_startCmdLine; }

    // The service never shows an interactive cursor.
    bool isInteractiveEvent(QObject *receiver, QEvent *event) override;

public Q_SLOTS:
    // Plugins that knowingly block the main thread ask the watchdog to look away
    // (true) and back (false), in pairs; invoked by name.
    void ingoreLongTimeBlockDetect(bool ignore);

private Q_SLOTS:
    void onIPCTransmission(const QString &cmdline);
    void onQuickExit();

    // The nightly restart: ask the plugin runner, hand the channel and the
    // plugins' state to a replacement process, end.
    void queryRestartUlxCloudSvr();
    void onPluginsStateTransferCompleted();
    void onPluginsStateReadyToTransfer(bool ready);
    void onNewUlxCloudSvrProcessCreated();
    void sendRunPluginCommand(const QString &name, const QString &params);
    // Periodic duties: may the process end, and trimming the heap.
    void queryPluginExitProcess();
    void onQueryPluginExitProcessResponse(bool exit);
    void reduceProcessWorkingSetSize();
    void onCoreInited();

private:
    // Step 12 of start-up: the three timers, in this order.
    void setupRestartAlarm();
    void armPluginExitQuery();
    void setupWorkingSetTimer();
    void onLauncherError(QProcess::ProcessError error);
    void onLauncherFinished(int exitCode, QProcess::ExitStatus status);
    // The replacement did not come: serve again when nobody serves, else end.
    void recoverFromFailedHandOver(const QString &why);
    // One turn of the hand-over, from the event loop: look for the replacement,
    // hand it what waits, end once everything is handed over.
    void continueHandOver();
    // Hands the run_app lines and the lines acknowledged but not run over to the
    // process that serves now, then ends.
    void endHandingOver();
    // Whether any process answers on the channel right now.
    bool channelAnswers(int timeoutMs) const;

    QTimer *m_workingSetTimer = nullptr;
    // A command line arrived since the last working-set trim (start-up counts as one).
    bool m_workSinceTrim = true;
    QPointer<QProcess> m_launcher;
    QElapsedTimer m_releasedAt; // valid from the channel's release on
    bool m_handOverFailed = false;
    bool m_transferCompleted = false; // the plugins have handed their state over
    bool m_ending = false;            // handing the rest over, then ending
    QElapsedTimer m_endingSince;
    QTimer *m_handOverTimer = nullptr;
    QStringList m_handOverLines; // for the replacement, oldest first

    KxUlxCloudSvrIpc *m_ipc = nullptr;
    KxUlxCloudSvrPluginRunner *m_pluginRunner = nullptr;
    KxUlxCloudsvrRepActive *m_repActive = nullptr; // no parent: deleted by the destructor
    KxUlxCloudsvrSimpleReportActive *m_simpleReport = nullptr;
    KOnlineParamsManager *m_onlineParams = nullptr; // from coreInited on
    // Created by the first run_app command.
    KxUlxCloudSvrAppRunner *m_appRunner = nullptr;
    QString m_startCmdLine;
};
