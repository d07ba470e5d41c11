// The watchdog in real ulxcloudsvr processes: a suite plugin, loaded through the
// plugin catalogue, blocks the main thread on command.

#include "platform/registry/kregsettings.h"
#include "tests/common/ktestserver.h"
#include "tests/common/testenv.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QProcess>
#include <QTest>

#include <csignal>
#include <memory>

class TestWatchdog : public QObject
{
    Q_OBJECT
    std::unique_ptr<KTestEnv> m_env;
    std::unique_ptr<KTestServer> m_collector;
    std::unique_ptr<QProcess> m_server;

    QString blockFile() const { return m_env->root() + QStringLiteral("/block"); }

    int count(const QString &text) const { return m_env->logText().count(text); }

    bool waitForLog(const QString &text, int ms) const
    {
        return QTest::qWaitFor([&] { return m_env->logText().contains(text); }, ms);
    }

    void command(const QByteArray &text)
    {
        QFile f(blockFile());
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(text + '\n');
    }
    void block(int ms) { command("block " + QByteArray::number(ms)); }

    // Starts a service and waits until the plugin is loaded in it.
    bool startService()
    {
        if (m_server->state() != QProcess::NotRunning)
            return false;
        m_server->start(KTestEnv::binPath(QStringLiteral("ulxcloudsvr")), {QStringLiteral("/serve")});
        return m_server->waitForStarted(5000)
               && waitForLog(QString::number(m_server->processId()) + QStringLiteral(" INFO ulxblockplugin ready"),
                             KTestEnv::scaled(10000));
    }

    // The value of pair `at` of an event.
    static QString field(const QJsonArray &pairs, int at) { return pairs.at(at).toArray().at(1).toString(); }

    // The events whose pair `at` has `value`.
    QList<QJsonArray> events(int at, const QString &value) const
    {
        QList<QJsonArray> out;
        for (const QJsonObject &r : m_collector->records()) {
            const QJsonArray pairs = r.value(QStringLiteral("pairs")).toArray();
            if (pairs.size() > at && field(pairs, at) == value)
                out.append(pairs);
        }
        return out;
    }
    QList<QJsonArray> exceptionalExitEvents() const { return events(1, QStringLiteral("e_exit_host")); }

    QStringList threadNames() const
    {
        QStringList names;
        const QString task = QStringLiteral("/proc/%1/task").arg(m_server->processId());
        for (const QString &tid : QDir(task).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            QFile f(task + QLatin1Char('/') + tid + QStringLiteral("/comm"));
            if (f.open(QIODevice::ReadOnly))
                names << QString::fromUtf8(f.readAll().trimmed());
        }
        return names;
    }

private Q_SLOTS:
    void init()
    {
        m_env = std::make_unique<KTestEnv>();
        m_collector = std::make_unique<KTestServer>(m_env->root() + QStringLiteral("/collector"));
        QVERIFY(m_collector->isRunning());
        m_env->writeInstallConfig({{QStringLiteral("Servers/DefaultInfoCollectSvr"),
                                    m_collector->url(QStringLiteral("/ulxv6internet/infos.ads"))},
                                   {QStringLiteral("Servers/CrashReportSvr"), m_collector->url(QStringLiteral("/info.ads"))},
                                   {QStringLiteral("Diagnostics/WatchdogIntervalSec"), QStringLiteral("1")},
                                   {QStringLiteral("Diagnostics/WatchdogResponseTimeoutSec"), QStringLiteral("1")}});
        // The plugin comes as the suite's plugin runner, which the framework loads by itself.
        const QString office = m_env->root() + QStringLiteral("/office");
        const QString package = office + QStringLiteral("/plugins/packages/kpluginrunner");
        QVERIFY(QDir().mkpath(package));
        QVERIFY(QFile::copy(QStringLiteral(ULX_BLOCK_PLUGIN), package + QStringLiteral("/libulxblockplugin.so")));
        QFile catalogue(office + QStringLiteral("/plugins/catalogue.json"));
        QVERIFY(catalogue.open(QIODevice::WriteOnly));
        catalogue.write(R"({"plugins":[{"name":"kpluginrunner","version":"1.0.0.1","desc":"blocks on command",)"
                        R"("package":"packages/kpluginrunner","library":"libulxblockplugin.so"}]})");
        catalogue.close();
        QFile(blockFile()).open(QIODevice::WriteOnly);
        QFile::link(KTestEnv::binPath(QStringLiteral("kcrashdumper")), office + QStringLiteral("/kcrashdumper"));
        QFile::link(KTestEnv::binPath(QStringLiteral("libkinfosdk.so")), office + QStringLiteral("/libkinfosdk.so"));

        m_server = std::make_unique<QProcess>();
        QProcessEnvironment env = m_env->environment();
        env.insert(QStringLiteral("ULX_TEST_BLOCK_FILE"), blockFile());
        for (const char *name : {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "all_proxy"})
            env.remove(QLatin1String(name));
        m_server->setProcessEnvironment(env);
        m_server->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    }

    void cleanup()
    {
        if (m_server && m_server->state() != QProcess::NotRunning) {
            m_server->kill();
            m_server->waitForFinished(5000);
        }
        m_server.reset();
        m_collector.reset();
    }

    // 5 to 13 s without an answer: a short block, never a long one.
    void shortBlock()
    {
        QVERIFY(startService());
        // The workers name themselves once they first run, which may come after serving.
        QStringList names;
        QTRY_VERIFY2_WITH_TIMEOUT((names = threadNames()).contains(QStringLiteral("ulx-sampler"))
                                      && names.contains(QStringLiteral("ulx-detector")),
                                  qPrintable(names.join(QLatin1Char(','))), KTestEnv::scaled(5000));

        block(6000);
        QVERIFY(waitForLog(QStringLiteral("main thread free again"), KTestEnv::scaled(15000)));
        QVERIFY(count(QStringLiteral("INFO ThreadResponseSampler ThreadResponseSampler::sample main thread did not "
                                     "answer within 1 s")) >= 1);
        QTest::qWait(KTestEnv::scaled(3000)); // a detector series still running ends with an answer
        QCOMPARE(count(QStringLiteral("FATAL")), 0);
        QCOMPARE(m_server->state(), QProcess::Running);
    }

    // A long block: one fatal line, one long hang event, a dump when asked for, and
    // the process ends 30 s after detection with exit code 0.
    void longBlockEndsTheProcess()
    {
        KRegSettings(QStringLiteral("HKCU\\Software\\Corvanta\\Office\\6.0\\ulxcloudsvr"))
            .setValue(QStringLiteral("Application Settings/AlwaysDumpWhenBlock"), QStringLiteral("1"));
        QVERIFY(startService());
        block(120000);
        const QString fatal = QStringLiteral(
            "FATAL ThreadResponseSampler longTimeBlockDetected : long time blocking detected, process will be terminated");
        QVERIFY(waitForLog(fatal, KTestEnv::scaled(40000)));
        QElapsedTimer sinceDetection;
        sinceDetection.start();

        // Short blocks are reported too, 1 in 100: the long one is the one ending in "1".
        const auto longHangs = [this] { return events(7, QStringLiteral("1")); };
        QTRY_COMPARE_WITH_TIMEOUT(longHangs().size(), 1, KTestEnv::scaled(10000));
        const QJsonArray pairs = longHangs().first();
        QCOMPARE(pairs.size(), 8);
        QCOMPARE(field(pairs, 0), QStringLiteral("/ulx/client/ulxcloudsvrimp"));
        QCOMPARE(field(pairs, 1), QStringLiteral("ulxcloudsvrimp_hang"));
        QCOMPARE(field(pairs, 2), QStringLiteral("5"));
        QCOMPARE(field(pairs, 4), QStringLiteral("6.0.0.0")); // user information
        QCOMPARE(field(pairs, 5), QStringLiteral("0.0"));     // distribution
        QCOMPARE(field(pairs, 6), QStringLiteral("1")); // threshold (shortened to 1 s); pair 7 "1": long

        // "AlwaysDumpWhenBlock" "1": a dump whose stacks show the main thread in the plugin's sleep.
        const QString pid = QString::number(m_server->processId());
        const QDir dumps(m_env->stateHome() + QStringLiteral("/ulxcloudsvr/dumps"));
        QTRY_VERIFY_WITH_TIMEOUT(!dumps.entryList({QStringLiteral("*-") + pid}, QDir::Dirs).isEmpty(), KTestEnv::scaled(10000));
        QFile stacks(dumps.filePath(dumps.entryList({QStringLiteral("*-") + pid}, QDir::Dirs).last()) + QStringLiteral("/stacks.txt"));
        QVERIFY(stacks.open(QIODevice::ReadOnly));
        const QByteArray text = stacks.readAll();
        const QByteArray mainThread = text.mid(text.indexOf("TID " + pid.toUtf8() + ':'));
        QVERIFY2(mainThread.left(mainThread.indexOf("\nTID ")).contains("QThread::msleep"), text.constData());

        QVERIFY(m_server->waitForFinished(KTestEnv::scaled(40000)));
        QVERIFY2(sinceDetection.elapsed() > 28000, QByteArray::number(sinceDetection.elapsed()).constData());
        QCOMPARE(m_server->exitStatus(), QProcess::NormalExit);
        QCOMPARE(m_server->exitCode(), 0);
        QCOMPARE(count(fatal), 1);
        QCOMPARE(longHangs().size(), 1);
    }

    // A process stopped (as by a suspend) while the detector counts: the series starts
    // again instead of counting the time it did not run.
    void stoppedWhileCountingStartsAgain()
    {
        QVERIFY(startService());
        block(60000);
        QTest::qWait(KTestEnv::scaled(3000));
        const pid_t pid = pid_t(m_server->processId());
        QCOMPARE(::kill(pid, SIGSTOP), 0);
        QTest::qWait(8000); // longer than a pause and its slack
        QCOMPARE(::kill(pid, SIGCONT), 0);
        QVERIFY(waitForLog(QStringLiteral("ThreadResponseSampler::detectLongTimeBlock a wait overslept, the series starts again"),
                           KTestEnv::scaled(5000)));
    }

    // A real SIGSEGV is dumped and reported by the next start as a captured crash; a
    // SIGKILL as an exceptional exit; a clean end as nothing. Each report clears its count.
    void previousRunIsReported()
    {
        const QString settings = QStringLiteral("HKCU\\Software\\Corvanta\\Office\\6.0\\ulxcloudsvr");
        const auto eventCounts = [this](int i) {
            const QJsonArray e = exceptionalExitEvents().value(i);
            return QStringList{field(e, 0), field(e, 2), field(e, 6), field(e, 7)};
        };
        QVERIFY(startService());
        const QString crashedPid = QString::number(m_server->processId());
        command("crash");
        QVERIFY(m_server->waitForFinished(KTestEnv::scaled(30000)));
        QCOMPARE(m_server->exitStatus(), QProcess::CrashExit);
        const QDir dumps(m_env->stateHome() + QStringLiteral("/ulxcloudsvr/dumps"));
        QCOMPARE(dumps.entryList({QStringLiteral("*-") + crashedPid}, QDir::Dirs).size(), 1);

        QVERIFY(startService());
        QTRY_COMPARE_WITH_TIMEOUT(exceptionalExitEvents().size(), 1, KTestEnv::scaled(10000));
        QCOMPARE(eventCounts(0), (QStringList{QStringLiteral("/ulx/client/e_exit"), QStringLiteral("5"),
                                              QStringLiteral("0"), QStringLiteral("1")}));
        const QJsonArray first = exceptionalExitEvents().first();
        QCOMPARE(field(first, 3).count(QLatin1Char('|')), 2); // GUID|HDID|UUID
        QCOMPARE(field(first, 4), QStringLiteral("6.0.0.0"));
        KRegSettings app(settings);
        QCOMPARE(app.value(QStringLiteral("Application Settings/ICCapturedCrash")).toInt(), 0);
        QCOMPARE(app.value(QStringLiteral("Application Settings/ICExceptExit")).toInt(), 0);

        m_server->kill(); // SIGKILL
        QVERIFY(m_server->waitForFinished(5000));
        QVERIFY(startService());
        QTRY_COMPARE_WITH_TIMEOUT(exceptionalExitEvents().size(), 2, KTestEnv::scaled(10000));
        QCOMPARE(eventCounts(1), (QStringList{QStringLiteral("/ulx/client/e_exit"), QStringLiteral("5"),
                                              QStringLiteral("1"), QStringLiteral("0")}));

        m_server->terminate(); // a clean end
        QVERIFY(m_server->waitForFinished(KTestEnv::scaled(10000)));
        QVERIFY(startService());
        QTest::qWait(KTestEnv::scaled(1000));
        QCOMPARE(exceptionalExitEvents().size(), 2);
    }
};

QTEST_GUILESS_MAIN(TestWatchdog)
#include "tst_watchdog.moc"
