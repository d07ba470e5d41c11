// The inner plugins that start other programs (KBubble, Messagepush, KRecentFile
// through a recording runner object; KUpdateUlx) and those that record where
// plugins are (KUpdateself, the plugin pool), linked as the service links them.
#include "innerplugins/iinnerplugin.h"
#include "innerplugins/kupdateself/kupdateself.h"
#include "innerplugins/kupdateulx/kupdateulx.h"
#include "innerplugins/pluginpool/kpluginpool.h"
#include "platform/registry/kregsettings.h"
#include "suite/krt.h"
#include "suite/kxpluginssettings.h"
#include "suite/kxstartup.h"
#include "suite/plugins/kpluginmanager.h"
#include "tests/common/kserviceapp.h"
#include "tests/common/kworld.h"
#include "tests/pluginrunner/kfakerunner.h"

#include <QDir>
#include <QTest>

#include <memory>

namespace {
const QString PluginsKey = QStringLiteral("HKEY_CURRENT_USER\\Software\\Corvanta\\Office\\6.0\\plugins");

// The push-bubble object: records the document scenes it is handed.
class KFakePushBubble : public QObject
{
    Q_OBJECT
public:
    QStringList scenes;
    Q_INVOKABLE void onExcuteBubbleLogicEx(const QString &key, const QString &value) { scenes << key + '=' + value; }
};
} // namespace

class TestLauncherPlugins : public QObject
{
    Q_OBJECT
private:
    std::unique_ptr<KTestEnv> m_env;
    std::unique_ptr<KxApplication> m_app;
    std::unique_ptr<KFakeRunner> m_runner;

    QString calls() const { return m_runner->calls.join(QLatin1Char(',')); }
    QStringList logged(const QString &category, qsizetype from) const { return ktest::logMessages(*m_env, category, from); }

private Q_SLOTS:
    void initTestCase()
    {
        m_env = std::make_unique<KTestEnv>();
        m_app = makeServiceApp();
        m_app->setStartupInfo(new KxStartup(QStringLiteral("tavi"), 0, false));
    }

    void init()
    {
        m_runner = std::make_unique<KFakeRunner>();
        m_env->writeInstallConfig({});
        krt::reload();
    }

    // Before the plugin manager has loaded and the runner is published, KBubble
    // keeps every line; then it runs them in arrival order, once, and hands a
    // document scene, decoded, to the push-bubble object. KUpdateself records the
    // installation's own plugin once the manager has loaded; an unknown one: nothing.
    void waitingForManagerAndRunner()
    {
        m_env->writeInstallConfig({{QStringLiteral("Installation/Version"), QStringLiteral("6.1.2.3")}});
        krt::reload();
        KRegSettings own(PluginsKey + QStringLiteral("\\ulxcloudsvrimp"));
        QVERIFY(ktest::writeFile(m_env->root() + QStringLiteral("/office/libulxcloudsvrimp.so"), {}));
        const qsizetype mark = m_env->logText().size();
        m_app->coreInitComplete(); // the manager is created, loads from the event loop
        KUpdateself early;
        early.init();
        KFakePushBubble push;
        m_app->registerPluginInstanceObject(QStringLiteral("KUlxPushBubble"), &push);
        const QString scene = QString::fromLatin1(QStringLiteral("scène 1").toUtf8().toBase64());
        execInnerPlugin(QStringLiteral("KBubble"), QStringLiteral("/start_from=a /doc_scene=") + scene);
        execInnerPlugin(QStringLiteral("KBubble"), QStringLiteral("/start_from=b x"));
        execInnerPlugin(QStringLiteral("KBubble"), QStringLiteral("/other")); // not its business
        m_app->registerPluginInstanceObject(QStringLiteral("kpluginrunner"), m_runner.get());
        QVERIFY(m_runner->calls.isEmpty());
        QVERIFY(!own.contains(QStringLiteral("version")));
        QTRY_COMPARE(calls(), "kbubble|/broadcast /start_from=a /doc_scene=" + scene
                                  + "||ruby,kbubble|/broadcast /start_from=b x||ruby");
        QCOMPARE(logged("KBubbleInnerPlugin", mark).filter("kbubble run success").size(), 2);
        QTRY_COMPARE(push.scenes, QStringList{QStringLiteral("doc_scene=scène 1")});
        m_app->unregisterPluginInstanceObject(QStringLiteral("KUlxPushBubble"));
        QCOMPARE(own.value(QStringLiteral("version")).toString(), QStringLiteral("6.1.2.3"));
        QCOMPARE(own.value(QStringLiteral("lookpath")).toString(), m_env->root() + QStringLiteral("/office"));

        own.remove(QString());
        QVERIFY(QFile::remove(m_env->root() + QStringLiteral("/office/libulxcloudsvrimp.so")));
        KUpdateself unknown;
        unknown.init();
        QVERIFY(!own.contains(QStringLiteral("version")));
    }

    void exec_data()
    {
        QTest::addColumn<QString>("plugin");
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("install"); // "key=value" of the installation, or empty
        QTest::addColumn<QString>("calls");

        QTest::newRow("bubble, edition 6 runs exe") << "KBubble" << "/start_from:d" << "Installation/VersionID=6"
                                                    << "kbubble|/broadcast /start_from:d||exe";
        QTest::newRow("message push") << "Messagepush" << "/start_from:desk w" << QString()
                                       << "messagepush|/PushType=mipush /start_from:desk w|messagepush.dll|dll";
        QTest::newRow("message push ignores tavinseload") << "Messagepush" << "/start_from:TaviNSeLoad" << QString() << QString();
        QTest::newRow("message push switched off") << "Messagepush" << "/start_from:d"
                                                   << "Installation/Features=DoNotSupportMessagePush" << QString();
        QTest::newRow("recent file") << "KRecentFile" << "prog.exe /start_from=d" << QString()
                                     << "krecentfile|/init prog.exe /start_from=d|krecentfile.dll|dll";
        QTest::newRow("recent file without start_from") << "KRecentFile" << "/from=d" << QString() << QString();
        QTest::newRow("names are exact") << "kbubble" << "/start_from:d" << QString() << QString();
        QTest::newRow("broadcast, in name order") << "*" << "/start_from=z" << QString()
                                                  << "kbubble|/broadcast /start_from=z||ruby,"
                                                     "krecentfile|/init /start_from=z|krecentfile.dll|dll,"
                                                     "messagepush|/PushType=mipush /start_from=z|messagepush.dll|dll";
    }
    void exec()
    {
        QFETCH(QString, plugin);
        QFETCH(QString, line);
        QFETCH(QString, install);
        QFETCH(QString, calls);
        if (!install.isEmpty()) {
            m_env->writeInstallConfig({{install.section('=', 0, 0), install.section('=', 1)}});
            krt::reload();
        }
        QTRY_VERIFY(m_app->getPluginMgr() && m_app->getPluginMgr()->loaded());
        m_app->registerPluginInstanceObject(QStringLiteral("kpluginrunner"), m_runner.get());
        if (plugin == QLatin1String("*"))
            broadcastToInnerPlugins(line);
        else
            execInnerPlugin(plugin, line);
        QCOMPARE(this->calls(), calls); // direct: the plugin has run when exec returns
    }

    // "autorun" off keeps lines; the runner's publication drains them all the same.
    // A refused run is logged and dropped.
    void messagePushAutorunAndRefusal()
    {
        m_app->unregisterPluginInstanceObject(QStringLiteral("kpluginrunner"));
        KxPluginsSettings settings(QStringLiteral("messagepush"));
        settings.setValue(QStringLiteral("autorun"), 0);
        const qsizetype mark = m_env->logText().size();
        execInnerPlugin(QStringLiteral("Messagepush"), QStringLiteral("/start_from=one"));
        m_runner->refuse = {QStringLiteral("messagepush")};
        m_app->registerPluginInstanceObject(QStringLiteral("kpluginrunner"), m_runner.get());
        QVERIFY(m_runner->calls.isEmpty()); // autorun off: it never waited for the runner
        settings.setValue(QStringLiteral("autorun"), QStringLiteral("no")); // not a boolean: the default, true
        execInnerPlugin(QStringLiteral("Messagepush"), QStringLiteral("/start_from=two"));
        QCOMPARE(calls(), QStringLiteral("messagepush|/PushType=mipush /start_from=one|messagepush.dll|dll,"
                                         "messagepush|/PushType=mipush /start_from=two|messagepush.dll|dll"));
        QCOMPARE(logged("MessagepushInnerPlugin", mark).filter("run failed").size(), 2);
        m_runner->refuse.clear();
        m_runner->calls.clear();
        execInnerPlugin(QStringLiteral("Messagepush"), QStringLiteral("/start_from=three"));
        QCOMPARE(m_runner->calls.size(), 1); // the refused ones are gone
        settings.setValue(QStringLiteral("autorun"), 1);
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

    // The newest "krpt_<a.b.c.d>" directory of the pool, published as "krptpath"
    // into the plugins key only when that key exists.
    void krptPath_data()
    {
        QTest::addColumn<QStringList>("dirs"); // "file:" a file, not a directory
        QTest::addColumn<QString>("newest");   // empty: nothing
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

    void cleanupTestCase()
    {
        destroyInnerPlugins();
        QVERIFY(innerPluginNames().isEmpty());
        m_runner.reset();
        m_app.reset();
    }
};

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    TestLauncherPlugins test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_launcherplugins.moc"
