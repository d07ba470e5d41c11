// The app runner's progress window in process, at sizes no test download reaches. The runner's queue, app.ini,
// plugin_params and the window as a person sees it are tst_runapp's and tst_runappx11's, through the service.
#include "apprunner/kxulxcloudsvrprogresswindow.h"

#include <QLabel>
#include <QProgressBar>
#include <QTest>

#include <climits>

class TestAppRunner : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    // The window's texts for each status, and progress only while downloading, at the true fraction.
    void window()
    {
        KxUlxCloudSvrProgressWindow window(QStringLiteral("Notes"));
        QVERIFY(window.testAttribute(Qt::WA_DeleteOnClose));
        QStringList texts;
        for (QLabel *l : window.findChildren<QLabel *>())
            texts << l->text();
        QCOMPARE(texts, (QStringList{"Preparing", "icon", "Downloading Notes"}));
        texts.clear();
        for (int status = -1; status <= 6; ++status) {
            window.onStatusUpdate(KAppStatus(status));
            texts << window.statusLabel->text();
        }
        const QStringList statusTexts{"", "Preparing", "Unavailable", "Preparing", "Downloading", "Finished", "Failed", ""};
        QCOMPARE(texts, statusTexts);

        window.onStatusUpdate(AppStatusNotLocal);
        window.onProgressUpdate(100, 50); // before any status 3: untouched
        QCOMPARE(window.progressBar->value(), -1);
        window.onStatusUpdate(AppStatusDownloading);
        window.onProgressUpdate(1000, 250);
        QCOMPARE(window.progressBar->maximum(), 1000);
        QCOMPARE(window.progressBar->value(), 250);
        window.onStatusUpdate(AppStatusReady);
        window.onProgressUpdate(1000, 900);
        QCOMPARE(window.progressBar->value(), 250);
        // 6 GiB, a third received: the bar's int range holds it at the same fraction.
        window.onStatusUpdate(AppStatusDownloading);
        const long long total = 6LL << 30;
        window.onProgressUpdate(total, total / 3);
        QVERIFY(window.progressBar->maximum() > 0 && window.progressBar->maximum() <= INT_MAX);
        QCOMPARE(qRound(100.0 * window.progressBar->value() / window.progressBar->maximum()), 33);
        window.onProgressUpdate(total, total);
        QCOMPARE(window.progressBar->value(), window.progressBar->maximum());
    }
};

QTEST_MAIN(TestAppRunner)

#include "tst_apprunner.moc"
