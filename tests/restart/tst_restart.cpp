// The nightly restart, the plugin-exit query and the launcher ulx with real
// processes in a private world. The fixed restart time is set a few seconds
// ahead; replacement services are orphans, found by their pid in the log and
// killed by the test.

#include "platform/detachedstart.h"
#include "platform/registry/kregsettings.h"
#include "tests/common/testenv.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTest>

#include <algorithm>
#include <csignal>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

const QString AppSettings =
    QStringLiteral("HKEY_CURRENT_USER\\Software\\Corvanta\\Office\\6.0\\ulxcloudsvr\\Application Settings");
const QString RunnerSettings = QStringLiteral("HKEY_CURRENT_USER\\Software\\Corvanta\\Office\\6.0\\plugins\\kpluginrunner");
const QString Autorestart = QStringLiteral("/start_from:autorestart");

struct LogLine
{
    QDateTime time;
    qint64 pid = 0;
    QString message; // level, category and text
};

// Field `n` of /proc/<pid>/stat (3 state, 4 parent, 6 session); empty when gone.
QByteArray statField(qint64 pid, int n)
{
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    const QByteArray stat = f.readAll();
    return stat.mid(stat.lastIndexOf(')') + 2).split(' ').value(n - 3);
}

bool running(qint64 pid)
{
    const QByteArray state = statField(pid, 3);
    return !state.isEmpty() && state != "Z";
}

QString dispatched(const QString &cmdline)
{
    return QStringLiteral("FIXED KxUlxCloudSvrApplication KxUlxCloudSvrApplication::onIPCTransmission ") + cmdline;
}

} // namespace

class TestRestart : public QObject
{
    Q_OBJECT
private:
    std::unique_ptr<KTestEnv> m_env;
    std::vector<std::unique_ptr<QProcess>> m_processes;
    QSet<qint64> m_services; // every service this test started, its orphans included
    QTime m_restartAt;

    QList<LogLine> log() const
    {
        QList<LogLine> out;
        const QStringList lines = m_env->logText().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        for (const QString &line : lines)
            out.append({QDateTime::fromString(line.section(QLatin1Char(' '), 0, 1), QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")),
                        line.section(QLatin1Char(' '), 2, 2).toLongLong(), line.section(QLatin1Char(' '), 3)});
        return out;
    }

    // The first line containing `text` of process `pid` (0: of any process not in `skip`).
    LogLine find(const QString &text, qint64 pid = 0, const QSet<qint64> &skip = {}) const
    {
        const QList<LogLine> lines = log();
        for (const LogLine &l : lines) {
            if ((pid ? l.pid == pid : !skip.contains(l.pid)) && l.message.contains(text))
                return l;
        }
        return {};
    }

    LogLine waitFor(const QString &text, qint64 pid = 0, int ms = 15000)
    {
        LogLine l;
        [[maybe_unused]] const bool found = QTest::qWaitFor([&] { return (l = find(text, pid, m_services)).pid != 0; },
                                                            KTestEnv::scaled(ms));
        return l;
    }

    QProcess *start(const QString &program, const QStringList &arguments)
    {
        auto p = std::make_unique<QProcess>();
        p->setProcessEnvironment(m_env->environment());
        p->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        p->start(KTestEnv::binPath(program), arguments);
        if (p->waitForStarted(KTestEnv::scaled(5000)))
            p->setProperty("pid", p->processId()); // a finished QProcess forgets it
        m_processes.push_back(std::move(p));
        return m_processes.back().get();
    }
    static qint64 pidOf(const QProcess *p) { return p->property("pid").toLongLong(); }

    QProcess *startServer(const QString &ownSwitch)
    {
        QProcess *server = start(QStringLiteral("ulxcloudsvr"), {ownSwitch});
        m_services << pidOf(server);
        return waitFor(dispatched(ownSwitch), pidOf(server)).pid ? server : nullptr;
    }

    // A service ulx started: the first with `ownLine` that the test did not know yet.
    qint64 waitForNewService(const QString &ownLine)
    {
        const qint64 pid = waitFor(dispatched(ownLine), 0, 20000).pid;
        m_services << pid;
        return pid;
    }

    // A second start that hands `line` over and ends with 0.
    void send(const QString &line)
    {
        QProcess *p = start(QStringLiteral("ulxcloudsvr"), line.split(QLatin1Char(' ')));
        QVERIFY(p->waitForFinished(KTestEnv::scaled(10000)));
        QCOMPARE(p->exitCode(), 0);
    }

    // The fixed restart time `seconds` after `from` (default now); false when that crosses midnight.
    bool restartIn(int seconds, QTime from = QTime())
    {
        const QTime now = QTime::currentTime();
        m_restartAt = (from.isValid() ? from : now).addSecs(seconds);
        KRegSettings(AppSettings).setValue(QStringLiteral("RestartTimePoint"), m_restartAt.toString(QStringLiteral("hh:mm:ss")));
        return m_restartAt > now;
    }

    void useInstallation(const QString &launcher, const QString &catalogue = QString())
    {
        m_env->writeInstallConfig({{QStringLiteral("Installation/LaunchExePath"), launcher},
                                   {QStringLiteral("Installation/PluginCatalog"), catalogue}});
    }

private Q_SLOTS:
    void init()
    {
        m_env = std::make_unique<KTestEnv>();
        // The stand-in runner: one plugin command handed over per transfer.
        const QString package = m_env->root() + QStringLiteral("/office/plugins/packages/kpluginrunner");
        QDir().mkpath(package);
        QFile::copy(QStringLiteral(ULX_FAKE_RUNNER_LIBRARY), package + QStringLiteral("/libulxfakerunner.so"));
        QFile catalogue(m_env->root() + QStringLiteral("/office/plugins/catalogue.json"));
        QVERIFY(catalogue.open(QIODevice::WriteOnly));
        catalogue.write(R"({"plugins":[{"name":"kpluginrunner","version":"1.0.0.1","package":"packages/kpluginrunner",)"
                        R"("library":"libulxfakerunner.so"}]})");
        catalogue.close();
        useInstallation(KTestEnv::binPath(QStringLiteral("ulx")), catalogue.fileName());
        // A late runner is asked again a second later, not an hour.
        KRegSettings(AppSettings).setValue(QStringLiteral("RestartIntervalSec"), 1);
    }

    void cleanup()
    {
        for (qint64 pid : std::as_const(m_services)) {
            if (pid > 0 && running(pid))
                ::kill(pid_t(pid), SIGKILL);
        }
        m_services.clear();
        m_processes.clear(); // kills what still runs
    }

    // The old service hands over and ends with 0; the replacement serves and gets
    // the handed-over command; of the lines 20 senders send meanwhile none is lost
    // or doubled. ULX_RESTART_ROUNDS restarts in a row (default 1).
    void restartHandsOverEveryLineOnce()
    {
        const int rounds = qMax(1, qEnvironmentVariableIntValue("ULX_RESTART_ROUNDS"));
        const int senders = 20, linesPerSender = 50, spacingSec = 4;
        if (!restartIn(3))
            QSKIP("the restart time would cross midnight");
        QProcess *first = startServer(QStringLiteral("/start_from:test"));
        QVERIFY(first);
        qint64 oldPid = pidOf(first);
        // Each replacement reads its restart time when it starts: the next one is
        // set while the process that already read its own serves.
        if (rounds > 1 && !restartIn(spacingSec, m_restartAt))
            QSKIP("the restart time would cross midnight");

        QStringList handOverMs;
        std::vector<QProcess *> sending;
        for (int round = 0; round < rounds; ++round) {
            for (int s = 0; s < senders; ++s)
                sending.push_back(start(QStringLiteral("ulxrestartsender"),
                                        {QStringLiteral("UlxCloudSvr"), QStringLiteral("r%1s%2").arg(round).arg(s),
                                         QString::number(linesPerSender), QStringLiteral("100")}));
            const LogLine released = waitFor(QStringLiteral("onPluginsStateReadyToTransfer channel released"), oldPid);
            QVERIFY2(released.pid, "the old service did not hand over");
            const qint64 newPid = waitForNewService(Autorestart);
            QVERIFY2(newPid, "no replacement serves");
            if (round + 2 < rounds && !restartIn(spacingSec, m_restartAt))
                QSKIP("the restart time would cross midnight");
            handOverMs << QString::number(released.time.msecsTo(find(dispatched(Autorestart), newPid).time));

            QVERIFY(waitFor(dispatched(QStringLiteral("/run_plugin /plugin_name:kfaketransfer /plugin_type:dll")), newPid).pid);
            QVERIFY(QTest::qWaitFor([&] { return !running(oldPid); }, KTestEnv::scaled(15000)));
            QVERIFY(statField(newPid, 4).toLongLong() != oldPid); // detached, not the old one's child
            oldPid = newPid;
        }
        QCOMPARE(first->exitStatus(), QProcess::NormalExit);
        QCOMPARE(first->exitCode(), 0);

        for (QProcess *p : sending) {
            QTRY_COMPARE_WITH_TIMEOUT(p->state(), QProcess::NotRunning, KTestEnv::scaled(60000));
            QCOMPARE(p->exitCode(), 0); // every line delivered
        }
        // Every line ran in exactly one process, and the lines reached every process.
        QMap<QString, int> seen;
        QSet<qint64> executedBy;
        static const QRegularExpression seq(QStringLiteral("onIPCTransmission /seq:(\\S+)$"));
        const QList<LogLine> lines = log();
        for (const LogLine &l : lines) {
            if (const auto m = seq.match(l.message); m.hasMatch()) {
                ++seen[m.captured(1)];
                executedBy << l.pid;
            }
        }
        QCOMPARE(executedBy.size(), rounds + 1);
        // Only the senders send these lines: each of their names once is none lost, none doubled.
        const int doubled = int(std::count_if(seen.cbegin(), seen.cend(), [](int n) { return n > 1; }));
        qInfo("restarts: %d, release to serving (ms): %s; lines seen %lld, doubled %d of %d", rounds,
              qPrintable(handOverMs.join(QLatin1Char(' '))), qint64(seen.size()), doubled, rounds * senders * linesPerSender);
        QCOMPARE(int(seen.size()), rounds * senders * linesPerSender);
        QCOMPARE(doubled, 0);
    }

    // With the suite's own runner: the plugins it ran run again in the replacement.
    void restartRunsTheHeldPluginsAgain()
    {
        useInstallation(KTestEnv::binPath(QStringLiteral("ulx")), KTestEnv::binPath(QStringLiteral("plugins/catalogue.json")));
        if (!restartIn(4))
            QSKIP("the restart time would cross midnight");
        QProcess *first = startServer(QStringLiteral("/start_from:test"));
        QVERIFY(first);
        send(QStringLiteral("/run_plugin /plugin_name:kbubble /plugin_local /plugin_type:dll"));
        const QString bubbleRan = QStringLiteral("FIXED kbubble kbubble::run params: ");
        QVERIFY(waitFor(bubbleRan, pidOf(first), 10000).pid);
        QVERIFY2(!find(QStringLiteral("channel released")).pid, "restarted before the plugin ran");

        const qint64 newPid = waitForNewService(Autorestart);
        QVERIFY(newPid);
        QVERIFY(waitFor(bubbleRan, newPid).pid);
        QTRY_COMPARE_WITH_TIMEOUT(first->state(), QProcess::NotRunning, KTestEnv::scaled(15000));
        QCOMPARE(first->exitCode(), 0);
    }

    // Plugins not ready: asked again after "RestartIntervalSec"; still serving.
    void declinedRestartIsAskedAgain()
    {
        KRegSettings(RunnerSettings).setValue(QStringLiteral("StateTransferReady"), 0);
        if (!restartIn(2))
            QSKIP("the restart time would cross midnight");
        QProcess *server = startServer(QStringLiteral("/declined"));
        QVERIFY(server);
        QVERIFY(QTest::qWaitFor([&] {
            return m_env->logText().count(QStringLiteral("onPluginsStateReadyToTransfer delayed")) >= 2;
        }, KTestEnv::scaled(15000)));
        QVERIFY(!find(QStringLiteral("channel released")).pid);
        QCOMPARE(server->state(), QProcess::Running);
    }

    // A launcher that is missing, a directory, or starts nobody: a warning, and
    // the old service serves (again).
    void failedLauncherKeepsServing_data()
    {
        QTest::addColumn<QString>("launcher");
        QTest::addColumn<QString>("warning");
        const QString notFound = QStringLiteral("WARNING KxUlxCloudSvrApplication KxUlxCloudSvrApplicatio::"
                                                "onPluginsStateReadyToTransfer ulx.exe not found");
        QTest::newRow("missing") << "/nonexistent/ulx" << notFound;
        QTest::newRow("a directory") << "/tmp" << notFound;
        QTest::newRow("not a program (errorOccurred)") << "garbage" << "launcher failed to start: ";
        QTest::newRow("starts nobody") << "/bin/false" << "the replacement does not come; serving the channel again";
    }

    void failedLauncherKeepsServing()
    {
        QFETCH(QString, launcher);
        QFETCH(QString, warning);
        if (launcher == QLatin1String("garbage")) {
            QFile f(m_env->root() + QStringLiteral("/garbage"));
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(QByteArray(64, '\x7f'));
            f.setPermissions(QFile::ReadOwner | QFile::ExeOwner);
            launcher = f.fileName();
        }
        useInstallation(launcher, m_env->root() + QStringLiteral("/office/plugins/catalogue.json"));
        if (!restartIn(2))
            QSKIP("the restart time would cross midnight");
        QProcess *server = startServer(QStringLiteral("/badlauncher"));
        QVERIFY(server);
        QVERIFY(waitFor(warning, pidOf(server)).pid);
        send(QStringLiteral("/after_failure"));
        QVERIFY(waitFor(dispatched(QStringLiteral("/after_failure")), pidOf(server), 5000).pid);
        QCOMPARE(server->state(), QProcess::Running);
    }

    // The runner allows the exit: the service ends by itself with 0.
    void exitQueryEndsTheService()
    {
        KRegSettings(RunnerSettings).setValue(QStringLiteral("AllowExitProcess"), 1);
        KRegSettings(AppSettings).setValue(QStringLiteral("QueryPluginExitProcessIntervalSec"), 1);
        QProcess *server = startServer(QStringLiteral("/exit_query"));
        QVERIFY(server);
        QTRY_COMPARE_WITH_TIMEOUT(server->state(), QProcess::NotRunning, KTestEnv::scaled(15000));
        QCOMPARE(server->exitStatus(), QProcess::NormalExit);
        QCOMPARE(server->exitCode(), 0);
    }

    // ulx /ulxcloudlaunch: the service in a session of its own, without the
    // starter's descriptors, standard streams on /dev/null; ulx ends with 0.
    void launcherDetachesTheService()
    {
        int leak[2];
        QVERIFY(::pipe(leak) == 0); // inheritable on purpose
        struct stat leaked;
        QVERIFY(::fstat(leak[0], &leaked) == 0);
        QProcess *ulx = start(QStringLiteral("ulx"), {QStringLiteral("/ulxcloudlaunch"), QStringLiteral("/start_from:launched")});
        QVERIFY(ulx->waitForFinished(KTestEnv::scaled(5000)));
        ::close(leak[0]);
        ::close(leak[1]);
        QCOMPARE(ulx->exitCode(), 0);
        const qint64 pid = waitForNewService(QStringLiteral("/start_from:launched"));
        QVERIFY(pid);
        QVERIFY(statField(pid, 6).toLongLong() != ::getsid(0));
        QVERIFY(statField(pid, 4).toLongLong() != pidOf(ulx));
        const QString fdDir = QStringLiteral("/proc/%1/fd/").arg(pid);
        for (int fd = 0; fd < 3; ++fd)
            QCOMPARE(QFile::symLinkTarget(fdDir + QString::number(fd)), QStringLiteral("/dev/null"));
        const QStringList fds = QDir(fdDir).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System);
        for (const QString &fd : fds) {
            struct stat st;
            if (::stat(QString(fdDir + fd).toLocal8Bit().constData(), &st) == 0)
                QVERIFY2(st.st_ino != leaked.st_ino || st.st_dev != leaked.st_dev, qPrintable(fd));
        }

        QProcess *usage = start(QStringLiteral("ulx"), {QStringLiteral("/start_from:x")});
        QVERIFY(usage->waitForFinished(KTestEnv::scaled(5000)));
        QCOMPARE(usage->exitCode(), 2);
    }

    // An exec that fails is reported, not mistaken for a start.
    void detachedStartReportsExecFailure()
    {
        const auto missing = ulx::process::startDetached("/nonexistent/program", {});
        QVERIFY(!missing.started);
        QCOMPARE(missing.error, ENOENT);
        const auto directory = ulx::process::startDetached(QDir::tempPath().toStdString(), {});
        QVERIFY(!directory.started);
        QCOMPARE(directory.error, EACCES);
        const auto ok = ulx::process::startDetached("/bin/true", {"x"});
        QVERIFY(ok.started);
        QVERIFY(ok.pid > 0);
    }
};

QTEST_GUILESS_MAIN(TestRestart)
#include "tst_restart.moc"
