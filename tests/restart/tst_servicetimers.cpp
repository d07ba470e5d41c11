// The service's timers inside this test process: when the nightly restart comes (from the
// settings and an injected now), the periods read from the settings, and the watchdog
// watching this process's main thread, with the ignore count plugins raise by name.
#include "app/kxrestartschedule.h"
#include "app/kxulxcloudsvrapplication.h"
#include "platform/registry/kregsettings.h"
#include "suite/krt.h"
#include "tests/common/testenv.h"
#include "watchdog/threadresponsesampler.h"

#include <QElapsedTimer>
#include <QSet>
#include <QTest>
#include <QThread>

namespace {
const QString AppSettings = QStringLiteral("HKCU\\Software\\Corvanta\\Office\\6.0\\ulxcloudsvr\\Application Settings");
constexpr qint64 Minute = 60 * 1000;
constexpr qint64 Day = 24 * 60 * Minute;
} // namespace

class TestServiceTimers : public QObject
{
    Q_OBJECT
    KTestEnv m_env{{{QStringLiteral("Diagnostics/WatchdogIntervalSec"), QStringLiteral("1")},
                    {QStringLiteral("Diagnostics/WatchdogResponseTimeoutSec"), QStringLiteral("1")}}};

private Q_SLOTS:
    void alarm_data()
    {
        QTest::addColumn<QVariant>("timePoint");
        QTest::addColumn<QVariant>("interval");
        QTest::addColumn<QVariant>("minInterval");
        QTest::addColumn<QTime>("now");
        QTest::addColumn<QTime>("earliest"); // of the target: a window is drawn from, a fixed time is kept
        QTest::addColumn<QTime>("latest");
        QTest::addColumn<int>("minutes"); // the least delay; the delay is less than a day more
        const QVariant no;
        const QVariant at4(QStringLiteral("04:00:00"));
        const QTime one(1, 0), three(2, 59, 59), four(4, 0), half(1, 30);
        QTest::newRow("fixed, later today") << at4 << no << no << QTime(3, 0) << four << four << 60;
        QTest::newRow("fixed, passed: tomorrow") << at4 << no << no << QTime(5, 0) << four << four << 23 * 60;
        QTest::newRow("fixed inside the night window is not pushed")
            << QVariant(QStringLiteral("01:30:00")) << no << no << QTime(1, 10) << half << half << 20;
        QTest::newRow("malformed fixed time: the window")
            << QVariant(QStringLiteral("4 o'clock")) << no << no << QTime(0, 30, 0, 123) << one << three << 30;
        QTest::newRow("inside tonight's window: tomorrow's")
            << no << no << no << QTime(1, 30, 0, 456) << one << three << 23 * 60 + 30;
        QTest::newRow("narrow window widened to the minimum") << no << QVariant(600) << QVariant(3600)
            << QTime(12, 0, 5, 5) << one << QTime(1, 59, 59) << 13 * 60;
        QTest::newRow("both widths 0: the usual window")
            << no << QVariant(0) << QVariant(0) << QTime(0, 0, 1, 2) << one << three << 60;
        QTest::newRow("window over a day: within one day") << no << QVariant(200000) << QVariant(0)
            << QTime(13, 0, 0, 1) << QTime(0, 0) << QTime(23, 59, 59) << 0;
    }

    void alarm()
    {
        QFETCH(QVariant, timePoint);
        QFETCH(QVariant, interval);
        QFETCH(QVariant, minInterval);
        QFETCH(QTime, now);
        QFETCH(QTime, earliest);
        QFETCH(QTime, latest);
        QFETCH(int, minutes);
        const auto alarm = KxRestartSchedule::compute({timePoint, interval, minInterval}, now);
        QCOMPARE(alarm.drawn, earliest != latest);
        QVERIFY2(alarm.target >= earliest && alarm.target <= latest, qPrintable(alarm.target.toString()));
        QVERIFY2(alarm.delayMs >= minutes * Minute && alarm.delayMs < minutes * Minute + Day,
                 qPrintable(QString::number(alarm.delayMs)));
        // The query comes at the target.
        QCOMPARE(now.addMSecs(int(alarm.delayMs % Day)), alarm.target);
    }

    // The draw spreads over the window rather than sitting on its start.
    void drawnTargetsSpread()
    {
        QSet<QTime> targets;
        for (int ms = 0; ms < 40; ++ms)
            targets.insert(KxRestartSchedule::compute({}, QTime(0, 0, 0, ms)).target);
        QVERIFY(targets.size() > 30);
    }

    // Periods read from the settings: nonsense gives the default, never a busy loop or an overflow.
    void periods_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<int>("expected");
        const QString exit = QStringLiteral("QueryPluginExitProcessIntervalSec");
        const QString trim = QStringLiteral("ReduceProcessWSSec");
        QTest::newRow("exit query: 0 reads as the default") << exit << QVariant(0) << 1800;
        QTest::newRow("exit query: decimal text") << exit << QVariant(QStringLiteral(" 120 ")) << 120;
        QTest::newRow("exit query: QWORD beyond int") << exit << QVariant(qlonglong(5000000000)) << 1800;
        QTest::newRow("exit query: longer than a week") << exit << QVariant(10000000) << 7 * 24 * 3600;
        QTest::newRow("trim: absent") << trim << QVariant() << 120;
        QTest::newRow("trim: 0 means never") << trim << QVariant(0) << 0;
        QTest::newRow("trim: words give the default") << trim << QVariant(QStringLiteral("often")) << 120;
        QTest::newRow("trim: seconds") << trim << QVariant(30) << 30;
    }

    void periods()
    {
        QFETCH(QString, name);
        QFETCH(QVariant, stored);
        KRegSettings s(AppSettings);
        s.remove(name);
        if (stored.isValid())
            s.setValue(name, stored);
        QTEST(name == QLatin1String("ReduceProcessWSSec") ? KxServiceSettings::reduceProcessWSSec()
                                                           : KxServiceSettings::queryPluginExitProcessIntervalSec(),
              "expected");
    }

    // The main thread answers no probe here. Destroying a watchdog in the middle of a series takes
    // milliseconds. While the ignore count is above 0 a long block does nothing; back at 0, the next
    // series detects it (the process would end 30 s later: the test ends first). "AlwaysDumpWhenBlock"
    // "1": a short block is dumped (no dumper is installed here: the date of the last dump shows it).
    void watchdogOfThisProcess()
    {
        KRegSettings(AppSettings).setValue(QStringLiteral("AlwaysDumpWhenBlock"), QStringLiteral("1"));
        krt::reload();
        qputenv("QT_QPA_PLATFORM", "offscreen");
        int argc = 1;
        char arg0[] = "tst_servicetimers";
        char *argv[] = {arg0, nullptr};
        KxUlxCloudSvrApplication app(argc, argv);
        const QString fatal = QStringLiteral("FATAL ThreadResponseSampler longTimeBlockDetected");
        auto *sampler = new ThreadResponseSampler(nullptr, 60, 4);
        sampler->startSample();
        QThread::msleep(4000); // the detector pauses between probes, the sampler waits for an answer
        QElapsedTimer t;
        t.start();
        delete sampler;
        QVERIFY2(t.elapsed() < KTestEnv::scaled(300), QByteArray::number(t.elapsed()).constData());

        sampler = new ThreadResponseSampler(&app, 60, 4);
        sampler->startSample();
        for (const bool ignore : {true, true, false})
            QVERIFY(QMetaObject::invokeMethod(&app, "ingoreLongTimeBlockDetect", Q_ARG(bool, ignore)));
        QThread::msleep(24000); // the first series ends about 19 s in
        QVERIFY(!m_env.logText().contains(fatal));

        QVERIFY(QMetaObject::invokeMethod(&app, "ingoreLongTimeBlockDetect", Q_ARG(bool, false)));
        t.start();
        while (!m_env.logText().contains(fatal) && t.elapsed() < KTestEnv::scaled(25000))
            QThread::msleep(100);
        QCOMPARE(m_env.logText().count(fatal), 1);
        QCOMPARE(KRegSettings(AppSettings).value(QStringLiteral("LastDumpDate")).toString(),
                 QDate::currentDate().toString(Qt::ISODate));
    }
};

QTEST_APPLESS_MAIN(TestServiceTimers)
#include "tst_servicetimers.moc"
