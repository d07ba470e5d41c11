// The prestart timer's period as stored in the plugin settings (seconds) against the
// period of the timer it runs.
#include "innerplugins/knexaprestart/knexaprestart.h"
#include "suite/kxpluginssettings.h"
#include "tests/common/kserviceapp.h"
#include "tests/common/kworld.h"

#include <QTest>
#include <QTimer>

#include <climits>
#include <memory>

class TestPrestartInterval : public QObject
{
    Q_OBJECT
    std::unique_ptr<KTestEnv> m_env;
    std::unique_ptr<KxApplication> m_app;

private Q_SLOTS:
    void initTestCase()
    {
        m_env = std::make_unique<KTestEnv>();
        m_app = makeServiceApp();
    }

    void storedInterval_data()
    {
        QTest::addColumn<QVariant>("interval");
        QTest::addColumn<int>("periodMs");
        QTest::newRow("past what a timer takes") << QVariant(3000000) << INT_MAX;
        // Below zero is no period: the default hour.
        QTest::newRow("negative") << QVariant(-5) << 3600000;
        QTest::newRow("negative past an int in ms") << QVariant(-3000000) << 3600000;
    }

    void storedInterval()
    {
        QFETCH(QVariant, interval);
        QFETCH(int, periodMs);
        KxPluginsSettings s(QStringLiteral("knexaprestart"));
        s.setValue(QStringLiteral("strategy"), 2);
        s.setValue(QStringLiteral("interval"), interval);
        s.setValue(QStringLiteral("ranges"), QStringLiteral("2200-0600")); // a window no time lies in: no prestart
        KNexaPrestart plugin;
        plugin.init();
        QVERIFY(plugin.timer());
        QCOMPARE(plugin.timer()->interval(), periodMs);
        QVERIFY(plugin.timer()->isActive());
        plugin.uninit();
    }
};

QTEST_APPLESS_MAIN(TestPrestartInterval)
#include "tst_prestartinterval.moc"
