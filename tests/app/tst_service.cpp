// The service as people and the suite start it: real ulxcloudsvr processes in a
// private world (HOME, XDG and runtime directories, installation configuration).

#include "tests/common/testenv.h"

#include <QDir>
#include <QProcess>
#include <QScopeGuard>
#include <QTest>

#include <fcntl.h>
#include <functional>
#include <memory>
#include <pty.h>
#include <unistd.h>
#include <vector>

class TestService : public QObject
{
    Q_OBJECT
private:
    std::unique_ptr<KTestEnv> m_env;
    std::vector<std::unique_ptr<QProcess>> m_processes;

    QProcess *start(const QStringList &arguments, QProcessEnvironment env = {},
                    const std::function<void()> &inChild = {})
    {
        auto p = std::make_unique<QProcess>();
        if (inChild)
            p->setChildProcessModifier(inChild);
        p->setProcessEnvironment(env.isEmpty() ? m_env->environment() : env);
        p->setProgram(KTestEnv::binPath(QStringLiteral("ulxcloudsvr")));
        p->setArguments(arguments);
        p->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        p->start();
        // A finished QProcess forgets its id; the log names processes by it.
        if (p->waitForStarted(KTestEnv::scaled(5000)))
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
        return QTest::qWaitFor([&] { return linesOf(pidOf(server)).contains(dispatched(ownLine)); }, KTestEnv::scaled(10000))
            ? server
            : nullptr;
    }

    QStringList runtimeFiles() const
    {
        return QDir(m_env->runtimeDir() + QStringLiteral("/ulxcloudsvr")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System);
    }

private Q_SLOTS:
    void init() { m_env = std::make_unique<KTestEnv>(); }
    void cleanup()
    {
        for (auto &p : m_processes) {
            p->kill(); // harmless on a process that has ended
            p->waitForFinished(KTestEnv::scaled(5000));
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

        QVERIFY(!server->waitForFinished(KTestEnv::scaled(200))); // it serves, it does not end

        server->terminate(); // SIGTERM: the event loop returns, the normal shutdown runs
        QVERIFY(server->waitForFinished(KTestEnv::scaled(10000)));
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
        QVERIFY(second->waitForFinished(KTestEnv::scaled(10000)));
        QCOMPARE(second->exitStatus(), QProcess::NormalExit);
        QCOMPARE(second->exitCode(), 0);

        // The server receives exactly the second start's line, once.
        // The log writes a backslash as "\\".
        const QString forwarded = QStringLiteral("/inner_plugin:KNobody \"two words\" \"a\\\\\"q\"");
        QTRY_COMPARE_WITH_TIMEOUT(linesOf(server->processId()).count(dispatched(forwarded)), 1, KTestEnv::scaled(5000));
        QVERIFY(linesOf(pidOf(second)).contains(
            QStringLiteral("FIXED KxUlxCloudSvrApplication KxUlxCloudSvrApplication::init ") + forwarded));
        QVERIFY(!linesOf(pidOf(second)).contains(dispatched(forwarded)));

        QCOMPARE(runtimeFiles(), filesBefore);
        QCOMPARE(server->state(), QProcess::Running);
    }

    // Whatever display the session names, or none, the service serves: a display
    // that names no server (left over from an ended session) must not abort it.
    void servesWhateverTheDisplay_data()
    {
        QTest::addColumn<QString>("display");
        QTest::addColumn<QString>("waylandDisplay");
        QTest::newRow("no display") << QString() << QString();
        QTest::newRow("stale X display") << QStringLiteral(":87") << QString();
        QTest::newRow("stale Wayland and X displays") << QStringLiteral(":87") << QStringLiteral("ulx-none-87");
    }

    void servesWhateverTheDisplay()
    {
        QFETCH(QString, display);
        QFETCH(QString, waylandDisplay);
        if (QFile::exists(QStringLiteral("/tmp/.X11-unix/X87")))
            QSKIP("an X server listens on :87 here");
        QProcessEnvironment env = m_env->environment();
        for (const char *name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
            env.remove(QLatin1String(name));
        if (!display.isEmpty())
            env.insert(QStringLiteral("DISPLAY"), display);
        if (!waylandDisplay.isEmpty())
            env.insert(QStringLiteral("WAYLAND_DISPLAY"), waylandDisplay);
        QProcess *server = start({QStringLiteral("/headless")}, env);
        QTRY_VERIFY_WITH_TIMEOUT(linesOf(pidOf(server)).contains(dispatched(QStringLiteral("/headless")))
                                     || server->state() == QProcess::NotRunning,
                                 KTestEnv::scaled(10000));
        QCOMPARE(server->state(), QProcess::Running);
        QVERIFY(linesOf(pidOf(server)).contains(dispatched(QStringLiteral("/headless"))));
    }

    // Started from a terminal, the serving process says in one line that it serves
    // and where its log is; a start that hands its line over says nothing.
    void terminalGetsOneLine()
    {
        int master = -1;
        int slave = -1;
        QVERIFY(::openpty(&master, &slave, nullptr, nullptr, nullptr) == 0);
        const auto closeBoth = qScopeGuard([&] { ::close(master); ::close(slave); });
        ::fcntl(master, F_SETFL, O_NONBLOCK);
        const auto toTerminal = [slave] { ::dup2(slave, STDERR_FILENO); };

        QProcess *server = start({QStringLiteral("/tty")}, {}, toTerminal);
        QTRY_VERIFY_WITH_TIMEOUT(linesOf(pidOf(server)).contains(dispatched(QStringLiteral("/tty"))),
                                 KTestEnv::scaled(10000));
        QProcess *second = start({QStringLiteral("/tty2")}, {}, toTerminal);
        QVERIFY(second->waitForFinished(KTestEnv::scaled(10000)));
        QTRY_VERIFY_WITH_TIMEOUT(linesOf(pidOf(server)).contains(dispatched(QStringLiteral("/tty2"))),
                                 KTestEnv::scaled(10000));

        QByteArray text;
        char buf[512];
        ssize_t n;
        while ((n = ::read(master, buf, sizeof buf)) > 0)
            text.append(buf, n);
        QCOMPARE(text, QStringLiteral("ulxcloudsvr: serving (process %1); log: %2\r\n")
                           .arg(pidOf(server))
                           .arg(m_env->logPath())
                           .toLocal8Bit());
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
        QVERIFY(second->waitForFinished(KTestEnv::scaled(10000)));
        QCOMPARE(second->exitCode(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(linesOf(pidOf(server)).contains(dispatched(QStringLiteral("/from_second"))),
                                 KTestEnv::scaled(5000));
    }

    void forceExitEndsTheService()
    {
        QProcess *server = startServer({}, QString());
        QVERIFY(server);
        QProcess *second = start({QStringLiteral("/force_exit"), QStringLiteral("/broadcast")});
        QVERIFY(second->waitForFinished(KTestEnv::scaled(10000)));
        QCOMPARE(second->exitCode(), 0);
        QVERIFY(server->waitForFinished(KTestEnv::scaled(10000)));
        QCOMPARE(server->exitStatus(), QProcess::NormalExit);
        QCOMPARE(server->exitCode(), 0);
        // The host was told before the end: it withdrew the socket.
        QVERIFY(!runtimeFiles().contains(QStringLiteral("UlxCloudSvr.sock")));
    }

};

QTEST_GUILESS_MAIN(TestService)
#include "tst_service.moc"
