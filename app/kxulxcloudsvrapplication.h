#pragma once

#include "suite/kapplication.h"

class KxUlxCloudSvrIpc;
class KxUlxCloudSvrPluginRunner;

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
    QString startCommandLine() const { return m_startCmdLine; }

    // The service never shows an interactive cursor.
    bool isInteractiveEvent(QObject *receiver, QEvent *event) override;

private Q_SLOTS:
    void onIPCTransmission(const QString &cmdline);
    void onQuickExit();
    void onCoreInited();

private:
    KxUlxCloudSvrIpc *m_ipc = nullptr;
    KxUlxCloudSvrPluginRunner *m_pluginRunner = nullptr;
    QString m_startCmdLine;
};
