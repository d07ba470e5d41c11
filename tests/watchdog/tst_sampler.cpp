// The watchdog inside this test process, whose main thread is the one watched, and the
// service's application object, through which plugins raise its ignore count by name.

#include "app/kxulxcloudsvrapplication.h"
#include "suite/krt.h"
#include "tests/common/testenv.h"
#include "watchdog/klongblockignore.h"
#include "watchdog/threadresponsesampler.h"

#include <QElapsedTimer>
#include <QTest>
#include <QThread>

class TestSampler : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // One long block: while the ignore count is above 0 a detector series ending in it does
    // nothing; back at 0, the next series detects it (the process would end 30 s later: the
    // test ends first). Destroying the watchdog in the middle of a later series takes milliseconds.
    void ignoredThenDetectedThenStopped()
    {
        KTestEnv env({{QStringLiteral("Diagnostics/WatchdogIntervalSec"), QStringLiteral("1")},
                      {QStringLiteral("Diagnostics/WatchdogResponseTimeoutSec"), QStringLiteral("1")}});
        krt::reload();
        int argc = 1;
        char arg0[] = "tst_sampler";
        char *argv[] = {arg0, nullptr};
        KxUlxCloudSvrApplication app(argc, argv);
        const QString fatal = QStringLiteral("FATAL ThreadResponseSampler longTimeBlockDetected");
        auto *sampler = new ThreadResponseSampler(nullptr, 60, 4);
        sampler->startSample();
        // From here on the main thread never answers: it only sleeps, reads the log and counts.
        for (const bool ignore : {true, true, false})
            QVERIFY(QMetaObject::invokeMethod(&app, "ingoreLongTimeBlockDetect", Q_ARG(bool, ignore)));
        QCOMPARE(ulx::watchdog::longBlockIgnoreCount.load(), 1);
        QThread::msleep(24000); // the first series ends about 19 s in
        QVERIFY(env.logText().contains(QStringLiteral("ThreadResponseSampler::sample main thread did not answer")));
        QVERIFY(!env.logText().contains(fatal));

        QVERIFY(QMetaObject::invokeMethod(&app, "ingoreLongTimeBlockDetect", Q_ARG(bool, false)));
        QCOMPARE(env.logText().count(QStringLiteral("INFO KxUlxCloudSvrApplication Ignore LongTimeBlockDetect++\n")), 2);
        QCOMPARE(env.logText().count(QStringLiteral("INFO KxUlxCloudSvrApplication Ignore LongTimeBlockDetect--\n")), 2);
        QElapsedTimer t;
        t.start();
        while (!env.logText().contains(fatal) && t.elapsed() < KTestEnv::scaled(25000))
            QThread::msleep(100);
        QCOMPARE(env.logText().count(fatal), 1);

        QThread::msleep(3000); // the next series is now between probes
        t.start();
        delete sampler;
        QVERIFY2(t.elapsed() < KTestEnv::scaled(300), QByteArray::number(t.elapsed()).constData());
    }
};

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    TestSampler test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_sampler.moc"
