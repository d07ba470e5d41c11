// The suite plugin "kpluginrunner" as the service meets it: loaded by the plugin
// manager from a catalogue, reached by name only, running the demonstration
// plugins of the build tree.
#include "platform/cmdline/kxcommandline.h"
#include "pluginrunner/kxulxcloudsvrpluginrunner_p.h"
#include "tests/common/kserviceapp.h"
#include "suite/krt.h"
#include "suite/kxpluginssettings.h"
#include "suite/plugins/kpluginmanager.h"
#include "tests/common/kworld.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <memory>

class TestKxPluginRunner : public QObject
{
    Q_OBJECT
private:
    std::unique_ptr<KTestEnv> m_env;
    std::unique_ptr<KxApplication> m_app;
    QObject *m_runner = nullptr;

    bool run(const QString &name, const QString &params, const QString &entry, const QString &type)
    {
        bool ok = false;
        const bool invoked = QMetaObject::invokeMethod(m_runner, "run", Qt::DirectConnection, Q_RETURN_ARG(bool, ok),
                                                       Q_ARG(QString, name), Q_ARG(QString, params),
                                                       Q_ARG(QString, entry), Q_ARG(QString, type));
        return invoked && ok;
    }
    QString lastLine() const { return m_env->logText().section('\n', -2, -2).section(' ', 5); }

private Q_SLOTS:
    void initTestCase()
    {
        m_env = std::make_unique<KTestEnv>();
        // The build tree's plugins, and one whose library is no library.
        const QString packages = KTestEnv::binPath(QStringLiteral("plugins/packages"));
        QJsonArray plugins;
        for (const char *name : {"kpluginrunner", "kbubble", "messagepush", "krecentfile"}) {
            const QString n = QLatin1String(name);
            plugins << QJsonObject{{"name", n}, {"package", packages + '/' + n}, {"library", "lib" + n + ".so"}};
        }
        const QString broken = m_env->root() + QStringLiteral("/packages/kbroken");
        QVERIFY(ktest::writeFile(broken + QStringLiteral("/libkbroken.so"), "not a library"));
        plugins << QJsonObject{{"name", "kbroken"}, {"package", broken}, {"library", "libkbroken.so"}};
        const QString catalogue = m_env->root() + QStringLiteral("/catalogue.json");
        QVERIFY(ktest::writeFile(catalogue, QJsonDocument(QJsonObject{{"plugins", plugins}}).toJson()));
        m_env->writeInstallConfig({{QStringLiteral("Installation/PluginCatalog"), catalogue}});
        krt::reload();

        KPluginManager::setAutoLoadRunner(true);
        m_app = makeServiceApp();
        m_app->coreInitComplete();
        QTRY_VERIFY_WITH_TIMEOUT(m_runner = m_app->getPluginInstanceObject(QStringLiteral("kpluginrunner")),
                                 KTestEnv::scaled(10000));
    }

    // While it waits for a plugin's first install, a further call is turned away;
    // afterwards the runner publishes itself again, so that queued requests are retried.
    void callDuringInstallIsRefused()
    {
        QSignalSpy published(m_app.get(), &KApplication::pluginInstanceObjectRegisted);
        int nested = -1;
        QTimer::singleShot(0, this, [&] { nested = run(QStringLiteral("krecentfile"), QString(), QString(), QStringLiteral("dll")); });
        QVERIFY(run(QStringLiteral("kbubble"), QStringLiteral("first"), QString(), QStringLiteral("ruby")));
        QCOMPARE(nested, 0);
        QVERIFY(m_env->logText().contains(QStringLiteral("KxPluginRunner::run krecentfile failed (busy installing another plugin)")));
        QCOMPARE(published.size(), 0);
        QTRY_COMPARE(published.size(), 1);
        QCOMPARE(published.at(0).at(0).toString(), QStringLiteral("kpluginrunner"));
    }

    void run_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("params");
        QTest::addColumn<QString>("entry");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QString>("logged"); // the runner's line, after "KxPluginRunner::run "

        QTest::newRow("catalogue library") << "kbubble" << "/broadcast /start_from=x" << QString() << true
                                           << "kbubble succeeded, type: t, entry: , params: /broadcast /start_from=x";
        QTest::newRow("entry names the library") << "messagepush" << "p" << "C:/suite/messagepush.dll" << true
                                                 << "messagepush succeeded, type: t, entry: C:/suite/messagepush.dll, params: p";
        QTest::newRow("entry names a library the plugin lacks") << "messagepush" << "p" << "kother.dll" << false
                                                                << "messagepush failed (library failed to load: ";
        QTest::newRow("unknown plugin") << "knobody" << "p" << QString() << false
                                        << "knobody failed (not in the catalogue), type: t, entry: , params: p";
        QTest::newRow("library does not load") << "kbroken" << QString() << QString() << false
                                               << "kbroken failed (the plugin failed to load)";
        // Parameters handed over by a predecessor arrive encoded in one switch.
        QTest::newRow("transferred parameters") << "krecentfile"
                                                << "/plugin_transfer=" + QString::fromLatin1(QByteArray("/init a b").toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals)) + ' '
                                                << QString() << true << "krecentfile succeeded, type: t, entry: , params: /init a b";
    }

    void run()
    {
        QFETCH(QString, name);
        QFETCH(QString, params);
        QFETCH(QString, entry);
        QFETCH(bool, ok);
        QFETCH(QString, logged);
        QCOMPARE(run(name, params, entry, QStringLiteral("t")), ok);
        QVERIFY2(lastLine().startsWith(QStringLiteral("KxPluginRunner::run ") + logged), qPrintable(lastLine()));
    }

    void demoPluginRefuses()
    {
        KxPluginsSettings(QStringLiteral("krecentfile")).setValue(QStringLiteral("FailRun"), 1);
        QVERIFY(!run(QStringLiteral("krecentfile"), QStringLiteral("q"), QString(), QStringLiteral("dll")));
        QVERIFY(m_env->logText().contains(QStringLiteral("FIXED krecentfile krecentfile::run refused (FailRun), params: q\n")));
        QVERIFY(lastLine().startsWith(QStringLiteral("KxPluginRunner::run krecentfile failed (the plugin's run returned false)")));
        KxPluginsSettings(QStringLiteral("krecentfile")).setValue(QStringLiteral("FailRun"), 0);
    }

    void answers_data()
    {
        QTest::addColumn<QByteArray>("query");
        QTest::addColumn<QByteArray>("response");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<bool>("answer");
        const QByteArray transfer = "pluginStateTransferQuery", transferAnswer = SIGNAL(pluginQueryStateTransferResponse(bool));
        const QByteArray exit = "pluginExitProcessQuery", exitAnswer = SIGNAL(pluginQueryExitProcessResponse(bool));
        QTest::newRow("ready by default") << transfer << transferAnswer << "StateTransferReady" << QVariant() << true;
        QTest::newRow("not ready") << transfer << transferAnswer << "StateTransferReady" << QVariant(0) << false;
        QTest::newRow("ready: text is no DWORD") << transfer << transferAnswer << "StateTransferReady" << QVariant("no") << true;
        QTest::newRow("no exit by default") << exit << exitAnswer << "AllowExitProcess" << QVariant() << false;
        QTest::newRow("exit allowed") << exit << exitAnswer << "AllowExitProcess" << QVariant(1) << true;
        QTest::newRow("exit: 64-bit value is no DWORD") << exit << exitAnswer << "AllowExitProcess"
                                                        << QVariant(qlonglong(5000000000)) << false;
    }

    void answers()
    {
        QFETCH(QByteArray, query);
        QFETCH(QByteArray, response);
        QFETCH(QString, key);
        QFETCH(QVariant, value);
        QFETCH(bool, answer);
        KxPluginsSettings s(QStringLiteral("kpluginrunner"));
        s.setValue(key, QVariant(1)); // replaced below; read at answer time, not at query time
        QSignalSpy spy(m_runner, response.constData());
        QVERIFY(QMetaObject::invokeMethod(m_runner, query.constData(), Qt::DirectConnection));
        QCOMPARE(spy.size(), 0); // answered from the event loop
        if (value.isValid())
            s.setValue(key, value);
        else
            s.setValue(key, QStringLiteral("")); // no number: the default
        QTRY_COMPARE(spy.size(), 1);
        QCOMPARE(spy.at(0).at(0).toBool(), answer);
    }

    // Every plugin it holds comes back as run_plugin switches that the service's
    // runner reads as the same request, parameters and all; nothing of the
    // parameters becomes a switch of the command itself.
    void stateTransfer()
    {
        QVERIFY(run(QStringLiteral("kbubble"), QStringLiteral("/broadcast /start_from=\"a b\""), QString(), QStringLiteral("ruby")));
        QVERIFY(run(QStringLiteral("messagepush"), QStringLiteral("/PushType=mipush x"), QStringLiteral("messagepush.dll"), QStringLiteral("dll")));
        QVERIFY(!run(QStringLiteral("kbroken"), QString(), QString(), QStringLiteral("dll")));
        QSignalSpy actions(m_runner, SIGNAL(stateTransferDefaultAction(QString, QString)));
        QSignalSpy completed(m_runner, SIGNAL(pluginsStateTransferCompleted()));
        QVERIFY(QMetaObject::invokeMethod(m_runner, "pluginStateTransferBegin", Qt::DirectConnection));
        QTRY_COMPARE(completed.size(), 1);
        // Never kbroken, nor krecentfile, whose last run failed (demoPluginRefuses).
        QCOMPARE(actions.size(), 2);

        QStringList names;
        for (const QList<QVariant> &action : std::as_const(actions)) {
            QCOMPARE(action.at(0).toString(), QStringLiteral("run_plugin"));
            // As the service sends it: "/" + name + " " + params.
            KxCommandLine command;
            QVERIFY(command.parse(QStringLiteral("/run_plugin ") + action.at(1).toString(), false));
            QVERIFY(!command.hasSwitch(QStringLiteral("broadcast")) && !command.hasSwitch(QStringLiteral("pushtype")));
            command.removeSwitch(QStringLiteral("run_plugin"));
            KRunPluginRequest request;
            QVERIFY(KxUlxCloudSvrPluginRunnerPrivate::parseRunCommand(command.toString(), &request));
            names << request.name;
            // Run again with what the service would pass: the same parameters arrive.
            QVERIFY(run(request.name, request.params, request.entry, request.type));
            if (request.name == QLatin1String("kbubble")) {
                QCOMPARE(request.type, QStringLiteral("ruby"));
                QVERIFY(lastLine().endsWith(QStringLiteral("params: /broadcast /start_from=\"a b\"")));
            } else if (request.name == QLatin1String("messagepush")) {
                QCOMPARE(request.entry, QStringLiteral("messagepush.dll"));
                QVERIFY(lastLine().endsWith(QStringLiteral("params: /PushType=mipush x")));
            }
        }
        QCOMPARE(names, QStringList({"kbubble", "messagepush"}));
    }
};

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    TestKxPluginRunner test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_kxpluginrunner.moc"
