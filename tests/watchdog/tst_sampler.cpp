// The watchdog inside this test process: its main thread is the one watched.

#include "suite/krt.h"
#include "tests/common/testenv.h"
#include "watchdog/klongblockignore.h"
#include "watchdog/threadresponsesampler.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTest>
#include <QThread>

#include <memory>

class TestSampler : public QObject
{
    Q_OBJECT
    std::unique_ptr<KTestEnv> m_env;
    const QString m_fatal = QStringLiteral("FATAL ThreadResponseSampler longTimeBlockDetected");

    // Keeps the main thread from answering for `ms`.
    static void blockMainThread(int ms) { QThread::msleep(ulong(ms)); }

private Q_SLOTS:
    void initTestCase()
    {
        m_env = std::make_unique<KTestEnv>(QMap<QString, QString>{
            {QStringLiteral("Diagnostics/WatchdogIntervalSec"), QStringLiteral("1")},
            {QStringLiteral("Diagnostics/WatchdogResponseTimeoutSec"), QStringLiteral("1")}});
        krt::reload();
    }

    // Destroying the watchdog in the middle of a detector series takes milliseconds.
    void stopsAtOnce()
    {
        auto *sampler = new ThreadResponseSampler(nullptr, 60, 4);
        sampler->startSample();
        blockMainThread(4000); // the detector is now between probes
        QElapsedTimer t;
        t.start();
        delete sampler;
        QVERIFY2(t.elapsed() < KTestEnv::scaled(300), QByteArray::number(t.elapsed()).constData());
        QVERIFY(!m_env->logText().contains(m_fatal));
    }

    // While the ignore count is above 0 a long block does nothing; back at 0, the
    // next series detects it (and then the process would end 30 s later: the test ends first).
    void ignoreCount()
    {
        ThreadResponseSampler sampler(nullptr, 60, 4);
        sampler.startSample();
        ulx::watchdog::longBlockIgnoreCount = 1;
        blockMainThread(24000);
        QCoreApplication::processEvents();
        QVERIFY(m_env->logText().contains(QStringLiteral("ThreadResponseSampler::sample main thread did not answer")));
        QVERIFY(!m_env->logText().contains(m_fatal));

        ulx::watchdog::longBlockIgnoreCount = 0;
        blockMainThread(24000);
        QCOMPARE(m_env->logText().count(m_fatal), 1);
    }
};

QTEST_GUILESS_MAIN(TestSampler)
#include "tst_sampler.moc"
