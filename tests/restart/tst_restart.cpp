// The nightly restart, the plugin-exit query and the launcher ulx with real
// processes in a private world with the suite's own plugin runner. The fixed restart
// time is set a few seconds ahead; a replacement service is an orphan, found by its
// pid in the log and ended through the world's channel.

#include "platform/registry/kregsettings.h"
#include "tests/common/ktestserver.h"
#include "tests/common/kworld.h"

#include <QDir>
#include <QFileInfo>
#include <QTest>

#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

const QString RunnerSettings = QStringLiteral("HKCU\\Software\\Corvanta\\Office\\6.0\\plugins\\kpluginrunner");
const QString BubbleRan = QStringLiteral("FIXED kbubble kbubble::run params: ");

// Field `n` of /proc/<pid>/stat (3 state, 4 parent, 6 session); empty when gone.
QByteArray statField(qint64 pid, int n)
{
    const QByteArray stat = ktest::readFile(QStringLiteral("/proc/%1/stat").arg(pid));
    return stat.mid(stat.lastIndexOf(')') + 2).split(' ').value(n - 3);
}

const QString Dispatched =
    QStringLiteral("FIXED KxUlxCloudSvrApplication KxUlxCloudSvrApplication::onIPCTransmission ");

} // namespace

class TestRestart : public QObject
{
    Q_OBJECT
    std::unique_ptr<KTestEnv> m_env;

    QStringList linesOf(qint64 pid, const QString &text) const { return ktest::logLinesOf(*m_env, pid).filter(text); }

    bool waitForLine(qint64 pid, const QString &text, int ms = 15000) const
    {
        return QTest::qWaitFor([&] { return !linesOf(pid, text).isEmpty(); }, KTestEnv::scaled(ms));
    }

    // The first process that logged `line`; 0 when none did.
    qint64 pidLogging(const QString &line) const
    {
        for (const QString &l : m_env->logText().split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
            if (l.section(QLatin1Char(' '), 3) == line)
                return l.section(QLatin1Char(' '), 2, 2).toLongLong();
        }
        return 0;
    }

    // The fixed restart time `seconds` from now, a late runner asked again a second later
    // (not an hour), the exit query every second.
    static void restartIn(int seconds)
    {
        const QTime restartAt = QTime::currentTime().addSecs(seconds);
        KRegSettings app(QStringLiteral("HKCU\\Software\\Corvanta\\Office\\6.0\\ulxcloudsvr\\Application Settings"));
        app.setValue(QStringLiteral("RestartTimePoint"), restartAt.toString(QStringLiteral("hh:mm:ss")));
        app.setValue(QStringLiteral("RestartIntervalSec"), 1);
        app.setValue(QStringLiteral("QueryPluginExitProcessIntervalSec"), 1);
    }

    // The suite's runner and kbubble, the demonstration app as ulxdemoapp and, downloaded
    // from `slowUrl` when given, as slowapp; the launcher.
    void install(const QString &launcher, const QString &slowUrl = QString())
    {
        const QString packages = KTestEnv::binPath(QStringLiteral("plugins/packages/"));
        const QString catalogue = m_env->root() + QStringLiteral("/catalogue.json");
        QVERIFY(ktest::writeFile(catalogue, QStringLiteral(R"({"plugins":[
            {"name":"kpluginrunner","version":"1","package":"%1kpluginrunner","library":"libkpluginrunner.so"},
            {"name":"kbubble","version":"1","package":"%1kbubble","library":"libkbubble.so"},
            {"name":"ulxdemoapp","version":"1","desc":"Demo","package":"%1ulxdemoapp"},
            {"name":"slowapp","version":"1","desc":"Slow","url":"%2"}]})").arg(packages, slowUrl).toUtf8()));
        m_env->writeInstallConfig(
            {{QStringLiteral("Installation/LaunchExePath"), launcher},
             {QStringLiteral("Installation/PluginCatalog"), catalogue},
             {QStringLiteral("Installation/PluginsDir"), m_env->root() + QStringLiteral("/plugins")},
             {QStringLiteral("Diagnostics/WatchdogIntervalSec"), QStringLiteral("1")},
             {QStringLiteral("Diagnostics/WatchdogResponseTimeoutSec"), QStringLiteral("1")}});
    }

private Q_SLOTS:
    void init()
    {
        m_env = std::make_unique<KTestEnv>();
        install(KTestEnv::binPath(QStringLiteral("ulx")));
        if (QTime::currentTime() > QTime(23, 59))
            QSKIP("the restart time would cross midnight");
    }

    // Whatever serves this world now (a replacement is nobody's child) ends.
    void cleanup() { ktest::KService(*m_env).send({QStringLiteral("/force_exit")}); }

    // One restart hands over all the old service holds: the plugin the runner ran, the app download
    // under way and the app queued behind it, and every line 20 senders send meanwhile, none lost or
    // doubled. The launcher takes 3 s: the old service waits with its event loop running (its watchdog
    // misses no answer). ulx detaches the replacement: own session, no inherited descriptors.
    void restartHandsOverEverything()
    {
        const int senders = 20, linesPerSender = 50; // as many as one ulxrestartsender sends
        const QString launcher = m_env->root() + QStringLiteral("/slowlauncher");
        const QByteArray ulx = QFile::encodeName(KTestEnv::binPath(QStringLiteral("ulx")));
        QVERIFY(ktest::writeFile(launcher, "#!/bin/sh\nsleep 3\nexec '" + ulx + "' \"$@\"\n", true));
        // The demonstration app, downloaded slowly (about 12 s: the restart comes well before the end).
        const QString archive = m_env->root() + QStringLiteral("/demo.tar.gz");
        const QString demo = KTestEnv::binPath(QStringLiteral("plugins/packages/ulxdemoapp"));
        QCOMPARE(QProcess::execute(QStringLiteral("tar"),
                                   {QStringLiteral("-czf"), archive, QStringLiteral("-C"), demo, QStringLiteral(".")}),
                 0);
        const qint64 rate = qMax<qint64>(QFileInfo(archive).size() / 12, 1);
        KTestServer server(m_env->root(), {QStringLiteral("/slow=slowfile:%1:%2").arg(rate).arg(archive)});
        install(launcher, server.url(QStringLiteral("/slow")));
        restartIn(5);

        int leak[2];
        QVERIFY(::pipe(leak) == 0); // inheritable on purpose
        struct stat leaked;
        QVERIFY(::fstat(leak[0], &leaked) == 0);
        ktest::KService first(*m_env);
        QVERIFY(first.start({QStringLiteral("/start_from:test")}));
        const qint64 oldPid = first.pid();
        QVERIFY(waitForLine(oldPid, Dispatched + QStringLiteral("/start_from:test")));
        QVERIFY(first.send({QStringLiteral("/run_plugin"), QStringLiteral("/plugin_name:kbubble"),
                            QStringLiteral("/plugin_local"), QStringLiteral("/plugin_type:dll")}));
        QVERIFY(waitForLine(oldPid, BubbleRan, 10000));
        QVERIFY(first.send({QStringLiteral("/run_app"), QStringLiteral("/plugin_name:slowapp"),
                            QStringLiteral("/plugin_params:first")}));
        QVERIFY(first.send({QStringLiteral("/run_app"), QStringLiteral("/plugin_name:ulxdemoapp"),
                            QStringLiteral("/plugin_params:second")}));
        std::vector<std::unique_ptr<QProcess>> sending; // in this world, as the test process is
        for (int s = 0; s < senders; ++s) {
            sending.push_back(std::make_unique<QProcess>());
            sending.back()->start(KTestEnv::binPath(QStringLiteral("ulxrestartsender")), {QString::number(s)});
        }

        // The restart comes while slowapp downloads: it is cancelled here and handed on.
        QVERIFY(waitForLine(oldPid, QStringLiteral("KxUlxCloudSvrApplication::onPluginsStateTransferCompleted "
                                                   "2 run_app line(s) handed over to the replacement"),
                            20000));
        qint64 newPid = 0;
        QTRY_VERIFY2_WITH_TIMEOUT((newPid = pidLogging(Dispatched + QStringLiteral("/start_from:autorestart"))) != 0,
                                  "no replacement serves", KTestEnv::scaled(20000));
        QVERIFY(waitForLine(newPid, BubbleRan));
        QTRY_COMPARE_WITH_TIMEOUT(first.process()->state(), QProcess::NotRunning, KTestEnv::scaled(15000));
        QCOMPARE(first.process()->exitStatus(), QProcess::NormalExit);
        QCOMPARE(first.process()->exitCode(), 0);
        ::close(leak[0]);
        ::close(leak[1]);
        QVERIFY(statField(newPid, 4).toLongLong() != oldPid); // detached, not the old one's child
        QVERIFY(statField(newPid, 6).toLongLong() != ::getsid(0));
        const QString fdDir = QStringLiteral("/proc/%1/fd/").arg(newPid);
        for (int fd = 0; fd < 3; ++fd)
            QCOMPARE(QFile::symLinkTarget(fdDir + QString::number(fd)), QStringLiteral("/dev/null"));
        for (const QString &fd : QDir(fdDir).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System)) {
            struct stat st;
            if (::stat(QString(fdDir + fd).toLocal8Bit().constData(), &st) == 0)
                QVERIFY2(st.st_ino != leaked.st_ino || st.st_dev != leaked.st_dev, qPrintable(fd));
        }
        QCOMPARE(linesOf(oldPid, QStringLiteral("main thread did not answer")), QStringList());

        for (const auto &p : sending) {
            QTRY_COMPARE_WITH_TIMEOUT(p->state(), QProcess::NotRunning, KTestEnv::scaled(60000));
            QCOMPARE(p->exitCode(), 0); // every line delivered
        }
        // Every line ran in exactly one process, and the lines reached both.
        QStringList seen = ktest::logMessages(*m_env, QStringLiteral("KxUlxCloudSvrApplication"))
                               .filter(QStringLiteral("::onIPCTransmission /seq:"));
        QCOMPARE(seen.size(), senders * linesPerSender);
        QCOMPARE(seen.removeDuplicates(), 0);
        QVERIFY(!linesOf(oldPid, QStringLiteral("/seq:")).isEmpty());
        QVERIFY(!linesOf(newPid, QStringLiteral("/seq:")).isEmpty());

        // The replacement downloads slowapp again and starts it, then the second (the apps
        // themselves may write in either order).
        const QString appLog = m_env->stateHome() + QStringLiteral("/ulxcloudsvr/ulxdemoapp.log");
        QTRY_COMPARE_WITH_TIMEOUT(ktest::readLines(appLog).size(), 2, KTestEnv::scaled(30000));
        QVERIFY(ktest::readLines(appLog).filter(QStringLiteral(": [first]")).size() == 1);
        QVERIFY(ktest::readLines(appLog).filter(QStringLiteral(": [second]")).size() == 1);
        const QStringList launches = linesOf(newPid, QStringLiteral("KxUlxCloudSvrRunAppTask::launch"));
        QCOMPARE(launches.size(), 2);
        QVERIFY(launches.at(0).contains(QStringLiteral(" first process ")));
        QCOMPARE(QProcess::execute(KTestEnv::binPath(QStringLiteral("ulx")), {QStringLiteral("/start_from:x")}), 2);
    }

    // A runner not ready is asked again after "RestartIntervalSec"; a launcher that is
    // missing, a directory, not a program or starts nobody gives a warning. Either way the
    // old service serves (again), until the runner allows the exit: then it ends with 0.
    void restartThatFailsKeepsServing_data()
    {
        QTest::addColumn<QString>("launcher");
        QTest::addColumn<int>("ready");
        QTest::addColumn<QString>("warning");
        QTest::addColumn<int>("times");
        const QString notFound = QStringLiteral("WARNING KxUlxCloudSvrApplication KxUlxCloudSvrApplicatio::"
                                                "onPluginsStateReadyToTransfer ulx.exe not found");
        QTest::newRow("not ready") << KTestEnv::binPath(QStringLiteral("ulx")) << 0
                                   << "KxUlxCloudSvrApplication::onPluginsStateReadyToTransfer delayed" << 2;
        QTest::newRow("a directory") << "/tmp" << 1 << notFound << 1;
        QTest::newRow("not a program") << "garbage" << 1 << "launcher failed to start: " << 1;
        QTest::newRow("starts nobody") << "/bin/false" << 1
                                       << "the replacement does not come; serving the channel again" << 1;
    }

    void restartThatFailsKeepsServing()
    {
        QFETCH(QString, launcher);
        QFETCH(int, ready);
        QFETCH(QString, warning);
        QFETCH(int, times);
        if (launcher == QLatin1String("garbage")) {
            launcher = m_env->root() + QStringLiteral("/garbage");
            QVERIFY(ktest::writeFile(launcher, QByteArray(64, '\x7f'), true));
        }
        install(launcher);
        KRegSettings(RunnerSettings).setValue(QStringLiteral("StateTransferReady"), ready);
        restartIn(2);
        ktest::KService server(*m_env);
        QVERIFY(server.start({QStringLiteral("/start_from:test")}));
        const qint64 pid = server.pid();
        QVERIFY(waitForLine(pid, Dispatched + QStringLiteral("/start_from:test")));
        QVERIFY(QTest::qWaitFor([&] { return linesOf(pid, warning).size() >= times; },
                                KTestEnv::scaled(15000)));
        QVERIFY(server.send({QStringLiteral("/after_failure")}));
        QVERIFY(waitForLine(pid, Dispatched + QStringLiteral("/after_failure"), 5000));
        QVERIFY(ready || linesOf(pid, QStringLiteral("channel released")).isEmpty());

        KRegSettings(RunnerSettings).setValue(QStringLiteral("AllowExitProcess"), 1);
        QTRY_COMPARE_WITH_TIMEOUT(server.process()->state(), QProcess::NotRunning, KTestEnv::scaled(15000));
        QCOMPARE(server.process()->exitStatus(), QProcess::NormalExit);
        QCOMPARE(server.process()->exitCode(), 0);
    }
};

QTEST_GUILESS_MAIN(TestRestart)
#include "tst_restart.moc"
