// KUpdateself, KUpdateUlx and the plugin pool's version resolution, in one
// process linked as the service is.
#include "innerplugins/iinnerplugin.h"
#include "innerplugins/kupdateself/kupdateself.h"
#include "innerplugins/kupdateulx/kupdateulx.h"
#include "innerplugins/pluginpool/kpluginpool.h"
#include "platform/registry/kregsettings.h"
#include "tests/common/kserviceapp.h"
#include "suite/krt.h"
#include "suite/kxstartup.h"
#include "suite/plugins/kpluginmanager.h"
#include "tests/common/kworld.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTest>

#include <memory>

namespace {
const QString PluginsKey = QStringLiteral("HKEY_CURRENT_USER\\Software\\Corvanta\\Office\\6.0\\plugins");
} // namespace

class TestUpdatePlugins : public QObject
{
    Q_OBJECT
private:
    std::unique_ptr<KTestEnv> m_env;
    std::unique_ptr<KxApplication> m_app;

    QString office() const { return m_env->root() + QStringLiteral("/office"); }

private Q_SLOTS:
    void initTestCase()
    {
        m_env = std::make_unique<KTestEnv>();
        m_app = makeServiceApp();
        m_app->setStartupInfo(new KxStartup(QStringLiteral("tavi"), 0, false));
    }

    void cleanupTestCase()
    {
        destroyInnerPlugins();
        m_app.reset();
    }

    void pool_data()
    {
        QTest::addColumn<QStringList>("dirs");
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<QString>("newest"); // empty: nothing

        QTest::newRow("10 is newer than 9") << QStringList{"krpt_1.0.0.9", "krpt_1.0.0.10"} << QStringList{} << "krpt_1.0.0.10";
        QTest::newRow("another plugin's prefix") << QStringList{"krpt_2.0.0.0", "krptx_3.0.0.0"} << QStringList{}
                                                 << "krpt_2.0.0.0";
        QTest::newRow("0.0.0.0 is no version") << QStringList{"krpt_0.0.0.0"} << QStringList{} << "";
        QTest::newRow("look-alikes only")
            << QStringList{"krpt_1.2.3", "krpt_1.2.3.4.5", "krpt_a.b.c.d", "krpt_1.2.3.4\n", "krpt_1.2.3.4 ", "krpt_"}
            << QStringList{} << "";
        QTest::newRow("another letter case is not taken") << QStringList{"KRPT_9.0.0.0", "krpt_1.0.0.0"} << QStringList{}
                                                          << "krpt_1.0.0.0";
        QTest::newRow("five digits compare as text") << QStringList{"krpt_1.0.0.9999", "krpt_1.0.0.10000"}
                                                     << QStringList{} << "krpt_1.0.0.9999";
        QTest::newRow("files are not plugins") << QStringList{"krpt_1.0.0.0"} << QStringList{"krpt_9.0.0.0"}
                                               << "krpt_1.0.0.0";
        QTest::newRow("no pool") << QStringList{} << QStringList{} << "";
    }

    void pool()
    {
        QFETCH(QStringList, dirs);
        QFETCH(QStringList, files);
        QFETCH(QString, newest);
        const QString pool = KPluginPool::poolDir();
        QVERIFY(pool.startsWith(m_env->dataHome() + QStringLiteral("/corvanta/ulx/addons/pool/linux-")));
        QVERIFY(pool.endsWith(QLatin1Char('/')));
        QDir(pool).removeRecursively();
        for (const QString &d : std::as_const(dirs))
            QVERIFY(QDir().mkpath(pool + d));
        for (const QString &f : std::as_const(files)) {
            QFile file(pool + f);
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        QCOMPARE(KPluginPool::resolve(QStringLiteral("krpt")), newest.isEmpty() ? QString() : pool + newest);
    }

    void krptPathIsPublishedIntoTheExistingKeyOnly()
    {
        const QString pool = KPluginPool::poolDir();
        QDir(pool).removeRecursively();
        QVERIFY(QDir().mkpath(pool + QStringLiteral("krpt_1.2.3.4")));
        KRegSettings(PluginsKey).remove(QString());

        KPluginPool::publishKrptPath();
        QVERIFY(!KRegSettings(PluginsKey).keyExists());

        KRegSettings(PluginsKey + QStringLiteral("\\other")).setValue(QStringLiteral("x"), 1);
        KPluginPool::publishKrptPath();
        QCOMPARE(KRegSettings(PluginsKey).value(QStringLiteral("krptpath")).toString(), pool + QStringLiteral("krpt_1.2.3.4"));
    }

    // Before the plugin manager has loaded: recorded when it has; a plugin the
    // suite does not know: nothing.
    void updateselfRecordsOnceLoaded()
    {
        m_env->writeInstallConfig({{QStringLiteral("Installation/Version"), QStringLiteral("6.1.2.3")}});
        krt::reload();
        KRegSettings own(PluginsKey + QStringLiteral("\\ulxcloudsvrimp"));
        own.remove(QString());
        QDir().mkpath(office());

        // Unknown plugin: nothing, even once loaded.
        m_app->coreInitComplete();
        KPluginManager *manager = m_app->getPluginMgr();
        QVERIFY(manager);
        KUpdateself unknown;
        unknown.init();
        QTRY_VERIFY(manager->loaded());
        QTest::qWait(KTestEnv::scaled(50));
        QVERIFY(!own.contains(QStringLiteral("version")));

        // Shipped with the installation, manager already loaded: written during init.
        QFile lib(office() + QStringLiteral("/libulxcloudsvrimp.so"));
        QVERIFY(lib.open(QIODevice::WriteOnly));
        lib.close();
        KUpdateself known;
        known.init();
        QCOMPARE(own.value(QStringLiteral("version")).toString(), QStringLiteral("6.1.2.3"));
        QCOMPARE(own.value(QStringLiteral("lookpath")).toString(), office());
    }

    void updateUlx_data()
    {
        QTest::addColumn<QString>("features");
        QTest::addColumn<bool>("program");
        QTest::addColumn<bool>("runs");
        QTest::newRow("feature and program") << "UpdateAsInnerPlugin" << true << true;
        QTest::newRow("without the feature") << "" << true << false;
        QTest::newRow("without an update program") << "UpdateAsInnerPlugin" << false << false;
    }

    void updateUlx()
    {
        QFETCH(QString, features);
        QFETCH(bool, program);
        QFETCH(bool, runs);
        const QString marker = m_env->root() + QStringLiteral("/update-ran");
        const QString script = m_env->root() + QStringLiteral("/ulxupdate.sh");
        QFile::remove(marker);
        QVERIFY(ktest::writeRecordingScript(script, marker));
        m_env->writeInstallConfig({{QStringLiteral("Installation/Features"), features},
                                   {QStringLiteral("Installation/UpdateProgram"), program ? script : QString()}});
        krt::reload();

        KUpdateUlx update;
        update.exec(QStringLiteral("/start_from:x"));
        if (runs) {
            QTRY_COMPARE_WITH_TIMEOUT(ktest::readFile(marker), QByteArray("/from:rlostart\n"), KTestEnv::scaled(5000));
        } else {
            QTest::qWait(KTestEnv::scaled(300));
            QVERIFY(!QFile::exists(marker));
        }
    }
};

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    TestUpdatePlugins test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_updateplugins.moc"
