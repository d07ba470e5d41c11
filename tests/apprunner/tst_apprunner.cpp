// The app runner in process: the progress window, and the runner's queue against
// the plugin manager stand-in installing from a package directory. What app.ini
// and plugin_params make of the command line is tst_runapp's, through the service.
#include "apprunner/kxulxcloudsvrapprunner.h"
#include "apprunner/kxulxcloudsvrprogresswindow.h"
#include "suite/kapplication.h"
#include "suite/krt.h"
#include "suite/plugins/kpluginmanager.h"
#include "tests/common/kworld.h"

#include <QDir>
#include <QLabel>
#include <QProgressBar>
#include <QTest>

#include <climits>

class KTestApplication : public KApplication
{
public:
    using KApplication::KApplication;
    using KCoreApplication::createPluginMgr;
};

namespace {
QList<KxUlxCloudSvrProgressWindow *> windows()
{
    QList<KxUlxCloudSvrProgressWindow *> out;
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (auto *p = qobject_cast<KxUlxCloudSvrProgressWindow *>(w))
            out << p;
    }
    return out;
}
} // namespace

class TestAppRunner : public QObject
{
    Q_OBJECT
public:
    explicit TestAppRunner(const KTestEnv &env) : m_env(env) {}

private:
    const KTestEnv &m_env;

private Q_SLOTS:
    // The window's texts for each status, and progress only while downloading, at the true fraction.
    void window()
    {
        KxUlxCloudSvrProgressWindow window(QStringLiteral("Notes"));
        QVERIFY(window.testAttribute(Qt::WA_DeleteOnClose));
        QVERIFY(window.windowTitle().isEmpty() && window.isWindow());
        QStringList texts;
        for (QLabel *l : window.findChildren<QLabel *>())
            texts << l->text();
        QCOMPARE(texts, (QStringList{"Preparing", "icon", "Downloading Notes"}));
        texts.clear();
        for (int status = -1; status <= 6; ++status) {
            window.onStatusUpdate(KAppStatus(status));
            texts << window.statusLabel->text();
        }
        QCOMPARE(texts, (QStringList{"", "Preparing", "Unavailable", "Preparing", "Downloading", "Finished", "Failed", ""}));

        window.onStatusUpdate(AppStatusNotLocal);
        window.onProgressUpdate(100, 50); // before any status 3: untouched
        QCOMPARE(window.progressBar->value(), -1);
        window.onStatusUpdate(AppStatusDownloading);
        window.onProgressUpdate(1000, 250);
        QCOMPARE(window.progressBar->maximum(), 1000);
        QCOMPARE(window.progressBar->value(), 250);
        window.onStatusUpdate(AppStatusReady);
        window.onProgressUpdate(1000, 900);
        QCOMPARE(window.progressBar->value(), 250);
        // 6 GiB, a third received: the bar's int range holds it at the same fraction.
        window.onStatusUpdate(AppStatusDownloading);
        const long long total = 6LL << 30;
        window.onProgressUpdate(total, total / 3);
        QVERIFY(window.progressBar->maximum() > 0 && window.progressBar->maximum() <= INT_MAX);
        QCOMPARE(qRound(100.0 * window.progressBar->value() / window.progressBar->maximum()), 33);
        window.onProgressUpdate(total, total);
        QCOMPARE(window.progressBar->value(), window.progressBar->maximum());
    }

    // One task at a time; commands wait for the manager; a failed preparation
    // does not take the next queued command; the window follows the download;
    // a runner deleted during a download cancels it and closes the window.
    void queue()
    {
        auto *app = static_cast<KTestApplication *>(QCoreApplication::instance());
        KxUlxCloudSvrAppRunner runner(app);
        runner.initialize();
        QVERIFY(!runner.pluginMgrReady);
        runner.run(QStringLiteral("/plugin_name=dirapp /plugin_params=x"));
        QCOMPARE(runner.pendingCommands.size(), 1);

        QTRY_VERIFY(runner.taskRunning); // the catalogue has been read: dirapp downloads
        QVERIFY(runner.pendingCommands.isEmpty());
        QTRY_COMPARE(windows().size(), 1);
        KxUlxCloudSvrProgressWindow *window = windows().first();
        QTRY_COMPARE(window->statusLabel->text(), QStringLiteral("Downloading"));
        QTRY_VERIFY(window->progressBar->value() > 0);
        QCOMPARE(window->progressBar->maximum(), 512 * 1024);

        runner.run(QStringLiteral("/plugin_name=nosuchapp"));
        runner.run(QStringLiteral("/plugin_name=localapp"));
        runner.run(QStringLiteral("/plugin_params=no name"));
        QCOMPARE(runner.pendingCommands.size(), 3);
        window->close(); // the user closes it: the download goes on
        QTRY_VERIFY(windows().isEmpty());
        QVERIFY(runner.taskRunning);

        // dirapp finished; nosuchapp fails to prepare and does not hold up the
        // rest: localapp runs (installed: no window), the nameless one fails.
        QTRY_VERIFY(!runner.taskRunning);
        QVERIFY(QFileInfo::exists(krt::getPluginPath(QStringLiteral("dirapp")) + QStringLiteral("/app.ini")));
        QVERIFY(runner.pendingCommands.isEmpty());
        runner.run(QStringLiteral("/plugin_name=dirapp"));
        QVERIFY(runner.pendingCommands.isEmpty() && !runner.taskRunning && windows().isEmpty());
        const QString log = m_env.logText();
        QVERIFY(log.indexOf("prepare localapp status 4") < log.indexOf("prepare no app name in /plugin_params=no name"));
        QVERIFY(log.indexOf("prepare no app name in /plugin_params=no name") < log.lastIndexOf("prepare dirapp status 4"));

        auto *second = new KxUlxCloudSvrAppRunner(app);
        second->initialize();
        QVERIFY(second->pluginMgrReady);
        second->run(QStringLiteral("/plugin_name=otherapp"));
        const QString other = krt::getPluginPath(QStringLiteral("otherapp"));
        QTRY_VERIFY(QFileInfo::exists(other + QStringLiteral(".partial")));
        QCOMPARE(windows().size(), 1);
        delete second;
        QVERIFY(windows().isEmpty());
        QVERIFY(!QFileInfo::exists(other + QStringLiteral(".partial")));
        QTest::qWait(50);
        QVERIFY(!QFileInfo::exists(other));
    }
};

int main(int argc, char **argv)
{
    KTestEnv env;
    const QString package = env.root() + QStringLiteral("/package");
    ktest::writeFile(package + QStringLiteral("/app.ini"), "[runinfo]\nentry=app.ini\n");
    ktest::writeFile(package + QStringLiteral("/data.bin"), QByteArray(512 * 1024 - 24, 'd'));
    const QString catalogue = env.root() + QStringLiteral("/catalogue.json");
    ktest::writeFile(catalogue, QStringLiteral(R"({"plugins":[{"name":"dirapp","desc":"Dir","package":"%1"},
                                                            {"name":"otherapp","desc":"Other","package":"%1"}]})")
                                    .arg(package)
                                    .toUtf8());
    QDir().mkpath(env.root() + QStringLiteral("/plugins/localapp"));
    env.writeInstallConfig({{"Installation/PluginCatalog", catalogue},
                            {"Installation/PluginsDir", env.root() + QStringLiteral("/plugins")},
                            {"Installation/LaunchExePath", "/opt/suite/ulx"}});
    krt::reload();
    KTestApplication app(argc, argv);
    app.createPluginMgr();
    // Slow enough to watch: 4 KiB per turn, 10 ms apart.
    app.getPluginMgr()->setInstallChunkSize(4096);
    app.getPluginMgr()->setInstallChunkInterval(10);
    TestAppRunner test(env);
    return QTest::qExec(&test, argc, argv);
}

#include "tst_apprunner.moc"
