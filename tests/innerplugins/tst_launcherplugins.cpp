// The launcher inner plugins KBubble, Messagepush and KRecentFile, linked as the
// service links them, against a recording runner object in one process.
#include "innerplugins/iinnerplugin.h"
#include "tests/common/kserviceapp.h"
#include "suite/krt.h"
#include "suite/kxpluginssettings.h"
#include "suite/plugins/kpluginmanager.h"
#include "tests/common/kworld.h"
#include "tests/pluginrunner/kfakerunner.h"

#include <QTest>

#include <memory>

namespace {
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
    }

    void init()
    {
        m_runner = std::make_unique<KFakeRunner>();
        m_env->writeInstallConfig({});
        krt::reload();
    }

    // Before the plugin manager has loaded and the runner is published, KBubble
    // keeps every line; then it runs them in arrival order, once, and hands a
    // document scene, decoded, to the push-bubble object.
    void bubbleWaitsForManagerAndRunner()
    {
        const qsizetype mark = m_env->logText().size();
        m_app->coreInitComplete(); // the manager is created, loads from the event loop
        KFakePushBubble push;
        m_app->registerPluginInstanceObject(QStringLiteral("KUlxPushBubble"), &push);
        const QString scene = QString::fromLatin1(QStringLiteral("scène 1").toUtf8().toBase64());
        execInnerPlugin(QStringLiteral("KBubble"), QStringLiteral("/start_from=a /doc_scene=") + scene);
        execInnerPlugin(QStringLiteral("KBubble"), QStringLiteral("/start_from=b x"));
        execInnerPlugin(QStringLiteral("KBubble"), QStringLiteral("/other")); // not its business
        m_app->registerPluginInstanceObject(QStringLiteral("kpluginrunner"), m_runner.get());
        QVERIFY(m_runner->calls.isEmpty());
        QTRY_COMPARE(calls(), "kbubble|/broadcast /start_from=a /doc_scene=" + scene
                                  + "||ruby,kbubble|/broadcast /start_from=b x||ruby");
        QCOMPARE(logged("KBubbleInnerPlugin", mark).filter("kbubble run success").size(), 2);
        QTRY_COMPARE(push.scenes, QStringList{QStringLiteral("doc_scene=scène 1")});
        m_app->unregisterPluginInstanceObject(QStringLiteral("KUlxPushBubble"));
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
