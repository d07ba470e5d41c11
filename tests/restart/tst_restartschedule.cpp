// When the nightly restart comes (the schedule from the settings and an injected now),
// and the periods read from the settings.
#include "app/kxrestartschedule.h"
#include "platform/registry/kregsettings.h"
#include "tests/common/testenv.h"

#include <QSet>
#include <QTest>

namespace {
constexpr qint64 Minute = 60 * 1000;
constexpr qint64 Hour = 60 * Minute;
} // namespace

class TestRestartSchedule : public QObject
{
    Q_OBJECT
    KTestEnv m_env;

private Q_SLOTS:
    void alarm_data()
    {
        QTest::addColumn<QVariant>("timePoint");
        QTest::addColumn<QVariant>("interval");
        QTest::addColumn<QVariant>("minInterval");
        QTest::addColumn<QTime>("now");
        QTest::addColumn<bool>("drawn");
        QTest::addColumn<QTime>("earliest"); // of the target
        QTest::addColumn<QTime>("latest");
        QTest::addColumn<qint64>("minDelay");
        QTest::addColumn<qint64>("maxDelay");
        const QVariant no;
        const QVariant four(QStringLiteral("04:00:00"));
        const QTime one(1, 0), three(2, 59, 59);
        QTest::newRow("fixed, later today") << four << no << no << QTime(3, 0) << false << QTime(4, 0) << QTime(4, 0)
                                            << Hour << Hour;
        QTest::newRow("fixed, passed: tomorrow") << four << no << no << QTime(5, 0) << false << QTime(4, 0)
                                                 << QTime(4, 0) << 23 * Hour << 23 * Hour;
        QTest::newRow("fixed inside the night window is not pushed") << QVariant(QStringLiteral("01:30:00")) << no << no
            << QTime(1, 10) << false << QTime(1, 30) << QTime(1, 30) << 20 * Minute << 20 * Minute;
        QTest::newRow("malformed fixed time: the window") << QVariant(QStringLiteral("4 o'clock")) << no << no
            << QTime(0, 30, 0, 123) << true << one << three << 30 * Minute << 150 * Minute;
        QTest::newRow("fixed time stored as a number: the window") << QVariant(14400) << no << no
            << QTime(0, 30, 1, 999) << true << one << three << 30 * Minute << 150 * Minute;
        QTest::newRow("inside tonight's window: tomorrow's") << no << no << no << QTime(1, 30, 0, 456) << true << one
            << three << 23 * Hour + 30 * Minute << 25 * Hour + 30 * Minute;
        QTest::newRow("narrow window widened to the minimum") << no << QVariant(600) << QVariant(3600)
            << QTime(12, 0, 5, 5) << true << one << QTime(1, 59, 59) << 13 * Hour << 14 * Hour;
        QTest::newRow("both widths 0: the usual window") << no << QVariant(0) << QVariant(0) << QTime(0, 0, 1, 2)
            << true << one << three << Hour << 3 * Hour;
        QTest::newRow("width as words: the defaults") << no << QVariant(QStringLiteral("no")) << no
            << QTime(0, 0, 5, 6) << true << one << three << Hour << 3 * Hour;
        QTest::newRow("window over a day: within one day") << no << QVariant(200000) << QVariant(0)
            << QTime(13, 0, 0, 1) << true << QTime(0, 0) << QTime(23, 59, 59) << qint64(0) << 24 * Hour;
    }

    void alarm()
    {
        QFETCH(QVariant, timePoint);
        QFETCH(QVariant, interval);
        QFETCH(QVariant, minInterval);
        QFETCH(QTime, now);
        QFETCH(QTime, earliest);
        QFETCH(QTime, latest);
        QFETCH(qint64, minDelay);
        QFETCH(qint64, maxDelay);
        const auto alarm = KxRestartSchedule::compute({timePoint, interval, minInterval}, now);
        QTEST(alarm.drawn, "drawn");
        QVERIFY2(alarm.target >= earliest && alarm.target <= latest, qPrintable(alarm.target.toString()));
        QVERIFY2(alarm.delayMs >= minDelay && alarm.delayMs <= maxDelay, qPrintable(QString::number(alarm.delayMs)));
        // The query comes at the target.
        QCOMPARE(now.addMSecs(int(alarm.delayMs % (24 * Hour))), alarm.target);
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
        QTest::newRow("exit query: absent") << exit << QVariant() << 1800;
        QTest::newRow("exit query: 0 reads as the default") << exit << QVariant(0) << 1800;
        QTest::newRow("exit query: decimal text") << exit << QVariant(QStringLiteral(" 120 ")) << 120;
        QTest::newRow("exit query: words") << exit << QVariant(QStringLiteral("no")) << 1800;
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
        KRegSettings s(QStringLiteral("HKEY_CURRENT_USER\\Software\\Corvanta\\Office\\6.0\\ulxcloudsvr\\Application Settings"));
        s.remove(name);
        if (stored.isValid())
            s.setValue(name, stored);
        QTEST(name == QLatin1String("ReduceProcessWSSec") ? KxServiceSettings::reduceProcessWSSec()
                                                           : KxServiceSettings::queryPluginExitProcessIntervalSec(),
              "expected");
    }
};

QTEST_GUILESS_MAIN(TestRestartSchedule)
#include "tst_restartschedule.moc"
