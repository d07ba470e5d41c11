#pragma once

#include "apprunner/kappstatus.h"

#include <QObject>
#include <QPointer>
#include <QString>

class KPlugin;
class KxUlxCloudSvrProgressWindow;

// One run_app command: finds the app, has the plugin manager download it when it
// is not installed (with a progress window), then starts it through the suite's
// launcher as `"<launcher>" Run "<entry>" <parameters>`.
class KxUlxCloudSvrRunAppTask : public QObject
{
    Q_OBJECT
public:
    explicit KxUlxCloudSvrRunAppTask(QObject *runner);
    // A task that ends before its download does cancels it and closes its window.
    ~KxUlxCloudSvrRunAppTask() override;

    bool prepare(const QString &commandLine);
    void start();

    KAppStatus appStatus() const { return status; }

    // The parameters of "plugin_params" as the launcher's command line carries
    // them: pieces between '&' (empty ones kept), escapes decoded, each written
    // as one argument by the Windows rule (quoted when empty or holding a blank,
    // tab or '"'; quotes escaped); joined by single blanks. A U+0000 ends them.
    static QString launchParameters(const QString &params);
    // Replaces each "\uXXXX" (exactly four hexadecimal digits) by that UTF-16 unit,
    // left to right; a decoded character is never decoded again.
    static void unescapeUnicode(QString &text);
    // The "entry" of group "runinfo" of an app.ini (group and key in any case),
    // with '\' as a directory separator; empty when the file or the key is missing.
    static QString readEntry(const QString &iniPath);

Q_SIGNALS:
    void statusUpdate(KAppStatus appStatus);
    void progressUpdate(long long totalBytes, long long receivedBytes);
    void taskFinished();

protected Q_SLOTS:
    void onPluginLoadSuccess();
    void onPluginLoadFailed();
    void onPluginLoadCanceled();
    void onPluginLoadProgress(long long totalBytes, long long receivedBytes);

private:
    friend class TestAppRunner;

    QString launchCommandLine();
    void launch();
    QString readEntry();
    void showProgressWindow(const QString &description);
    void finish();

    KAppStatus status = AppStatusInit;
    QString appName;
    QString appPath;
    QString appParams;

    QPointer<KPlugin> m_plugin; // the plugin being loaded, while it loads
    QPointer<KxUlxCloudSvrProgressWindow> m_window;
    bool m_finished = false;
};
