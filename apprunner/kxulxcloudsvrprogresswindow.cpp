#include "apprunner/kxulxcloudsvrprogresswindow.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QVBoxLayout>

#include <climits>

KxUlxCloudSvrProgressWindow::KxUlxCloudSvrProgressWindow(const QString &description, QWidget *parent)
    : QWidget(parent)
    , progressBar(new QProgressBar(this))
    , statusLabel(new QLabel(tr("Preparing"), this))
    , description(description)
{
    setAttribute(Qt::WA_DeleteOnClose);

    auto *layout = new QVBoxLayout(this);
    auto *top = new QHBoxLayout();
    top->addWidget(new QLabel(QStringLiteral("icon"), this));
    top->addWidget(new QLabel(tr("Downloading %1").arg(description), this));
    layout->addLayout(top);
    layout->addWidget(progressBar);
    layout->addWidget(statusLabel);
}

QString KxUlxCloudSvrProgressWindow::statusText(int status)
{
    switch (status) {
    case AppStatusInit:
    case AppStatusNotLocal:
        return tr("Preparing");
    case AppStatusUnavailable:
        return tr("Unavailable");
    case AppStatusDownloading:
        return tr("Downloading");
    case AppStatusReady:
        return tr("Finished");
    case AppStatusFailed:
        return tr("Failed");
    default:
        return QString();
    }
}

void KxUlxCloudSvrProgressWindow::scaleToInt(long long &totalBytes, long long &receivedBytes)
{
    while (totalBytes > INT_MAX || receivedBytes > INT_MAX) {
        totalBytes >>= 1;
        receivedBytes >>= 1;
    }
}

void KxUlxCloudSvrProgressWindow::onStatusUpdate(KAppStatus appStatus)
{
    currentStatus = appStatus;
    statusLabel->setText(statusText(appStatus));
}

void KxUlxCloudSvrProgressWindow::onProgressUpdate(long long totalBytes, long long receivedBytes)
{
    if (currentStatus != AppStatusDownloading)
        return;
    scaleToInt(totalBytes, receivedBytes);
    progressBar->setRange(0, int(totalBytes));
    progressBar->setValue(int(receivedBytes));
}
