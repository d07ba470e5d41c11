// The service as people and the suite start it: real ulxcloudsvr processes in a
// private world (HOME, XDG and runtime directories, installation configuration).

#include "tests/common/testenv.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QSet>
#include <QTest>

#include <algorithm>
#include <csignal>
#include <memory>
#include <vector>

class TestService : public QObject
{
    Q_OBJECT
private:
    std::unique_ptr<KTestEnv> m_env;
    std::vector<std::unique_ptr<QProcess>> m_processes;

    QProcess *start(const QStringList &arguments, QProcessEnvironment env = {})
    {
        auto p = std::make_unique<QProcess>();
        p->setProcessEnvironment(env.isEmpty() ? m_env->environment() : env);
        p->setProgram(KTestEnv::binPath(QStringLiteral("ulxcloudsvr")));
        p->setArguments(arguments);
        p->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        p->start();
        // A finished QProcess forgets its id; the log names processes by it.
        if (p->waitForStarted(5000))
            p->setProperty("pid", p->processId());
        m_processes.push_back(std::move(p));
        return m_processes.back().get();
    }

    static qint64 pidOf(const QProcess *p) { return p->property("pid").toLongLong(); }

    // The messages (level, category and text) that process `pid` logged.
    QStringList linesOf(qint64 pid) const
    {
        QStringList out;
        const QStringList lines = m_env->logText().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        for (const QString &line : lines) {
            if (line.section(QLatin1Char(' '), 2, 2) == QString::number(pid))
                out << line.section(QLatin1Char(' '), 3);
        }
        return out;
    }

    static QString dispatched(const QString &cmdline)
    {
        return QStringLiteral("FIXED KxUlxCloudSvrApplication KxUlxCloudSvrApplication::onIPCTransmission ") + cmdline;
    }

    // Starts a serving process and waits until it has executed its own line.
    QProcess *startServer(const QStringList &arguments, const QString &ownLine)
    {
        QProcess *server = start(arguments);
        if (!server->waitForStarted(5000))
            return nullptr;
        QElapsedTimer t;
        t.start();
        while (!linesOf(server->processId()).contains(dispatched(ownLine)) && t.elapsed() < 10000)
            QTest::qWait(10);
        return linesOf(server->processId()).contains(dispatched(ownLine)) ? server : nullptr;
    }

    QStringList runtimeFiles() const
    {
        return QDir(m_env->runtimeDir() + QStringLiteral("/ulxcloudsvr")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System);
    }

private Q_SLOTS:
    void init()
    {
        m_env = std::make_unique<KTestEnv>();
    }

    void cleanup()
    {
        for (auto &p : m_processes) {
            if (p->state() != QProcess::NotRunning) {
                p->kill();
                p->waitForFinished(5000);
            }
        }
        m_processes.clear();
    }

    void firstStartServesUntilSigterm()
    {
        QProcess *server = startServer({QStringLiteral("/run_plugin"), QStringLiteral("/plugin_name:kfoo")},
                                       QStringLiteral("/run_plugin /plugin_name:kfoo"));
        QVERIFY(server);
        const QStringList lines = linesOf(server->processId());
        QCOMPARE(lines.value(0), QStringLiteral("FIXED KxUlxCloudSvrApplication KxUlxCloudSvrApplication::init "
                                                "/run_plugin /plugin_name:kfoo"));
        QVERIFY(lines.contains(QStringLiteral(
            "INFO KxUlxCloudSvrApplication KxUlxCloudSvrApplication::onRunPlugin /plugin_name=kfoo ")));
        QVERIFY(runtimeFiles().contains(QStringLiteral("UlxCloudSvr.sock")));

        QTest::qWait(200);
        QCOMPARE(server->state(), QProcess::Running); // it serves, it does not end

        server->terminate(); // SIGTERM: the event loop returns, the normal shutdown runs
        QVERIFY(server->waitForFinished(10000));
        QCOMPARE(server->exitStatus(), QProcess::NormalExit);
        QCOMPARE(server->exitCode(), 0);
        // The normal shutdown withdraws the channel's socket.
        QVERIFY(!runtimeFiles().contains(QStringLiteral("UlxCloudSvr.sock")));
    }

    void secondStartForwardsAndLeavesNothing()
    {
        QProcess *server = startServer({QStringLiteral("/start_from:test")}, QStringLiteral("/start_from:test"));
        QVERIFY(server);
        const QStringList filesBefore = runtimeFiles();

        QProcess *second = start({QStringLiteral("/inner_plugin:KNobody"), QStringLiteral("two words"), QStringLiteral("a\"q")});
        QVERIFY(second->waitForFinished(10000));
        QCOMPARE(second->exitStatus(), QProcess::NormalExit);
        QCOMPARE(second->exitCode(), 0);

        // The server receives exactly the second start's line, once.
        // The log writes a backslash as "\\".
        const QString forwarded = QStringLiteral("/inner_plugin:KNobody \"two words\" \"a\\\\\"q\"");
        QTRY_COMPARE(linesOf(server->processId()).count(dispatched(forwarded)), 1);
        QVERIFY(linesOf(pidOf(second)).contains(
            QStringLiteral("FIXED KxUlxCloudSvrApplication KxUlxCloudSvrApplication::init ") + forwarded));
        QVERIFY(!linesOf(pidOf(second)).contains(dispatched(forwarded)));

        QCOMPARE(runtimeFiles(), filesBefore);
        QCOMPARE(server->state(), QProcess::Running);
    }

    // A service started where there is no display at all still runs.
    void runsWithoutDisplay()
    {
        QProcessEnvironment env = m_env->environment();
        for (const char *name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
            env.remove(QLatin1String(name));
        QProcess *server = start({QStringLiteral("/headless")}, env);
        QTRY_VERIFY_WITH_TIMEOUT(linesOf(pidOf(server)).contains(dispatched(QStringLiteral("/headless"))), 10000);
        QCOMPARE(server->state(), QProcess::Running);
    }

    // Store installations serve, and send to, a channel of their own.
    void storeInstallationUsesItsOwnChannel()
    {
        m_env->writeInstallConfig({{QStringLiteral("Installation/Features"), QStringLiteral("IsUwp")}});
        QProcess *server = startServer({QStringLiteral("/uwp")}, QStringLiteral("/uwp"));
        QVERIFY(server);
        QVERIFY(runtimeFiles().contains(QStringLiteral("UlxCloudSvr_Uwp.sock")));
        QVERIFY(!runtimeFiles().contains(QStringLiteral("UlxCloudSvr.sock")));
        QProcess *second = start({QStringLiteral("/from_second")});
        QVERIFY(second->waitForFinished(10000));
        QCOMPARE(second->exitCode(), 0);
        QTRY_VERIFY(linesOf(pidOf(server)).contains(dispatched(QStringLiteral("/from_second"))));
    }

    // A line longer than the channel carries: refused with a clear line; the second start still ends.
    void tooLongLineIsRefusedNotCut()
    {
        QProcess *server = startServer({QStringLiteral("/serving")}, QStringLiteral("/serving"));
        QVERIFY(server);
        QProcess *second = start({QStringLiteral("/run_plugin"), QStringLiteral("/plugin_name:") + QString(2100, QLatin1Char('k'))});
        QVERIFY(second->waitForFinished(10000));
        QCOMPARE(second->exitCode(), 0);
        const QStringList lines = linesOf(pidOf(second));
        QVERIFY(std::any_of(lines.cbegin(), lines.cend(), [](const QString &l) {
            return l.startsWith(QStringLiteral("ERROR KxUlxCloudSvrApplication KxUlxCloudSvrIpc::startUp command line of "))
                   && l.endsWith(QStringLiteral("exceeds the channel limit of 2047 and is not sent"));
        }));
        QTest::qWait(100);
        QVERIFY(!m_env->logText().contains(QStringLiteral("onIPCTransmission /run_plugin")));
        QCOMPARE(server->state(), QProcess::Running);
    }

    void forceExitEndsTheService()
    {
        QProcess *server = startServer({}, QString());
        QVERIFY(server);
        QProcess *second = start({QStringLiteral("/force_exit"), QStringLiteral("/broadcast")});
        QVERIFY(second->waitForFinished(10000));
        QCOMPARE(second->exitCode(), 0);
        QVERIFY(server->waitForFinished(10000));
        QCOMPARE(server->exitStatus(), QProcess::NormalExit);
        QCOMPARE(server->exitCode(), 0);
        // The host was told before the end: it withdrew the socket.
        QVERIFY(!runtimeFiles().contains(QStringLiteral("UlxCloudSvr.sock")));
    }

    // Many starts at once: one serves, every line arrives once, the rest end with 0.
    void fiftyStartsAtOnce()
    {
        const int n = 50;
        std::vector<QProcess *> procs;
        for (int i = 0; i < n; ++i)
            procs.push_back(start({QStringLiteral("/n:%1").arg(i)}));

        QProcess *server = nullptr;
        QElapsedTimer t;
        t.start();
        int finished = 0;
        while (t.elapsed() < 60000) {
            finished = 0;
            for (QProcess *p : procs)
                finished += p->state() == QProcess::NotRunning ? 1 : 0;
            if (finished == n - 1)
                break;
            QTest::qWait(20);
        }
        QCOMPARE(finished, n - 1);
        for (QProcess *p : procs) {
            if (p->state() == QProcess::NotRunning) {
                QCOMPARE(p->exitStatus(), QProcess::NormalExit);
                QCOMPARE(p->exitCode(), 0);
            } else {
                server = p;
            }
        }
        QVERIFY(server);

        QSet<int> received;
        QElapsedTimer wait;
        wait.start();
        while (received.size() < n && wait.elapsed() < 10000) {
            received.clear();
            const QStringList lines = linesOf(server->processId());
            for (const QString &line : lines) {
                if (!line.startsWith(dispatched(QStringLiteral("/n:"))))
                    continue;
                const int i = line.section(QLatin1Char(':'), -1).toInt();
                QVERIFY2(!received.contains(i), qPrintable(QStringLiteral("received twice: %1").arg(i)));
                received.insert(i);
            }
            QTest::qWait(20);
        }
        QCOMPARE(received.size(), n);
        qInfo("50 concurrent starts settled in %lld ms", t.elapsed());
    }

    // A server killed outright leaves nothing that keeps the next start from serving.
    void killedServersSuccessorServes()
    {
        QProcess *first = startServer({QStringLiteral("/first")}, QStringLiteral("/first"));
        QVERIFY(first);
        ::kill(pid_t(first->processId()), SIGKILL);
        QVERIFY(first->waitForFinished(5000));

        QElapsedTimer t;
        t.start();
        QProcess *successor = startServer({QStringLiteral("/second")}, QStringLiteral("/second"));
        QVERIFY(successor);
        const qint64 serving = t.elapsed();

        QProcess *client = start({QStringLiteral("/third")});
        QVERIFY(client->waitForFinished(10000));
        QCOMPARE(client->exitCode(), 0);
        QTRY_VERIFY(linesOf(successor->processId()).contains(dispatched(QStringLiteral("/third"))));
        qInfo("successor of a killed server served its own line %lld ms after its start", serving);
    }
};

QTEST_GUILESS_MAIN(TestService)
#include "tst_service.moc"
