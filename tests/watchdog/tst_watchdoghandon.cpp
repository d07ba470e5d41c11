// Lines the service answered "ok" while a plugin blocked its main thread, then
// ended by the watchdog: the next serving process runs them, once, in order.
#include "tests/common/kworld.h"

#include <QDir>
#include <QTest>

class TestWatchdogHandOn : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void acknowledgedLinesOutliveTheWatchdog()
    {
        KTestEnv env({{QStringLiteral("Diagnostics/WatchdogIntervalSec"), QStringLiteral("1")},
                      {QStringLiteral("Diagnostics/WatchdogResponseTimeoutSec"), QStringLiteral("1")}});
        // The blocking plugin comes as the suite's plugin runner, which the framework loads by itself.
        const QString office = env.root() + QStringLiteral("/office");
        QVERIFY(QDir().mkpath(office + QStringLiteral("/plugins/packages/kpluginrunner")));
        QVERIFY(QFile::copy(QStringLiteral(ULX_BLOCK_PLUGIN),
                            office + QStringLiteral("/plugins/packages/kpluginrunner/libulxblockplugin.so")));
        QVERIFY(ktest::writeFile(office + QStringLiteral("/plugins/catalogue.json"),
                                 R"({"plugins":[{"name":"kpluginrunner","version":"1","package":"packages/kpluginrunner",)"
                                 R"("library":"libulxblockplugin.so"}]})"));
        const QString blockFile = env.root() + QStringLiteral("/block");
        QVERIFY(ktest::writeFile(blockFile, ""));
        QProcessEnvironment environment = env.environment();
        environment.insert(QStringLiteral("ULX_TEST_BLOCK_FILE"), blockFile);

        ktest::KService service(env);
        QVERIFY(service.start({QStringLiteral("/serve")}, environment));
        QVERIFY(ktest::waitForLog(env, QStringLiteral("ulxblockplugin"), QStringLiteral("ready"), 10000));
        QVERIFY(ktest::writeFile(blockFile, "block 120000\n"));
        QVERIFY(ktest::waitForLog(env, QStringLiteral("ulxblockplugin"), QStringLiteral("blocking the main thread for 120000 ms"),
                                  5000));
        const QStringList lines{QStringLiteral("/handon:1"), QStringLiteral("/handon:2"), QStringLiteral("/handon:3")};
        for (const QString &line : lines)
            QVERIFY(service.send({line}, environment)); // answered, not run

        // Detected within about 30 s, ended 30 s later, with exit code 0.
        QVERIFY(service.process()->waitForFinished(KTestEnv::scaled(90000)));
        QCOMPARE(service.process()->exitStatus(), QProcess::NormalExit);
        QCOMPARE(service.process()->exitCode(), 0);
        QVERIFY(ktest::logMessages(env, QStringLiteral("KCommandSpool"))
                    .contains(QStringLiteral("KCommandSpool::store 3 acknowledged command line(s) handed on to the next "
                                             "serving process")));

        QVERIFY(service.start({QStringLiteral("/next")}, environment));
        QVERIFY(ktest::waitForLog(env, QStringLiteral("KxUlxCloudSvrApplication"),
                                  QStringLiteral("KxUlxCloudSvrApplication::onIPCTransmission /next"), 10000));
        QStringList ran = ktest::logMessages(env, QStringLiteral("KxUlxCloudSvrApplication"))
                              .filter(QStringLiteral("KxUlxCloudSvrApplication::onIPCTransmission /"));
        ran.replaceInStrings(QStringLiteral("KxUlxCloudSvrApplication::onIPCTransmission "), QString());
        QCOMPARE(ran, QStringList{QStringLiteral("/serve")} + lines + QStringList{QStringLiteral("/next")});
        QVERIFY(QDir(env.stateHome() + QStringLiteral("/ulxcloudsvr/commands")).entryList(QDir::Files).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestWatchdogHandOn)
#include "tst_watchdoghandon.moc"
