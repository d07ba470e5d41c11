// The service's plugin runner (queues, request forms, the hand-over of what ran) and plugin getter in one
// process, against the suite's runner plugin and the build tree's demonstration plugins, met by name.
#include "platform/cmdline/kxcommandline.h"
#include "pluginrunner/kplugingetter.h"
#include "pluginrunner/kxulxcloudsvrpluginrunner.h"
#include "suite/krt.h"
#include "suite/kxpluginssettings.h"
#include "suite/plugins/kplugin.h"
#include "suite/plugins/kpluginmanager.h"
#include "suite/plugins/kpluginmonitor.h"
#include "suite/plugins/kpluginupgrademanager.h"
#include "tests/common/kserviceapp.h"
#include "tests/common/kworld.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <memory>

namespace {
// What the runner plugin logs for the document bubbles that precede each local request.
const QStringList Bubbles{"kpdfassobubble succeeded, type: dll, entry: kpdfassobubble.dll, params: ",
                          "kpdfassobubbleview succeeded, type: dll, entry: kpdfassobubbleview.dll, params: "};
} // namespace

class TestPluginRunner : public QObject
{
    Q_OBJECT
private:
    std::unique_ptr<KTestEnv> m_env;
    std::unique_ptr<KxApplication> m_app;
    KxUlxCloudSvrPluginRunner *m_runner = nullptr; // the application's

    qsizetype mark() const { return m_env->logText().size(); }
    // The runner plugin's results from log position `from` on, without "KxPluginRunner::run ".
    QStringList runsSince(qsizetype from) const
    {
        QStringList runs = ktest::logMessages(*m_env, QStringLiteral("KxPluginRunner"), from);
        runs = runs.filter(QRegularExpression(QStringLiteral("^KxPluginRunner::run ")));
        for (QString &run : runs)
            run.remove(0, 20);
        return runs;
    }
    QObject *runnerPlugin() const { return m_app->getPluginInstanceObject(QStringLiteral("kpluginrunner")); }

private Q_SLOTS:
    void initTestCase()
    {
        m_env = std::make_unique<KTestEnv>();
        // The build tree's catalogue, with one plugin whose library is no library and one without a package.
        const QString root = m_env->root();
        const QJsonDocument built = QJsonDocument::fromJson(ktest::readFile(KTestEnv::binPath("plugins/catalogue.json")));
        QJsonArray plugins = built.object().value("plugins").toArray();
        plugins << QJsonObject{{"name", "kbroken"}, {"package", root + "/kbroken"}, {"library", "libkbroken.so"}}
                << QJsonObject{{"name", "kgone"}, {"package", root + "/kgone"}} << QJsonObject{{"name", "khand"}};
        QVERIFY(ktest::writeFile(root + "/kbroken/libkbroken.so", "not a library"));
        QVERIFY(ktest::writeFile(root + "/catalogue/catalogue.json",
                                 QJsonDocument(QJsonObject{{"plugins", plugins}}).toJson()));
        QVERIFY(QFile::link(KTestEnv::binPath("plugins/packages"), root + "/catalogue/packages"));
        m_env->writeInstallConfig({{"Installation/PluginCatalog", root + "/catalogue/catalogue.json"}});
        krt::reload();
        QVERIFY(QDir().mkpath(krt::getPluginPath("khand"))); // installed by hand: no package
        KPluginManager::setAutoLoadRunner(true);
        m_app = makeServiceApp();
        m_app->coreInitComplete();
        m_runner = new KxUlxCloudSvrPluginRunner(m_app.get());
    }

    // Local requests wait for the runner plugin, run-info ones for the manager's first load and for a
    // reload; another object's name drains nothing. A request that comes while the runner plugin
    // installs a bubble is turned away, stays queued and runs when the plugin announces itself again.
    void queuesWait()
    {
        const qsizetype from = mark();
        KPluginManager *manager = m_app->getPluginMgr();
        QVERIFY(!manager->loaded() && !runnerPlugin());
        bool sent = false;
        const QString late = QStringLiteral("/plugin_name:krecentfile /plugin_local /plugin_type:dll b");
        connect(m_app.get(), &KApplication::pluginInstanceObjectRegisted, this, [&](const QString &name) {
            if (name == QLatin1String("kpluginrunner") && !std::exchange(sent, true))
                QTimer::singleShot(0, this, [this, late] { m_runner->run(late); });
        });
        m_runner->initialize();
        m_runner->run(QStringLiteral("/plugin_name:kbubble /plugin_local /plugin_type:dll a"));
        m_runner->run(QStringLiteral("/plugin_name:messagepush /plugin_runinfo /plugin_type:exe"));
        QObject other;
        m_app->registerPluginInstanceObject(QStringLiteral("kother"), &other);
        QCOMPARE(m_runner->pendingLocal(), QStringList({"kpdfassobubble", "kpdfassobubbleview", "kbubble"}));
        QCOMPARE(m_runner->pendingRemote(), QStringList{"messagepush"});
        const QStringList expected = Bubbles + QStringList{"kbubble succeeded, type: dll, entry: , params: a",
                                                           "messagepush succeeded, type: exe, entry: , params: ",
                                                           "krecentfile succeeded, type: dll, entry: , params: b"};
        for (const QString &run : expected)
            QTRY_VERIFY2_WITH_TIMEOUT(runsSince(from).contains(run), qPrintable(run), KTestEnv::scaled(10000));
        QVERIFY(!runsSince(from).filter(QStringLiteral("failed (busy installing another plugin)")).isEmpty());
        disconnect(m_app.get(), &KApplication::pluginInstanceObjectRegisted, this, nullptr);

        const qsizetype reloading = mark();
        QSignalSpy reloaded(manager->getPluginUpgradeManager(), &KPluginUpgradeManager::reloadFinished);
        manager->getPluginUpgradeManager()->reload();
        m_runner->run(QStringLiteral("/plugin_name:krecentfile /plugin_runinfo /plugin_type:exe"));
        QVERIFY(!manager->loaded() && runsSince(reloading).isEmpty());
        QTRY_COMPARE(runsSince(reloading), QStringList{"krecentfile succeeded, type: exe, entry: , params: "});
        QCOMPARE(reloaded.size(), 1);
    }

    void requestForms_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QStringList>("runs");  // the beginnings of the runner plugin's results
        QTest::addColumn<QString>("warning"); // or the service's warning
        const auto row = [](const char *tag, const char *line, const QStringList &runs, const char *warning = "") {
            QTest::newRow(tag) << line << runs << warning;
        };
        row("local, parameters not switches",
            R"(/plugin_name=kbubble /plugin_local /plugin_type=dll /broadcast /start_from="a b")",
            Bubbles + QStringList{R"(kbubble succeeded, type: dll, entry: , params: /broadcast "/start_from=a b")"});
        row("entry names a library the plugin lacks", "/plugin_name:messagepush /plugin_entry:kother.dll",
            Bubbles + QStringList{"messagepush failed (library failed to load: "});
        row("entry: type from the suffix, plugin_type stays in params",
            R"(/plugin_name:messagepush /plugin_entry:"c:/p q/messagepush.dll" /plugin_type:ruby)",
            Bubbles + QStringList{"messagepush succeeded, type: dll, entry: c:/p q/messagepush.dll, "
                                  "params: /plugin_type=ruby "});
        row("entry without a dot: no type", "/plugin_name:krecentfile /plugin_entry:krecentfile",
            Bubbles + QStringList{"krecentfile succeeded, type: , entry: krecentfile, params: "});
        row("run-info wins over local", "/plugin_local /plugin_runinfo /plugin_name:kbubble /plugin_type:exe",
            {"kbubble succeeded, type: exe, entry: , params: /plugin_local "});
        row("library does not load", "/plugin_name:kbroken /plugin_local /plugin_type:dll",
            Bubbles + QStringList{"kbroken failed (the plugin failed to load), type: dll"});
        row("no plugin_name", "/plugin_local /plugin_type:dll", {},
            "command line miss switch: plugin_name, will do nothing");
        row("local without type", "/plugin_name:k /plugin_local", {},
            "command line has switch plugin_local, but miss switch: plugin_type, will do nothing");
        row("no form, no entry", "/plugin_name:k /plugin_type:dll", {},
            "command line miss switch: plugin_entry, will do nothing");
        row("empty line", "", {}, "parse command line error. ");
    }

    // A refused request stays queued for the next drain (tst_pluginrun): each row starts afresh.
    void cleanup() { m_runner->shutdown(); }

    void requestForms()
    {
        QFETCH(QString, line);
        QFETCH(QStringList, runs);
        QFETCH(QString, warning);
        const qsizetype from = mark();
        m_runner->run(line);
        QVERIFY(runsSince(from).isEmpty()); // drained from the event loop, never inside run()
        if (!warning.isEmpty()) {
            const QString logged = m_env->logText().mid(from);
            QVERIFY2(logged.endsWith(" WARNING KxUlxCloudSvrApplication " + warning + '\n'), qPrintable(logged));
            QVERIFY(m_runner->pendingLocal().isEmpty() && m_runner->pendingRemote().isEmpty());
        }
        QTRY_COMPARE_WITH_TIMEOUT(runsSince(from).size(), runs.size(), KTestEnv::scaled(10000));
        for (qsizetype i = 0; i < runs.size(); ++i)
            QVERIFY2(runsSince(from).at(i).startsWith(runs.at(i)), qPrintable(runsSince(from).at(i)));
    }

    // Every plugin the runner holds (the last run of each succeeded) comes back as run_plugin
    // switches that a replacement service's runner reads as the same request, parameters and all.
    void stateTransfer()
    {
        QMap<QString, QString> held;
        for (const QString &run : runsSince(0))
            held.insert(run.section(QLatin1Char(' '), 0, 0), run);
        held.removeIf([](const auto &it) { return !it.value().contains(QStringLiteral(" succeeded, ")); });
        QSignalSpy actions(runnerPlugin(), SIGNAL(stateTransferDefaultAction(QString, QString)));
        QSignalSpy completed(runnerPlugin(), SIGNAL(pluginsStateTransferCompleted()));
        QVERIFY(QMetaObject::invokeMethod(runnerPlugin(), "pluginStateTransferBegin", Qt::DirectConnection));
        QTRY_COMPARE(completed.size(), 1);
        QCOMPARE(actions.size(), held.size());
        QVERIFY(held.contains(QStringLiteral("messagepush")) && held.contains(QStringLiteral("krecentfile")));
        const qsizetype from = mark();
        KxUlxCloudSvrPluginRunner replacement(m_app.get()); // it comes when everything has loaded
        replacement.initialize();
        for (const QList<QVariant> &action : std::as_const(actions)) {
            QCOMPARE(action.at(0).toString(), QStringLiteral("run_plugin"));
            // As the replacement reads the line "/" + name + " " + params.
            KxCommandLine command;
            QVERIFY(command.parse(QStringLiteral("/run_plugin ") + action.at(1).toString(), false));
            QVERIFY(!command.hasSwitch(QStringLiteral("broadcast")) && !command.hasSwitch(QStringLiteral("start_from")));
            command.removeSwitch(QStringLiteral("run_plugin"));
            replacement.run(command.toString());
        }
        for (const QString &run : std::as_const(held))
            QTRY_VERIFY2(runsSince(from).contains(run), qPrintable(run));
    }

    // The answers to the service's queries, read from the runner's settings when they are given.
    void answers_data()
    {
        QTest::addColumn<bool>("transfer"); // the state-transfer query, else the exit query
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<bool>("answer");
        QTest::newRow("ready by default") << true << QVariant() << true;
        QTest::newRow("not ready") << true << QVariant(0) << false;
        QTest::newRow("no exit by default") << false << QVariant() << false;
        QTest::newRow("exit allowed") << false << QVariant(1) << true;
        QTest::newRow("exit: 64-bit value is no DWORD") << false << QVariant(qlonglong(5000000000)) << false;
    }

    void answers()
    {
        QFETCH(bool, transfer);
        QFETCH(QVariant, value);
        QFETCH(bool, answer);
        const QString key = transfer ? QStringLiteral("StateTransferReady") : QStringLiteral("AllowExitProcess");
        KxPluginsSettings settings(QStringLiteral("kpluginrunner"));
        settings.setValue(key, QVariant(1)); // replaced below: read at answer time, not at query time
        QSignalSpy spy(runnerPlugin(), transfer ? SIGNAL(pluginQueryStateTransferResponse(bool))
                                                : SIGNAL(pluginQueryExitProcessResponse(bool)));
        const char *query = transfer ? "pluginStateTransferQuery" : "pluginExitProcessQuery";
        QVERIFY(QMetaObject::invokeMethod(runnerPlugin(), query, Qt::DirectConnection));
        QCOMPARE(spy.size(), 0); // answered from the event loop
        settings.setValue(key, value.isValid() ? value : QVariant(QString())); // no number: the default
        QTRY_COMPARE(spy.size(), 1);
        QCOMPARE(spy.at(0).at(0).toBool(), answer);
    }

    // A damaged catalogue loads as an empty one, once and from the event loop; a monitor whose wait limit
    // passes first fails, and one that waits for the first load follows it.
    void damagedCatalogue()
    {
        const QString path = m_env->root() + QStringLiteral("/damaged.json");
        for (const QByteArray &text : {QByteArray("{\"plugins\":["), QByteArray("{\"plugins\":{}}")}) {
            QVERIFY(ktest::writeFile(path, text));
            KPluginManager manager;
            manager.setCatalogPath(path);
            KPluginMonitor limited(nullptr, &manager, QStringLiteral("kbubble"));
            KPluginMonitor waiting(nullptr, &manager, QStringLiteral("kbubble"));
            limited.setManagerWaitLimit(0);
            QSignalSpy limitedDone(&limited, &KPluginMonitor::loadFinished);
            QSignalSpy waitingDone(&waiting, &KPluginMonitor::loadFinished);
            for (KPluginMonitor *monitor : {&limited, &waiting})
                monitor->execute(true);
            QTRY_COMPARE(limitedDone.size(), 1);
            QSignalSpy loaded(&manager, &KPluginManager::loadFinished);
            manager.start();
            manager.start();
            QVERIFY(!manager.loaded() && loaded.wait(KTestEnv::scaled(5000)));
            QTRY_COMPARE(waitingDone.size(), 1);
            QCOMPARE(loaded.size(), 1);
            QCOMPARE(manager.pluginNames(), QStringList());
            for (const QSignalSpy *done : {&limitedDone, &waitingDone})
                QCOMPARE(done->first().first().toBool(), false);
        }
    }

    void getter_data()
    {
        QTest::addColumn<QString>("plugin");
        QTest::addColumn<QList<int>>("states");
        QTest::newRow("unknown") << "knobody" << QList<int>{KPluginGetter::PluginNotFound};
        QTest::newRow("already loaded") << "kbubble" << QList<int>{KPluginGetter::LoadSuccess};
        QTest::newRow("loads later") << "ulxdemoapp" << QList<int>{KPluginGetter::LoadSuccess};
        QTest::newRow("installed by hand") << "khand" << QList<int>{KPluginGetter::LoadSuccess};
        QTest::newRow("fails, then loads") << "kgone"
                                           << QList<int>{KPluginGetter::LoadFailed, KPluginGetter::LoadSuccess};
    }

    void getter()
    {
        QFETCH(QString, plugin);
        QFETCH(QList<int>, states);
        KPlugin *p = m_app->getPluginMgr()->getPlugin(plugin);
        KPluginGetter getter(plugin, nullptr);
        QList<int> seen;
        connect(&getter, &KPluginGetter::pluginLoadFinished, this, [&seen](int state) { seen << state; });
        getter.onPluginMgrLoadFinished();
        QVERIFY(seen.isEmpty()); // never from inside the call
        if (p)
            p->load(0); // of a plugin loaded already: success again, which the getter no longer awaits
        if (states.size() > 1) {
            QTRY_COMPARE(seen.size(), 1);
            // The package appears: the next load succeeds and the getter reports again.
            QVERIFY(QDir().mkpath(m_env->root() + QStringLiteral("/kgone")));
            p->load(0);
        }
        QTRY_COMPARE(seen, states);
        if (p)
            p->cancelLoad(); // a late cancel is ignored
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
