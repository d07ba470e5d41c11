// run_app lines across the nightly restart, with real processes: the download
// under way and the line queued behind it are handed to the replacement, which
// runs both, in order.
#include "platform/registry/kregsettings.h"
#include "tests/common/ktestserver.h"
#include "tests/common/kworld.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <memory>

class TestRestartCommands : public QObject
{
    Q_OBJECT
    std::unique_ptr<KTestEnv> m_env;
    std::unique_ptr<KTestServer> m_server;

    // The pid of the first process that logged `text`, other than `skip`; 0 when none.
    qint64 pidLogging(const QString &text, qint64 skip = 0) const
    {
        for (const QString &line : m_env->logText().split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
            const qint64 pid = line.section(QLatin1Char(' '), 2, 2).toLongLong();
            if (pid != skip && line.contains(text))
                return pid;
        }
        return 0;
    }

    // What the demonstration app wrote: one line per start, with its arguments.
    QString appLog() const
    {
        return QString::fromUtf8(ktest::readFile(m_env->stateHome() + QStringLiteral("/ulxcloudsvr/ulxdemoapp.log")));
    }

private:
    // A world with the runner stand-in and the demonstration app, downloaded
    // slowly (about 12 s: the restart and its 2.5 s drain come well before the
    // end) as slowapp and from a directory as dirapp.
    void prepareWorld(const QString &launcher, const QMap<QString, QString> &install = {})
    {
        const QString root = m_env->root();
        QVERIFY(!launcher.isEmpty());
        // The suite's runner stand-in, handing one plugin line over per transfer.
        const QString runner = root + QStringLiteral("/office/plugins/packages/kpluginrunner");
        QVERIFY(QDir().mkpath(runner));
        QVERIFY(QFile::copy(QStringLiteral(ULX_FAKE_RUNNER_LIBRARY), runner + QStringLiteral("/libulxfakerunner.so")));
        const QString package = KTestEnv::binPath(QStringLiteral("plugins/packages/ulxdemoapp"));
        const QString archive = root + QStringLiteral("/demo.tar.gz");
        QProcess tar;
        tar.start(QStringLiteral("tar"), {QStringLiteral("-czf"), archive, QStringLiteral("-C"), package, QStringLiteral(".")});
        QVERIFY(tar.waitForFinished(10000) && tar.exitCode() == 0);
        const qint64 rate = qMax<qint64>(QFileInfo(archive).size() / 12, 1);
        m_server = std::make_unique<KTestServer>(root, QStringList{QStringLiteral("/slow=slowfile:%1:%2").arg(rate).arg(archive)});
        QVERIFY(m_server->isRunning());
        const QJsonArray plugins{
            QJsonObject{{"name", "kpluginrunner"}, {"version", "1.0.0.1"}, {"package", "packages/kpluginrunner"},
                        {"library", "libulxfakerunner.so"}},
            QJsonObject{{"name", "slowapp"}, {"version", "1.0"}, {"desc", "Slow"}, {"url", m_server->url("/slow")}},
            QJsonObject{{"name", "dirapp"}, {"version", "1.0"}, {"desc", "Dir"}, {"package", package}}};
        const QString catalogue = root + QStringLiteral("/office/plugins/catalogue.json");
        QVERIFY(ktest::writeFile(catalogue, QJsonDocument(QJsonObject{{"plugins", plugins}}).toJson()));
        QMap<QString, QString> config = install;
        config.insert(QStringLiteral("Installation/LaunchExePath"), launcher);
        config.insert(QStringLiteral("Installation/PluginCatalog"), catalogue);
        config.insert(QStringLiteral("Installation/PluginsDir"), root + QStringLiteral("/plugins"));
        m_env->writeInstallConfig(config);
    }

    // The fixed restart time 4 s from now; false when that crosses midnight.
    static bool restartSoon()
    {
        const QTime restartAt = QTime::currentTime().addSecs(4);
        KRegSettings(QStringLiteral("HKCU\\Software\\Corvanta\\Office\\6.0\\ulxcloudsvr\\Application Settings"))
            .setValue(QStringLiteral("RestartTimePoint"), restartAt.toString(QStringLiteral("hh:mm:ss")));
        return restartAt > QTime::currentTime();
    }

private Q_SLOTS:
    void restartHandsOverRunningAndQueuedApps()
    {
        m_env = std::make_unique<KTestEnv>();
        prepareWorld(KTestEnv::binPath(QStringLiteral("ulx")));
        if (QTest::currentTestFailed())
            return;
        if (!restartSoon())
            QSKIP("the restart time would cross midnight");
        ktest::KService service(*m_env);
        QVERIFY(service.start({QStringLiteral("/start_from:test")}));
        QVERIFY(ktest::waitForLog(*m_env, QStringLiteral("KxUlxCloudSvrApplication"),
                                  QStringLiteral("KxUlxCloudSvrApplication::onIPCTransmission /start_from:test"), 10000));
        QVERIFY(service.send({QStringLiteral("/run_app"), QStringLiteral("/plugin_name:slowapp"), QStringLiteral("/plugin_params:first")}));
        QVERIFY(service.send({QStringLiteral("/run_app"), QStringLiteral("/plugin_name:dirapp"), QStringLiteral("/plugin_params:second")}));

        // The restart comes while slowapp downloads: it is cancelled here and handed on.
        const qint64 oldPid = service.pid();
        QVERIFY(ktest::waitForLog(*m_env, QStringLiteral("KxUlxCloudSvrApplication"),
                                  QStringLiteral("KxUlxCloudSvrApplication::onPluginsStateTransferCompleted 2 run_app "
                                                 "line(s) handed over to the replacement"),
                                  20000));
        QCOMPARE(pidLogging(QStringLiteral("KxUlxCloudSvrRunAppTask::cancel slowapp")), oldPid);
        QTRY_COMPARE_WITH_TIMEOUT(service.process()->state(), QProcess::NotRunning, KTestEnv::scaled(15000));
        QCOMPARE(service.process()->exitCode(), 0);
        QVERIFY(appLog().isEmpty());

        // The replacement downloads slowapp again and starts it, then dirapp (the
        // apps themselves may write in either order).
        const qint64 newPid = pidLogging(QStringLiteral("onIPCTransmission /start_from:autorestart"), oldPid);
        QVERIFY(newPid > 0);
        QTRY_COMPARE_WITH_TIMEOUT(appLog().count(QLatin1Char('\n')), 2, KTestEnv::scaled(30000));
        QVERIFY(appLog().contains(QStringLiteral(": [first]\n")) && appLog().contains(QStringLiteral(": [second]\n")));
        const QStringList launches = ktest::logLinesOf(*m_env, newPid).filter(QStringLiteral("KxUlxCloudSvrRunAppTask::launch"));
        QCOMPARE(launches.size(), 2);
        QVERIFY(launches.at(0).contains(QStringLiteral(" first process ")));
    }

    // A replacement that takes 3 s to come: the old process waits with its event
    // loop running (the watchdog, probing every second, never misses an answer)
    // and the plugin line handed over reaches the replacement.
    void handOverWaitsWithTheEventLoopRunning()
    {
        m_env = std::make_unique<KTestEnv>();
        const QString launcher = m_env->root() + QStringLiteral("/slowlauncher");
        QVERIFY(ktest::writeFile(launcher, "#!/bin/sh\nsleep 3\nexec '" + QFile::encodeName(KTestEnv::binPath(QStringLiteral("ulx")))
                                               + "' \"$@\"\n", true));
        prepareWorld(launcher, {{QStringLiteral("Diagnostics/WatchdogIntervalSec"), QStringLiteral("1")},
                                {QStringLiteral("Diagnostics/WatchdogResponseTimeoutSec"), QStringLiteral("1")}});
        if (QTest::currentTestFailed())
            return;
        if (!restartSoon())
            QSKIP("the restart time would cross midnight");
        ktest::KService service(*m_env);
        QVERIFY(service.start({QStringLiteral("/start_from:test")}));
        const qint64 oldPid = service.pid();
        QTRY_COMPARE_WITH_TIMEOUT(service.process()->state(), QProcess::NotRunning, KTestEnv::scaled(30000));
        QCOMPARE(service.process()->exitCode(), 0);
        const qint64 newPid = pidLogging(QStringLiteral("onIPCTransmission /start_from:autorestart"), oldPid);
        QVERIFY(oldPid > 0 && newPid > 0);
        QCOMPARE(pidLogging(QStringLiteral("onIPCTransmission /run_plugin /plugin_name:kfaketransfer"), oldPid), newPid);
        QCOMPARE(ktest::logLinesOf(*m_env, oldPid).filter(QStringLiteral("main thread did not answer")), QStringList());
    }

    // Whatever serves this world now (the replacement is nobody's child) ends.
    void cleanup() { ktest::KService(*m_env).send({QStringLiteral("/force_exit")}); }
};

QTEST_GUILESS_MAIN(TestRestartCommands)
#include "tst_restartcommands.moc"
