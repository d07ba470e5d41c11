// The service's plugin runner (queues, forms, retries) and plugin getter, in one
// process, against a recording runner object and the plugin manager stand-in.
#include "pluginrunner/kplugingetter.h"
#include "pluginrunner/kxulxcloudsvrpluginrunner.h"
#include "tests/common/kserviceapp.h"
#include "suite/krt.h"
#include "suite/plugins/kplugin.h"
#include "suite/plugins/kpluginmanager.h"
#include "suite/plugins/kpluginupgrademanager.h"
#include "tests/common/kworld.h"
#include "tests/pluginrunner/kfakerunner.h"

#include <QDir>
#include <QSignalSpy>
#include <QTest>

#include <memory>

namespace {
const QString Bubbles = QStringLiteral("kpdfassobubble||kpdfassobubble.dll|dll,kpdfassobubbleview||kpdfassobubbleview.dll|dll");
} // namespace

class TestPluginRunner : public QObject
{
    Q_OBJECT
private:
    std::unique_ptr<KTestEnv> m_env;
    std::unique_ptr<KxApplication> m_app;
    std::unique_ptr<KxUlxCloudSvrPluginRunner> m_runner;
    std::unique_ptr<KFakeRunner> m_fake;

    // An application whose plugin manager is created (and loads from the event loop).
    void startApp()
    {
        m_app = makeServiceApp();
        m_app->coreInitComplete();
        m_runner = std::make_unique<KxUlxCloudSvrPluginRunner>(m_app.get());
        m_runner->setParent(nullptr);
        m_fake = std::make_unique<KFakeRunner>();
    }

    void publishFake() { m_app->registerPluginInstanceObject(QStringLiteral("KPluginRunner"), m_fake.get()); }
    QString calls() const { return m_fake->calls.join(QLatin1Char(',')); }

private Q_SLOTS:
    void initTestCase()
    {
        m_env = std::make_unique<KTestEnv>();
        // A catalogue of one plugin without library and one whose package is missing.
        const QString office = m_env->root() + QStringLiteral("/office");
        QVERIFY(ktest::writeFile(office + QStringLiteral("/plugins/packages/kpkg/readme"), QByteArray()));
        QVERIFY(ktest::writeFile(office + QStringLiteral("/plugins/catalogue.json"),
                                 R"({"plugins":[{"name":"kpkg","package":"packages/kpkg"},
                                                {"name":"kgone","package":"packages/kgone"}]})"));
        krt::reload();
    }

    void cleanup()
    {
        m_runner.reset();
        m_fake.reset();
        m_app.reset();
    }

    void requestForms_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("calls");   // what reached the runner object
        QTest::addColumn<QString>("warning"); // expected warning, or empty

        QTest::newRow("local: bubbles first") << "/plugin_name=kfoo /plugin_local /plugin_type=dll x"
                                              << Bubbles + ",kfoo|x||dll" << QString();
        QTest::newRow("entry: type from the suffix, plugin_type stays in params")
            << "/plugin_name:kbar /plugin_entry:\"c:/p q/kbar.dll\" /plugin_type:ruby"
            << Bubbles + ",kbar|/plugin_type=ruby |c:/p q/kbar.dll|dll" << QString();
        QTest::newRow("entry without a dot: no type") << "/plugin_name:kbar /plugin_entry:kbar"
                                                      << Bubbles + ",kbar||kbar|" << QString();
        QTest::newRow("run-info wins over local") << "/plugin_local /plugin_runinfo /plugin_name:kri /plugin_type:exe"
                                                  << "kri|/plugin_local ||exe" << QString();
        QTest::newRow("no plugin_name") << "/plugin_local /plugin_type:dll" << QString()
                                        << "command line miss switch: plugin_name, will do nothing";
        QTest::newRow("local without type") << "/plugin_name:k /plugin_local" << QString()
                                            << "command line has switch plugin_local, but miss switch: plugin_type, will do nothing";
        QTest::newRow("run-info without type") << "/plugin_name:k /plugin_runinfo" << QString()
                                               << "command line has switch plugin_runinfo, but miss switch: plugin_type, will do nothing";
        QTest::newRow("no form, no entry") << "/plugin_name:k /plugin_type:dll" << QString()
                                           << "command line miss switch: plugin_entry, will do nothing";
        QTest::newRow("empty line") << QString() << QString() << "parse command line error. ";
    }

    void requestForms()
    {
        QFETCH(QString, line);
        QFETCH(QString, calls);
        QFETCH(QString, warning);
        startApp();
        QTRY_VERIFY(m_app->getPluginMgr()->loaded());
        publishFake();
        m_runner->initialize();

        m_runner->run(line);
        QVERIFY(m_fake->calls.isEmpty()); // drained from the event loop, never inside run()
        if (!warning.isEmpty()) {
            QVERIFY2(m_env->logText().endsWith(QStringLiteral(" WARNING KxUlxCloudSvrApplication ") + warning + '\n'),
                     qPrintable(m_env->logText().right(200)));
            QVERIFY(m_runner->pendingLocal().isEmpty() && m_runner->pendingRemote().isEmpty());
            QTest::qWait(KTestEnv::scaled(20));
        }
        QTRY_COMPARE(this->calls(), calls);
    }

    // Requests wait for the runner object; another object's name drains nothing;
    // a refused request stays queued, in front of newer ones, until it is accepted.
    void localQueueWaitsAndRetries()
    {
        startApp();
        m_runner->initialize();
        m_runner->run(QStringLiteral("/plugin_name:ka /plugin_local /plugin_type:dll"));
        QTest::qWait(KTestEnv::scaled(20));
        QCOMPARE(m_runner->pendingLocal(), QStringList({"kpdfassobubble", "kpdfassobubbleview", "ka"}));

        m_app->registerPluginInstanceObject(QStringLiteral("kother"), m_fake.get());
        QTest::qWait(KTestEnv::scaled(20));
        QVERIFY(m_fake->calls.isEmpty());

        m_fake->refuse = {QStringLiteral("ka")};
        publishFake();
        QCOMPARE(calls(), Bubbles + ",ka|||dll");
        QCOMPARE(m_runner->pendingLocal(), QStringList{"ka"});
        QVERIFY(m_env->logText().contains(QStringLiteral("FIXED KxUlxCloudSvrPluginRunner KxUlxCloudSvrPluginRunner::_run ka run failed\n")));

        m_fake->calls.clear();
        m_fake->refuse.clear();
        m_runner->run(QStringLiteral("/plugin_name:kb /plugin_local /plugin_type:dll"));
        QTRY_COMPARE(calls(), "ka|||dll," + Bubbles + ",kb|||dll");
        QVERIFY(m_runner->pendingLocal().isEmpty());
    }

    // Run-info requests wait for the plugin manager's first load, and for a reload in progress.
    void remoteQueueWaitsForTheManager()
    {
        startApp();
        publishFake();
        QVERIFY(!m_app->getPluginMgr()->loaded());
        m_runner->initialize();
        m_runner->run(QStringLiteral("/plugin_name:kr /plugin_runinfo /plugin_type:exe"));
        QCOMPARE(m_runner->pendingRemote(), QStringList{"kr"});
        QTRY_COMPARE(calls(), QStringLiteral("kr|||exe"));

        m_fake->calls.clear();
        KPluginManager *manager = m_app->getPluginMgr();
        QSignalSpy reloaded(manager->getPluginUpgradeManager(), &KPluginUpgradeManager::reloadFinished);
        manager->getPluginUpgradeManager()->reload();
        m_runner->run(QStringLiteral("/plugin_name:kr2 /plugin_runinfo /plugin_type:exe"));
        QVERIFY(!manager->loaded());
        QTRY_COMPARE(calls(), QStringLiteral("kr2|||exe"));
        QCOMPARE(reloaded.size(), 1);
    }

    void getter_data()
    {
        QTest::addColumn<QString>("plugin");
        QTest::addColumn<bool>("loadFirst");
        QTest::addColumn<QList<int>>("states");
        QTest::newRow("unknown") << "knobody" << false << QList<int>{KPluginGetter::PluginNotFound};
        QTest::newRow("already loaded") << "kpkg" << true << QList<int>{KPluginGetter::LoadSuccess};
        QTest::newRow("loads later") << "kpkg" << false << QList<int>{KPluginGetter::LoadSuccess};
        QTest::newRow("fails, then loads") << "kgone" << false
                                           << QList<int>{KPluginGetter::LoadFailed, KPluginGetter::LoadSuccess};
    }

    void getter()
    {
        QFETCH(QString, plugin);
        QFETCH(bool, loadFirst);
        QFETCH(QList<int>, states);
        QDir(krt::pluginsDir()).removeRecursively();
        startApp();
        KPluginManager *manager = m_app->getPluginMgr();
        QTRY_VERIFY(manager->loaded());
        KPlugin *p = manager->getPlugin(plugin);
        if (loadFirst) {
            p->load(0);
            QTRY_COMPARE(p->state(), int(KPlugin::Loaded));
        }

        KPluginGetter getter(plugin, nullptr);
        QList<int> seen;
        connect(&getter, &KPluginGetter::pluginLoadFinished, this, [&seen](KPluginGetter::PluginFinalState s) { seen << s; });
        getter.onPluginMgrLoadFinished();
        QVERIFY(seen.isEmpty()); // never from inside the call
        if (p && !loadFirst)
            p->load(0);
        if (states.size() > 1) {
            QTRY_COMPARE(seen.size(), 1);
            // The package appears: the next load succeeds and the getter reports again.
            const QString package = QFileInfo(krt::pluginCatalogPath()).absolutePath() + QStringLiteral("/packages/kgone");
            QDir().mkpath(package);
            p->load(0);
            QTRY_COMPARE(seen.size(), 2);
            QDir(package).removeRecursively();
        }
        QTRY_COMPARE(seen, states);
        QTest::qWait(KTestEnv::scaled(20));
        QCOMPARE(seen, states);
    }
};

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    TestPluginRunner test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_pluginrunner.moc"
