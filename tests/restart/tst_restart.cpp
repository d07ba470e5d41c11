// The nightly restart, the plugin-exit query and the launcher ulx with real
// processes in a private world. The fixed restart time is set a few seconds
// ahead; the replacement service is an orphan, found by its pid in the log and
// ended by the test.

#include "platform/detachedstart.h"
#include "platform/registry/kregsettings.h"
#include "tests/common/testenv.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTest>

#include <csignal>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

const QString AppSettings =
    QStringLiteral("HKEY_CURRENT_USER\\Software\\Corvanta\\Office\\6.0\\ulxcloudsvr\\Application Settings");
const QString RunnerSettings = QStringLiteral("HKEY_CURRENT_USER\\Software\\Corvanta\\Office\\6.0\\plugins\\kpluginrunner");

struct LogLine
{
    QDateTime time;
    qint64 pid = 0;
    QString message; // level, category and text
};

bool processAlive(qint64 pid)
{
    return pid > 0 && ::kill(pid_t(pid), 0) == 0;
}

// The "State:" of /proc/<pid>/status: a zombie counts as gone.
bool processRunning(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return false;
    const QByteArray stat = f.readAll();
    const qsizetype close = stat.lastIndexOf(')');
    return close > 0 && stat.size() > close + 2 && stat.at(close + 2) != 'Z';
}

// Field `n` (1-based, after the command name) of /proc/<pid>/stat.
qint64 statField(qint64 pid, int n)
{
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray stat = f.readAll();
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    return fields.value(n - 3).toLongLong();
}

} // namespace

class TestRestart : public QObject
{
    Q_OBJECT
private:
    std::unique_ptr<KTestEnv> m_env;
    std::vector<std::unique_ptr<QProcess>> m_processes;
    QList<qint64> m_orphans; // services this test's processes started through ulx

    QList<LogLine> log() const
    {
        QList<LogLine> out;
        const QStringList lines = m_env->logText().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        for (const QString &line : lines) {
            LogLine l;
            l.time = QDateTime::fromString(line.section(QLatin1Char(' '), 0, 1), QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
            l.pid = line.section(QLatin1Char(' '), 2, 2).toLongLong();
            l.message = line.section(QLatin1Char(' '), 3);
            out << l;
        }
        return out;
    }

    // The first line containing `text`, optionally of one process, or of none of `notPids`.
    LogLine find(const QString &text, qint64 pid = 0, const QSet<qint64> &notPids = {}) const
    {
        const QList<LogLine> lines = log();
        for (const LogLine &l : lines) {
            if ((pid == 0 || l.pid == pid) && !notPids.contains(l.pid) && l.message.contains(text))
                return l;
        }
        return {};
    }

    static QString dispatched(const QString &cmdline)
    {
        return QStringLiteral("FIXED KxUlxCloudSvrApplication KxUlxCloudSvrApplication::onIPCTransmission ") + cmdline;
    }

    QProcess *start(const QString &program, const QStringList &arguments)
    {
        auto p = std::make_unique<QProcess>();
        p->setProcessEnvironment(m_env->environment());
        p->setProgram(KTestEnv::binPath(program));
        p->setArguments(arguments);
        p->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        p->start();
        if (p->waitForStarted(KTestEnv::scaled(5000)))
            p->setProperty("pid", p->processId());
        m_processes.push_back(std::move(p));
        return m_processes.back().get();
    }

    static qint64 pidOf(const QProcess *p) { return p->property("pid").toLongLong(); }

    QProcess *startServer(const QString &ownSwitch)
    {
        QProcess *server = start(QStringLiteral("ulxcloudsvr"), {ownSwitch});
        const bool serving = QTest::qWaitFor([&] { return find(dispatched(ownSwitch), pidOf(server)).pid != 0; },
                                             KTestEnv::scaled(10000));
        return serving ? server : nullptr;
    }

    // A service that ulx started in this world, by its log: the first with
    // `startLine` that is none of the services known so far.
    qint64 waitForReplacement(qint64 oldPid, const QString &startLine)
    {
        m_known << oldPid;
        qint64 pid = 0;
        [[maybe_unused]] const bool found = QTest::qWaitFor([&] {
            pid = find(dispatched(startLine), 0, m_known).pid;
            return pid != 0;
        }, KTestEnv::scaled(20000));
        if (pid)
            m_orphans << pid;
        m_known << pid;
        return pid;
    }
    QSet<qint64> m_known;

    void setAppSetting(const QString &name, const QVariant &value)
    {
        KRegSettings(AppSettings).setValue(name, value);
    }

    // The fixed restart time `seconds` from now (or from `from`); false when that crosses midnight.
    bool restartIn(int seconds, QTime from = QTime())
    {
        const QTime now = QTime::currentTime();
        const QTime at = (from.isValid() ? from : now).addSecs(seconds);
        if (at < now)
            return false;
        setAppSetting(QStringLiteral("RestartTimePoint"), at.toString(QStringLiteral("hh:mm:ss")));
        m_restartAt = at;
        return true;
    }
    QTime m_restartAt;

    void writeCatalogue()
    {
        const QString office = m_env->root() + QStringLiteral("/office");
        const QString package = office + QStringLiteral("/plugins/packages/kpluginrunner");
        QDir().mkpath(package);
        QFile::copy(QStringLiteral(ULX_FAKE_RUNNER_LIBRARY), package + QStringLiteral("/libulxfakerunner.so"));
        QJsonObject runner{{QStringLiteral("name"), QStringLiteral("kpluginrunner")},
                           {QStringLiteral("version"), QStringLiteral("1.0.0.1")},
                           {QStringLiteral("package"), QStringLiteral("packages/kpluginrunner")},
                           {QStringLiteral("library"), QStringLiteral("libulxfakerunner.so")}};
        QFile catalogue(office + QStringLiteral("/plugins/catalogue.json"));
        QVERIFY(catalogue.open(QIODevice::WriteOnly));
        catalogue.write(QJsonDocument(QJsonObject{{QStringLiteral("plugins"), QJsonArray{runner}}}).toJson());
    }

private Q_SLOTS:
    void init()
    {
        m_env = std::make_unique<KTestEnv>(
            QMap<QString, QString>{{QStringLiteral("Installation/LaunchExePath"), KTestEnv::binPath(QStringLiteral("ulx"))}});
        writeCatalogue();
        // A late runner is asked again a second later, not an hour.
        setAppSetting(QStringLiteral("RestartIntervalSec"), 1);
    }

    void cleanup()
    {
        for (qint64 pid : std::as_const(m_orphans)) {
            if (processAlive(pid))
                ::kill(pid_t(pid), SIGKILL);
        }
        m_orphans.clear();
        m_known.clear();
        for (auto &p : m_processes) {
            if (p->state() != QProcess::NotRunning) {
                p->kill();
                p->waitForFinished(5000);
            }
        }
        m_processes.clear();
    }

    // The old service hands the channel and its plugins over and ends with 0;
    // the replacement serves and gets the handed-over command; of the command
    // lines that 20 senders send meanwhile none is lost or doubled.
    void restartHandsOverEveryLineOnce()
    {
        const int rounds = qMax(1, qEnvironmentVariableIntValue("ULX_RESTART_ROUNDS"));
        const int senders = 20;
        const int linesPerSender = 50;
        if (!restartIn(3))
            QSKIP("the restart time would cross midnight");
        QProcess *first = startServer(QStringLiteral("/start_from:test"));
        QVERIFY(first);
        qint64 oldPid = pidOf(first);
        // Each replacement reads its restart time when it starts: the next
        // round's is set while the current process, which has read its own, serves.
        const int spacingSec = 4;
        if (rounds > 1 && !restartIn(spacingSec, m_restartAt))
            QSKIP("the restart time would cross midnight");

        QList<qint64> handOverMs;
        std::vector<QProcess *> sending;
        for (int round = 0; round < rounds; ++round) {
            // Senders span the moment of the restart.
            const LogLine oldStart = find(QStringLiteral("KxUlxCloudSvrApplication::init"), oldPid);
            QVERIFY(oldStart.pid);
            for (int s = 0; s < senders; ++s)
                sending.push_back(start(QStringLiteral("ulxrestartsender"),
                                        {QStringLiteral("UlxCloudSvr"), QStringLiteral("r%1s%2").arg(round).arg(s),
                                         QString::number(linesPerSender), QStringLiteral("100")}));

            const LogLine released = [&] {
                LogLine l;
                [[maybe_unused]] const bool found = QTest::qWaitFor([&] {
                    l = find(QStringLiteral("onPluginsStateReadyToTransfer channel released"), oldPid);
                    return l.pid != 0;
                }, KTestEnv::scaled(15000));
                return l;
            }();
            QVERIFY2(released.pid, "the old service did not hand over");

            const qint64 newPid = waitForReplacement(oldPid, QStringLiteral("/start_from:autorestart"));
            QVERIFY2(newPid, "no replacement serves");
            if (round + 2 < rounds && !restartIn(spacingSec, m_restartAt))
                QSKIP("the restart time would cross midnight");
            const LogLine serves = find(dispatched(QStringLiteral("/start_from:autorestart")), newPid);
            handOverMs << released.time.msecsTo(serves.time);

            // The handed-over plugin command reaches the replacement, once.
            QTRY_VERIFY_WITH_TIMEOUT(
                find(dispatched(QStringLiteral("/run_plugin /plugin_name:kfaketransfer /plugin_type:dll")), newPid).pid,
                KTestEnv::scaled(10000));
            // The old one ends by itself, with 0.
            QVERIFY(QTest::qWaitFor([&] { return !processRunning(oldPid); }, KTestEnv::scaled(15000)));
            if (round == 0) {
                QTRY_COMPARE_WITH_TIMEOUT(first->state(), QProcess::NotRunning, KTestEnv::scaled(5000));
                QCOMPARE(first->exitStatus(), QProcess::NormalExit);
                QCOMPARE(first->exitCode(), 0);
            }
            // The replacement's parent is not the old service: it was detached.
            QVERIFY(statField(newPid, 4) != oldPid);
            oldPid = newPid;
        }

        for (QProcess *p : sending) {
            QTRY_COMPARE_WITH_TIMEOUT(p->state(), QProcess::NotRunning, KTestEnv::scaled(60000));
            QCOMPARE(p->readAllStandardOutput(), QByteArray());
            QCOMPARE(p->exitCode(), 0);
        }
        // Every line ran in exactly one of the processes.
        QMap<QString, int> seen;
        QSet<qint64> executedBy;
        const QList<LogLine> lines = log();
        static const QRegularExpression seq(QStringLiteral("onIPCTransmission /seq:(\\S+)$"));
        for (const LogLine &l : lines) {
            const auto m = seq.match(l.message);
            if (m.hasMatch()) {
                ++seen[m.captured(1)];
                executedBy.insert(l.pid);
            }
        }
        // The senders really spanned the hand-over.
        QCOMPARE(executedBy.size(), rounds + 1);
        int lost = 0, doubled = 0;
        for (int round = 0; round < rounds; ++round) {
            for (int s = 0; s < senders; ++s) {
                for (int i = 0; i < linesPerSender; ++i) {
                    const int n = seen.value(QStringLiteral("r%1s%2-%3").arg(round).arg(s).arg(i));
                    lost += n == 0;
                    doubled += n > 1;
                }
            }
        }
        QStringList ms;
        for (qint64 v : std::as_const(handOverMs))
            ms << QString::number(v);
        qInfo("restarts: %d, release to serving (ms): %s; lines lost %d, doubled %d of %d", rounds,
              qPrintable(ms.join(QLatin1Char(' '))), lost, doubled, rounds * senders * linesPerSender);
        QCOMPARE(lost, 0);
        QCOMPARE(doubled, 0);
    }

    // With the suite's own runner: the plugins it ran before the restart run
    // again in the replacement.
    void restartRunsTheHeldPluginsAgain()
    {
        m_env->writeInstallConfig({{QStringLiteral("Installation/LaunchExePath"), KTestEnv::binPath(QStringLiteral("ulx"))},
                                   {QStringLiteral("Installation/PluginCatalog"),
                                    KTestEnv::binPath(QStringLiteral("plugins/catalogue.json"))}});
        if (!restartIn(4))
            QSKIP("the restart time would cross midnight");
        QProcess *first = startServer(QStringLiteral("/start_from:test"));
        QVERIFY(first);
        QProcess *second = start(QStringLiteral("ulxcloudsvr"), {QStringLiteral("/run_plugin"), QStringLiteral("/plugin_name:kbubble"),
                                                                QStringLiteral("/plugin_local"), QStringLiteral("/plugin_type:dll")});
        QVERIFY(second->waitForFinished(KTestEnv::scaled(10000)));
        const QString bubbleRan = QStringLiteral("FIXED kbubble kbubble::run params: ");
        QTRY_VERIFY_WITH_TIMEOUT(find(bubbleRan, pidOf(first)).pid, KTestEnv::scaled(10000));
        QVERIFY2(!find(QStringLiteral("channel released"), pidOf(first)).pid, "restarted before the plugin ran");

        const qint64 newPid = waitForReplacement(pidOf(first), QStringLiteral("/start_from:autorestart"));
        QVERIFY(newPid);
        QTRY_VERIFY_WITH_TIMEOUT(find(bubbleRan, newPid).pid, KTestEnv::scaled(15000));
        QTRY_COMPARE_WITH_TIMEOUT(first->state(), QProcess::NotRunning, KTestEnv::scaled(15000));
        QCOMPARE(first->exitCode(), 0);
    }

    // Plugins not ready: asked again after "RestartIntervalSec", still serving.
    void declinedRestartIsAskedAgain()
    {
        KRegSettings(RunnerSettings).setValue(QStringLiteral("StateTransferReady"), 0);
        if (!restartIn(2))
            QSKIP("the restart time would cross midnight");
        QProcess *server = startServer(QStringLiteral("/declined"));
        QVERIFY(server);
        QVERIFY(QTest::qWaitFor([&] {
            int delayed = 0;
            const QList<LogLine> lines = log();
            for (const LogLine &l : lines)
                delayed += l.message.endsWith(QStringLiteral("onPluginsStateReadyToTransfer delayed"));
            return delayed >= 2;
        }, KTestEnv::scaled(15000)));
        QVERIFY(!find(QStringLiteral("channel released")).pid);
        QCOMPARE(server->state(), QProcess::Running);
    }

    // A launcher that is missing, or a directory: the warning, and the service keeps serving.
    void missingLauncherKeepsServing_data()
    {
        QTest::addColumn<QString>("launcher");
        QTest::newRow("missing") << QStringLiteral("/nonexistent/ulx");
        QTest::newRow("a directory") << QStringLiteral("/tmp");
    }

    void missingLauncherKeepsServing()
    {
        QFETCH(QString, launcher);
        m_env->writeInstallConfig({{QStringLiteral("Installation/LaunchExePath"), launcher}});
        if (!restartIn(2))
            QSKIP("the restart time would cross midnight");
        QProcess *server = startServer(QStringLiteral("/nolauncher"));
        QVERIFY(server);
        QTRY_VERIFY_WITH_TIMEOUT(
            find(QStringLiteral("WARNING KxUlxCloudSvrApplication KxUlxCloudSvrApplicatio::onPluginsStateReadyToTransfer "
                                "ulx.exe not found"), pidOf(server)).pid,
            KTestEnv::scaled(15000));
        QProcess *second = start(QStringLiteral("ulxcloudsvr"), {QStringLiteral("/still_there")});
        QVERIFY(second->waitForFinished(KTestEnv::scaled(10000)));
        QTRY_VERIFY(find(dispatched(QStringLiteral("/still_there")), pidOf(server)).pid);
        QCOMPARE(server->state(), QProcess::Running);
    }

    // A launcher that runs but starts nobody: the old service serves again.
    void failingLauncherServesAgain()
    {
        m_env->writeInstallConfig({{QStringLiteral("Installation/LaunchExePath"), QStringLiteral("/bin/false")}});
        if (!restartIn(2))
            QSKIP("the restart time would cross midnight");
        QProcess *server = startServer(QStringLiteral("/badlauncher"));
        QVERIFY(server);
        QTRY_VERIFY_WITH_TIMEOUT(find(QStringLiteral("serving the channel again"), pidOf(server)).pid,
                                 KTestEnv::scaled(40000));
        QProcess *second = start(QStringLiteral("ulxcloudsvr"), {QStringLiteral("/after_failure")});
        QVERIFY(second->waitForFinished(KTestEnv::scaled(10000)));
        QCOMPARE(second->exitCode(), 0);
        QTRY_VERIFY(find(dispatched(QStringLiteral("/after_failure")), pidOf(server)).pid);
        QCOMPARE(server->state(), QProcess::Running);
    }

    // The runner allows the exit: the service ends by itself with 0.
    void exitQueryEndsTheService()
    {
        KRegSettings(RunnerSettings).setValue(QStringLiteral("AllowExitProcess"), 1);
        setAppSetting(QStringLiteral("QueryPluginExitProcessIntervalSec"), 1);
        QProcess *server = startServer(QStringLiteral("/exit_query"));
        QVERIFY(server);
        QVERIFY(server->waitForFinished(KTestEnv::scaled(15000)));
        QCOMPARE(server->exitStatus(), QProcess::NormalExit);
        QCOMPARE(server->exitCode(), 0);
    }

    // ulx /ulxcloudlaunch: a service of its own session, no inherited
    // descriptors, standard streams on /dev/null; ulx itself ends with 0.
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
        const qint64 pid = waitForReplacement(0, QStringLiteral("/start_from:launched"));
        QVERIFY(pid);
        QVERIFY(statField(pid, 6) != ::getsid(0));     // a session of its own
        QVERIFY(statField(pid, 4) != pidOf(ulx));     // reparented away from ulx
        for (int fd = 0; fd < 3; ++fd)
            QCOMPARE(QFile::symLinkTarget(QStringLiteral("/proc/%1/fd/%2").arg(pid).arg(fd)), QStringLiteral("/dev/null"));
        const QStringList fds = QDir(QStringLiteral("/proc/%1/fd").arg(pid)).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System);
        for (const QString &fd : fds) {
            struct stat st;
            if (::stat(QStringLiteral("/proc/%1/fd/%2").arg(pid).arg(fd).toLocal8Bit().constData(), &st) == 0)
                QVERIFY2(!(st.st_ino == leaked.st_ino && st.st_dev == leaked.st_dev), qPrintable(fd));
        }
    }

    void launcherUsage_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("no switch") << QStringList{QStringLiteral("/start_from:x")} << 2;
        QTest::newRow("nothing") << QStringList{} << 2;
    }

    void launcherUsage()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QProcess *ulx = start(QStringLiteral("ulx"), arguments);
        QVERIFY(ulx->waitForFinished(KTestEnv::scaled(5000)));
        QCOMPARE(ulx->exitCode(), exitCode);
        QTest::qWait(KTestEnv::scaled(300));
        QVERIFY(!find(QStringLiteral("KxUlxCloudSvrApplication::init")).pid);
    }

    // An exec that fails is reported, not mistaken for a start.
    void detachedStartReportsExecFailure()
    {
        const auto missing = ulx::process::startDetached("/nonexistent/program", {});
        QVERIFY(!missing.started);
        QCOMPARE(missing.error, ENOENT);
        const auto notExecutable = ulx::process::startDetached(QDir::tempPath().toStdString(), {});
        QVERIFY(!notExecutable.started);
        QCOMPARE(notExecutable.error, EACCES);
        const auto ok = ulx::process::startDetached("/bin/true", {"x"});
        QVERIFY(ok.started);
        QVERIFY(ok.pid > 0);
    }
};

QTEST_GUILESS_MAIN(TestRestart)
#include "tst_restart.moc"
