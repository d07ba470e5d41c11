// Suite plugins run for real: ulxcloudsvr processes in a private world whose installation uses the build tree's
// catalogue (kpluginrunner and the demonstration plugins), installed into the world's data directory on first use.
#include "suite/kxpluginssettings.h"
#include "tests/common/kworld.h"

#include <QTest>

#include <memory>

class TestPluginRun : public QObject
{
    Q_OBJECT
private:
    std::unique_ptr<KTestEnv> m_env;
    std::unique_ptr<ktest::KService> m_server;
    qint64 m_pid = 0;

    QStringList serverLines() const { return ktest::logLinesOf(*m_env, m_pid); }
    int indexOf(const QString &text) const { return serverLines().indexOf(text); }
    bool logged(const QString &text) const { return serverLines().contains(text); }

    void send(const QStringList &arguments) { QVERIFY(m_server->send(arguments)); }

private Q_SLOTS:
    void initTestCase()
    {
        m_env = std::make_unique<KTestEnv>(QMap<QString, QString>{
            {QStringLiteral("Installation/PluginCatalog"), KTestEnv::binPath(QStringLiteral("plugins/catalogue.json"))}});
        m_server = std::make_unique<ktest::KService>(*m_env);
    }

    void cleanupTestCase() { QVERIFY(m_server->stop()); }

    // The first start's own command reaches the runner before the plugin manager has read its catalogue
    // (tst_pluginrunner sees it queued); it waits, and the bubbles run first.
    void firstRunWaitsForTheRunner()
    {
        QVERIFY(m_server->start({"/run_plugin", "/plugin_name:kbubble", "/plugin_local", "/plugin_type:dll"}));
        m_pid = m_server->pid();
        QTRY_VERIFY_WITH_TIMEOUT(logged("FIXED kbubble kbubble::run params: "), KTestEnv::scaled(15000));

        const int first = indexOf("FIXED kpdfassobubble kpdfassobubble::run params: ");
        const int second = indexOf("FIXED kpdfassobubbleview kpdfassobubbleview::run params: ");
        const int third = indexOf("FIXED kbubble kbubble::run params: ");
        QVERIFY2(first >= 0 && first < second && second < third, qPrintable(serverLines().join('\n')));
    }

    // A broadcast reaches the three launcher plugins; inner_plugin names match exactly.
    void broadcastAndInnerPlugin()
    {
        send({"/broadcast", "/start_from:X"});
        send({"/inner_plugin:KBubble", "/start_from:Y"});
        send({"/inner_plugin:kbubble", "/start_from:Z"});
        send({"/inner_plugin:KRecentFile", "/start_from:W"}); // handled after Z: the end of this test
        QTRY_VERIFY_WITH_TIMEOUT(logged("FIXED KRecentFileInnerPlugin KRecentFileInnerPlugin::onPluginRunnerRegisted krecentfile run success")
                                     && logged("FIXED krecentfile krecentfile::run params: /init /start_from=W "),
                                 KTestEnv::scaled(10000));
        for (const char *line : {
                 "FIXED kbubble kbubble::run params: /broadcast /start_from=X ",
                 "FIXED messagepush messagepush::run params: /PushType=mipush /start_from=X ",
                 "FIXED krecentfile krecentfile::run params: /init /start_from=X ",
                 "FIXED kbubble kbubble::run params: /broadcast /start_from=Y "})
            QVERIFY2(logged(QLatin1String(line)), line);
        // KBubble only: its cmdLine line, the runner's line, the plugin's line.
        QCOMPARE(serverLines().filter("start_from=Y").size(), 3);
        QCOMPARE(serverLines().filter("start_from=Z").size(), 0);
    }

    // A plugin that refuses stays queued and runs, before newer requests, at the next drain.
    void refusedRequestIsRetried()
    {
        KxPluginsSettings kbubble(QStringLiteral("kbubble"));
        kbubble.setValue(QStringLiteral("FailRun"), 1);
        send({"/run_plugin", "/plugin_name:kbubble", "/plugin_local", "/plugin_type:dll", "again"});
        QTRY_VERIFY_WITH_TIMEOUT(logged("FIXED KxUlxCloudSvrPluginRunner KxUlxCloudSvrPluginRunner::_run kbubble run failed"),
                                 KTestEnv::scaled(10000));
        kbubble.setValue(QStringLiteral("FailRun"), 0);
        send({"/run_plugin", "/plugin_name:krecentfile", "/plugin_local", "/plugin_type:dll", "later"});
        QTRY_VERIFY_WITH_TIMEOUT(logged("FIXED krecentfile krecentfile::run params: later"), KTestEnv::scaled(10000));
        const int retried = indexOf("FIXED kbubble kbubble::run params: again");
        QVERIFY(retried >= 0 && retried < indexOf("FIXED krecentfile krecentfile::run params: later"));
        QCOMPARE(serverLines().filter("kbubble::run params: again").size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestPluginRun)

#include "tst_pluginrun.moc"
