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
#include <QTest>

#include <memory>

namespace {
const QString PluginsKey = QStringLiteral("HKEY_CURRENT_USER\\Software\\Corvanta\\Office\\6.0\\plugins");
} // namespace

class TestUpdatePlugins : public QObject
{
    Q_OBJECT
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

    // The newest "krpt_<a.b.c.d>" directory of the pool, published as "krptpath"
    // into the plugins key only when that key exists.
    void krptPath_data()
    {
        QTest::addColumn<QStringList>("dirs");
        QTest::addColumn<QString>("newest"); // empty: nothing
        QTest::newRow("10 is newer than 9") << QStringList{"krpt_1.0.0.9", "krpt_1.0.0.10"} << "krpt_1.0.0.10";
        QTest::newRow("another plugin's prefix") << QStringList{"krpt_2.0.0.0", "krptx_3.0.0.0"} << "krpt_2.0.0.0";
        QTest::newRow("0.0.0.0 is no version") << QStringList{"krpt_0.0.0.0"} << "";
        QTest::newRow("look-alikes only")
            << QStringList{"krpt_1.2.3", "krpt_1.2.3.4.5", "krpt_a.b.c.d", "krpt_1.2.3.4\n", "krpt_1.2.3.4 ", "krpt_"} << "";
        QTest::newRow("another letter case is not taken") << QStringList{"KRPT_9.0.0.0", "krpt_1.0.0.0"} << "krpt_1.0.0.0";
        QTest::newRow("five digits compare as text") << QStringList{"krpt_1.0.0.9999", "krpt_1.0.0.10000"}
                                                     << "krpt_1.0.0.9999";
        QTest::newRow("files are not plugins") << QStringList{"krpt_1.0.0.0", "file:krpt_9.0.0.0"} << "krpt_1.0.0.0";
        QTest::newRow("no pool") << QStringList{} << "";
    }
    void krptPath()
    {
        QFETCH(QStringList, dirs);
        QFETCH(QString, newest);
        const QString pool = KPluginPool::poolDir();
        QVERIFY(pool.startsWith(m_env->dataHome() + QStringLiteral("/corvanta/ulx/addons/pool/linux-")));
        QVERIFY(pool.endsWith(QLatin1Char('/')));
        QDir(pool).removeRecursively();
        for (const QString &d : std::as_const(dirs)) {
            if (d.startsWith(QLatin1String("file:")))
                QVERIFY(ktest::writeFile(pool + d.mid(5), {}));
            else
                QVERIFY(QDir().mkpath(pool + d));
        }
        KRegSettings(PluginsKey).remove(QString());
        KPluginPool::publishKrptPath();
        QVERIFY(!KRegSettings(PluginsKey).keyExists());
        KRegSettings(PluginsKey + QStringLiteral("\\other")).setValue(QStringLiteral("x"), 1);
        KPluginPool::publishKrptPath();
        const QString published = KRegSettings(PluginsKey).value(QStringLiteral("krptpath")).toString();
        QCOMPARE(published, newest.isEmpty() ? QString() : pool + newest);
    }

    // Before the plugin manager has loaded: recorded when it has; a plugin the
    // suite does not know: nothing.
    void updateselfRecordsOnceLoaded()
    {
        m_env->writeInstallConfig({{QStringLiteral("Installation/Version"), QStringLiteral("6.1.2.3")}});
        krt::reload();
        KRegSettings own(PluginsKey + QStringLiteral("\\ulxcloudsvrimp"));
        own.remove(QString());

        // Unknown plugin: nothing, even once loaded.
        m_app->coreInitComplete();
        KPluginManager *manager = m_app->getPluginMgr();
        KUpdateself unknown;
        unknown.init();
        QTRY_VERIFY(manager->loaded());
        QTest::qWait(KTestEnv::scaled(50));
        QVERIFY(!own.contains(QStringLiteral("version")));

        // Shipped with the installation, manager already loaded: written during init.
        QVERIFY(ktest::writeFile(office() + QStringLiteral("/libulxcloudsvrimp.so"), {}));
        KUpdateself known;
        known.init();
        QCOMPARE(own.value(QStringLiteral("version")).toString(), QStringLiteral("6.1.2.3"));
        QCOMPARE(own.value(QStringLiteral("lookpath")).toString(), office());
    }

    // The update program runs once, with the feature and a program configured;
    // without either nothing runs.
    void updateUlx()
    {
        const QString marker = m_env->root() + QStringLiteral("/update-ran");
        const QString script = m_env->root() + QStringLiteral("/ulxupdate.sh");
        QVERIFY(ktest::writeRecordingScript(script, marker));
        const QString feature = QStringLiteral("UpdateAsInnerPlugin");
        for (const auto &[features, program] : {std::pair{QString(), script}, {feature, QString()}, {feature, script}}) {
            m_env->writeInstallConfig({{QStringLiteral("Installation/Features"), features},
                                       {QStringLiteral("Installation/UpdateProgram"), program}});
            krt::reload();
            KUpdateUlx update;
            update.exec(QStringLiteral("/start_from:x"));
        }
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(marker), KTestEnv::scaled(5000));
        QTest::qWait(KTestEnv::scaled(300));
        QCOMPARE(ktest::readFile(marker), QByteArray("/from:rlostart\n"));
    }
};

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    TestUpdatePlugins test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_updateplugins.moc"
