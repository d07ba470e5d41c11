#pragma once

#include "apprunner/kappstatus.h"

#include <QString>
#include <QWidget>

class QLabel;
class QProgressBar;

// The one window of the service: an app's download. A plain top-level widget
// without a title; closing it destroys it, and the download goes on without it.
class KxUlxCloudSvrProgressWindow : public QWidget
{
    Q_OBJECT
public:
    explicit KxUlxCloudSvrProgressWindow(const QString &description, QWidget *parent = nullptr);

    // The text shown for a status; empty for values outside the enumeration.
    static QString statusText(int status);
    // Byte counts as the bar's int range holds them: both halved until the total
    // fits, so the bar keeps the true fraction of packages above 2 GiB.
    static void scaleToInt(long long &totalBytes, long long &receivedBytes);

protected Q_SLOTS:
    void onStatusUpdate(KAppStatus appStatus);
    void onProgressUpdate(long long totalBytes, long long receivedBytes);

private:
    friend class KxUlxCloudSvrRunAppTask;
    friend class TestAppRunner;

    KAppStatus currentStatus = AppStatusInit;
    QProgressBar *progressBar = nullptr;
    QLabel *statusLabel = nullptr;
    QString description;
};
