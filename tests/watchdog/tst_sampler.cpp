// The watchdog inside this test process: its main thread is the one watched.

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
        const QString fatal = QStringLiteral("FATAL ThreadResponseSampler longTimeBlockDetected");
        auto *sampler = new ThreadResponseSampler(nullptr, 60, 4);
        sampler->startSample();
        // From here on the main thread never answers: it only sleeps and reads the log.
        ulx::watchdog::longBlockIgnoreCount = 1;
        QThread::msleep(24000); // the first series ends about 19 s in
        QVERIFY(env.logText().contains(QStringLiteral("ThreadResponseSampler::sample main thread did not answer")));
        QVERIFY(!env.logText().contains(fatal));

        ulx::watchdog::longBlockIgnoreCount = 0;
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

QTEST_GUILESS_MAIN(TestSampler)
#include "tst_sampler.moc"
