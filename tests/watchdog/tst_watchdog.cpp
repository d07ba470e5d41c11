// The watchdog in real ulxcloudsvr processes of one world: a suite plugin, loaded
// through the plugin catalogue as the plugin runner, blocks the main thread on command.

#include "platform/registry/kregsettings.h"
#include "tests/common/ktestserver.h"
#include "tests/common/kworld.h"

#include <QDir>
#include <QElapsedTimer>
#include <QTest>
#include <QThread>

#include <csignal>
#include <map>

namespace {
const QString ExitDm = QStringLiteral("/ulx/client/e_exit");
const QString ExitAction = QStringLiteral("e_exit_host");
const QString HangDm = QStringLiteral("/ulx/client/ulxcloudsvrimp");
const QString HangAction = QStringLiteral("ulxcloudsvrimp_hang");
const QString Fatal = QStringLiteral(
    "FATAL ThreadResponseSampler longTimeBlockDetected : long time blocking detected, process will be terminated");
} // namespace

class TestWatchdog : public QObject
{
    Q_OBJECT
    KTestEnv m_env;
    KTestServer m_collector{m_env.root() + QStringLiteral("/collector")};
    ktest::KService m_service{m_env};
    QProcessEnvironment m_environment;

    QString blockFile() const { return m_env.root() + QStringLiteral("/block"); }
    bool command(const QByteArray &text) const { return ktest::writeFile(blockFile(), text + '\n'); }
    // The log lines of the serving process (a QProcess forgets the pid of one that ended).
    QStringList lines() const { return ktest::logLinesOf(m_env, m_service.pid()); }

    bool waitForLine(const QString &line, int ms) const
    {
        return QTest::qWaitFor([&] { return lines().contains(line); }, KTestEnv::scaled(ms));
    }

    // Starts a service and waits until the plugin is loaded in it.
    bool startService(const QString &line)
    {
        return m_service.start({line}, m_environment)
               && waitForLine(QStringLiteral("INFO ulxblockplugin ready"), 10000);
    }

    QStringList dumpsOf(qint64 pid) const
    {
        const QDir dumps(m_env.stateHome() + QStringLiteral("/ulxcloudsvr/dumps"));
        return dumps.entryList({QStringLiteral("*-%1").arg(pid)}, QDir::Dirs);
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_env.writeInstallConfig(
            {{QStringLiteral("Servers/DefaultInfoCollectSvr"),
              m_collector.url(QStringLiteral("/ulxv6internet/infos.ads"))},
             {QStringLiteral("Servers/CrashReportSvr"), m_collector.url(QStringLiteral("/info.ads"))},
             {QStringLiteral("Diagnostics/WatchdogIntervalSec"), QStringLiteral("1")},
             {QStringLiteral("Diagnostics/WatchdogResponseTimeoutSec"), QStringLiteral("1")}});
        const QString office = m_env.root() + QStringLiteral("/office");
        QVERIFY(QDir().mkpath(office + QStringLiteral("/plugins/packages/kpluginrunner")));
        QVERIFY(QFile::copy(QStringLiteral(ULX_BLOCK_PLUGIN),
                            office + QStringLiteral("/plugins/packages/kpluginrunner/libulxblockplugin.so")));
        QVERIFY(ktest::writeFile(office + QStringLiteral("/plugins/catalogue.json"),
                                 R"({"plugins":[{"name":"kpluginrunner","version":"1",)"
                                 R"("package":"packages/kpluginrunner","library":"libulxblockplugin.so"}]})"));
        QVERIFY(command(""));
        for (const QString &name : {QStringLiteral("kcrashdumper"), QStringLiteral("libkinfosdk.so")})
            QVERIFY(QFile::link(KTestEnv::binPath(name), office + QLatin1Char('/') + name));
        m_environment = m_env.environment();
        m_environment.insert(QStringLiteral("ULX_TEST_BLOCK_FILE"), blockFile());
    }

    // One world through a crash, a short block the process is stopped in, a long block and a kill:
    // each block is judged as it should be, each end reported (or not) by the next start.
    void blocksAndEnds()
    {
        // A real SIGSEGV is dumped, and the next start reports a captured crash.
        QVERIFY(startService(QStringLiteral("/serve")));
        const qint64 crashed = m_service.pid();
        QVERIFY(command("crash"));
        QVERIFY(m_service.process()->waitForFinished(KTestEnv::scaled(30000)));
        QCOMPARE(m_service.process()->exitStatus(), QProcess::CrashExit);
        QCOMPARE(dumpsOf(crashed).size(), 1);
        QVERIFY(startService(QStringLiteral("/serve")));
        QTRY_COMPARE_WITH_TIMEOUT(m_collector.eventValues(ExitDm, ExitAction).size(), 1, KTestEnv::scaled(10000));
        QCOMPARE(m_collector.eventValues(ExitDm, ExitAction, 3).first().count(QLatin1Char('|')), 2); // GUID|HDID|UUID

        // A 12 s block, the process stopped (as by a suspend) for 7 s of it while the
        // detector counts: the series starts again instead of counting the time it did not run.
        QVERIFY(command("block 12000"));
        QTest::qWait(3000);
        QCOMPARE(::kill(pid_t(m_service.pid()), SIGSTOP), 0);
        QThread::msleep(7000); // longer than a pause and its slack
        QCOMPARE(::kill(pid_t(m_service.pid()), SIGCONT), 0);
        QVERIFY(waitForLine(QStringLiteral("INFO ThreadResponseSampler ThreadResponseSampler::detectLongTimeBlock "
                                           "a wait overslept, the series starts again"),
                            5000));
        QVERIFY(waitForLine(QStringLiteral("INFO ulxblockplugin main thread free again"), 10000));
        QVERIFY(lines().contains(QStringLiteral("INFO ThreadResponseSampler ThreadResponseSampler::sample "
                                                "main thread did not answer within 1 s")));
        QTest::qWait(KTestEnv::scaled(3000)); // a detector series still running ends with an answer
        QVERIFY(lines().filter(QStringLiteral("FATAL")).isEmpty());
        QVERIFY(m_service.stop()); // a clean end
        KRegSettings(QStringLiteral("HKCU\\Software\\Corvanta\\Office\\6.0\\ulxcloudsvr\\Application Settings"))
            .setValue(QStringLiteral("AlwaysDumpWhenBlock"), QStringLiteral("1"));
        QVERIFY(startService(QStringLiteral("/serve")));

        // A long block: one fatal line, one long hang event, a dump, and the end 30 s after detection with 0.
        QVERIFY(command("block 120000"));
        QVERIFY(waitForLine(QStringLiteral("INFO ulxblockplugin blocking the main thread for 120000 ms"), 5000));
        const QStringList handOn{QStringLiteral("/handon:1"), QStringLiteral("/handon:2"), QStringLiteral("/handon:3")};
        for (const QString &line : handOn)
            QVERIFY(m_service.send({line}, m_environment)); // answered, not run
        QVERIFY(waitForLine(Fatal, 40000));
        QElapsedTimer sinceDetection;
        sinceDetection.start();
        // The long hang ends in "1" (short ones, 1 in 100, in "0"): threshold (1 s), user information, distribution.
        QTRY_COMPARE_WITH_TIMEOUT(m_collector.eventValues(HangDm, HangAction, 7).count(QStringLiteral("1")), 1,
                                  KTestEnv::scaled(10000));
        const qsizetype at = m_collector.eventValues(HangDm, HangAction, 7).indexOf(QStringLiteral("1"));
        for (const auto &[field, value] : std::map<int, QString>{{2, "5"}, {4, "6.0.0.0"}, {5, "0.0"}, {6, "1"}})
            QCOMPARE(m_collector.eventValues(HangDm, HangAction, field).at(at), value);

        // "AlwaysDumpWhenBlock" "1": a dump whose stacks show the main thread in the plugin's sleep.
        const qint64 pid = m_service.pid();
        QTRY_VERIFY_WITH_TIMEOUT(!dumpsOf(pid).isEmpty(), KTestEnv::scaled(10000));
        const QString dump = m_env.stateHome() + QStringLiteral("/ulxcloudsvr/dumps/") + dumpsOf(pid).last();
        const QByteArray stacks = ktest::readFile(dump + QStringLiteral("/stacks.txt"));
        const QByteArray mainThread = stacks.mid(stacks.indexOf("TID " + QByteArray::number(pid) + ':'));
        QVERIFY2(mainThread.left(mainThread.indexOf("\nTID ")).contains("QThread::msleep"), stacks.constData());

        QVERIFY(m_service.process()->waitForFinished(KTestEnv::scaled(40000)));
        QVERIFY2(sinceDetection.elapsed() > 28000, QByteArray::number(sinceDetection.elapsed()).constData());
        QCOMPARE(m_service.process()->exitStatus(), QProcess::NormalExit);
        QCOMPARE(m_service.process()->exitCode(), 0);
        const QStringList ended = ktest::logLinesOf(m_env, pid);
        QCOMPARE(ended.count(Fatal), 1);
        QCOMPARE(m_collector.eventValues(HangDm, HangAction, 7).count(QStringLiteral("1")), 1);
        QVERIFY(ended.contains(QStringLiteral("INFO KCommandSpool KCommandSpool::store 3 acknowledged command line(s) "
                                              "handed on to the next serving process")));

        // The lines answered while blocked run in the next process, once, in order.
        QVERIFY(m_service.start({QStringLiteral("/next")}, m_environment));
        QVERIFY(waitForLine(QStringLiteral("FIXED KxUlxCloudSvrApplication "
                                           "KxUlxCloudSvrApplication::onIPCTransmission /next"),
                            10000));
        QStringList ran = ktest::logMessages(m_env, QStringLiteral("KxUlxCloudSvrApplication"))
                              .filter(QStringLiteral("KxUlxCloudSvrApplication::onIPCTransmission /"));
        ran.replaceInStrings(QStringLiteral("KxUlxCloudSvrApplication::onIPCTransmission "), QString());
        QCOMPARE(ran, QStringList(3, QStringLiteral("/serve")) + handOn + QStringList{QStringLiteral("/next")});
        QVERIFY(QDir(m_env.stateHome() + QStringLiteral("/ulxcloudsvr/commands")).entryList(QDir::Files).isEmpty());

        // Neither the clean end nor the watchdog's was an exceptional exit; a SIGKILL is. Each report
        // clears its count: the second counts the kill alone.
        QTest::qWait(KTestEnv::scaled(1000));
        QCOMPARE(m_collector.eventValues(ExitDm, ExitAction).size(), 1);
        m_service.process()->kill();
        QVERIFY(m_service.process()->waitForFinished(5000));
        QVERIFY(startService(QStringLiteral("/serve")));
        QTRY_COMPARE_WITH_TIMEOUT(m_collector.eventValues(ExitDm, ExitAction).size(), 2, KTestEnv::scaled(10000));
        for (const auto &[field, values] : std::map<int, QStringList>{{6, {"0", "1"}}, {7, {"1", "0"}}})
            QCOMPARE(m_collector.eventValues(ExitDm, ExitAction, field), values);
    }
};

QTEST_GUILESS_MAIN(TestWatchdog)
#include "tst_watchdog.moc"
