// run_app for real: a ulxcloudsvr process in a private world whose catalogue
// names packages on the loopback test server; the apps are argvapp, which
// records how it was started, started through the build's launcher.
#include "tests/common/ktestserver.h"
#include "tests/common/kworld.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTcpServer>
#include <QTest>

#include <csignal>
#include <memory>

class TestRunApp : public QObject
{
    Q_OBJECT
private:
    std::unique_ptr<KTestEnv> m_env;
    std::unique_ptr<KTestServer> m_server;
    std::unique_ptr<KTestServer> m_tlsServer;
    std::unique_ptr<ktest::KService> m_service;
    qint64 m_pid = 0;
    QString m_packages; // package files, served by the test server
    QString m_out;      // where argvapp writes
    QString m_plugins;  // the world's plugins directory
    QJsonArray m_catalogue;
    int m_refusedPort = 0;

    struct AppStart
    {
        qint64 pid = 0;
        QStringList argv;
        QStringList fds;
    };

    QString stageDir(const QString &name) const { return m_env->root() + QStringLiteral("/stage/") + name; }

    // A package: app.ini (as given) and bin/app (argvapp), packed with tar `flags`.
    QString makePackage(const QString &name, const QByteArray &ini, const QStringList &flags = {QStringLiteral("-czf")})
    {
        const QString dir = stageDir(name);
        QDir().mkpath(dir + QStringLiteral("/bin"));
        if (!ktest::writeFile(dir + QStringLiteral("/app.ini"), ini))
            return QString();
        QFile::copy(KTestEnv::binPath(QStringLiteral("tst_runapp_argvapp")), dir + QStringLiteral("/bin/app"));
        const QString archive = m_packages + QLatin1Char('/') + name + QStringLiteral(".tar.gz");
        QProcess tar;
        tar.start(QStringLiteral("tar"), flags + QStringList{archive, QStringLiteral("-C"), dir, QStringLiteral(".")});
        return tar.waitForFinished(10000) && tar.exitCode() == 0 ? archive : QString();
    }

    static QString sha256(const QString &path)
    {
        QFile f(path);
        QCryptographicHash h(QCryptographicHash::Sha256);
        return f.open(QIODevice::ReadOnly) && h.addData(&f) ? QString::fromLatin1(h.result().toHex()) : QString();
    }

    void addEntry(const QString &name, const QString &url, qint64 size = -1, const QString &hash = QString())
    {
        QJsonObject e{{"name", name}, {"version", "1.0"}, {"desc", QStringLiteral("App %1").arg(name)}, {"url", url}};
        if (size >= 0)
            e.insert("size", double(size));
        if (!hash.isEmpty())
            e.insert("sha256", hash);
        m_catalogue.append(e);
    }

    void writeCatalogue()
    {
        QVERIFY(ktest::writeFile(m_env->root() + QStringLiteral("/catalogue.json"),
                                 QJsonDocument(QJsonObject{{"plugins", m_catalogue}}).toJson()));
    }

    QStringList serverLines() const { return ktest::logLinesOf(*m_env, m_pid); }
    bool logged(const QString &text) const { return serverLines().contains(text); }

    QList<AppStart> appStarts() const
    {
        QList<AppStart> out;
        const QStringList files = QDir(m_out).entryList({QStringLiteral("*.txt")}, QDir::Files, QDir::Name);
        for (const QString &name : files) {
            QFile f(m_out + QLatin1Char('/') + name);
            if (!f.open(QIODevice::ReadOnly))
                continue;
            AppStart s;
            s.pid = name.section('.', 0, 0).toLongLong();
            for (const QString &line : QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts)) {
                if (line.startsWith(QLatin1String("arg ")))
                    s.argv << line.mid(4);
                else if (line.startsWith(QLatin1String("fd ")))
                    s.fds << line.mid(3);
            }
            out << s;
        }
        return out;
    }

    // Whatever is in the plugins directory besides complete plugins.
    QStringList leftovers() const
    {
        QStringList out;
        const QStringList names = QDir(m_plugins).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
        for (const QString &n : names) {
            if (n.endsWith(QLatin1String(".partial")) || n.endsWith(QLatin1String(".download"))
                || n.endsWith(QLatin1String(".cancel")))
                out << n;
        }
        return out;
    }

    void send(const QStringList &arguments) { QVERIFY(m_service->send(arguments, serviceEnvironment())); }

    QProcessEnvironment serviceEnvironment() const
    {
        QProcessEnvironment env = m_env->environment();
        env.insert(QStringLiteral("ULX_TEST_APP_OUT"), m_out);
        return env;
    }

    void startService()
    {
        QVERIFY(m_service->start({QStringLiteral("/start_from:test")}, serviceEnvironment()));
        m_pid = m_service->pid();
        QTRY_VERIFY_WITH_TIMEOUT(!serverLines().filter(QStringLiteral("KPluginManager::readCatalog")).isEmpty(),
                                 KTestEnv::scaled(15000));
    }


    // run_app of `name`; returns when the task has finished.
    void runApp(const QString &name, const QString &params = QString())
    {
        const int before = serverLines().filter(QStringLiteral("KxUlxCloudSvrRunAppTask::finish %1 ").arg(name)).size();
        QStringList args{QStringLiteral("/run_app"), QStringLiteral("/plugin_name:") + name};
        if (!params.isEmpty())
            args << QStringLiteral("/plugin_params:") + params;
        send(args);
        QTRY_VERIFY_WITH_TIMEOUT(
            serverLines().filter(QStringLiteral("KxUlxCloudSvrRunAppTask::finish %1 ").arg(name)).size() > before,
            KTestEnv::scaled(20000));
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_env = std::make_unique<KTestEnv>();
        m_service = std::make_unique<ktest::KService>(*m_env);
        m_packages = m_env->root() + QStringLiteral("/packages");
        m_out = m_env->root() + QStringLiteral("/out");
        m_plugins = m_env->root() + QStringLiteral("/plugins");
        QDir().mkpath(m_packages);
        QDir().mkpath(m_out);

        // The good package: entry written with a backslash, group and key in other cases.
        const QString good = makePackage(QStringLiteral("good"), "[RunInfo]\nEntry=bin\\app\n");
        QVERIFY(!good.isEmpty());
        QVERIFY(ktest::writeFile(m_packages + QStringLiteral("/garbage.tar.gz"), QByteArray(4096, 'x')));
        // A package with a member that climbs out of the plugin's directory.
        const QString climbing = stageDir(QStringLiteral("climb"));
        QDir().mkpath(climbing + QStringLiteral("/inner"));
        QFile(climbing + QStringLiteral("/app.ini")).open(QIODevice::WriteOnly);
        {
            QProcess tar;
            tar.setWorkingDirectory(climbing + QStringLiteral("/inner"));
            tar.start(QStringLiteral("tar"), {QStringLiteral("-P"), QStringLiteral("-cf"), m_packages + QStringLiteral("/climb.tar"),
                                              QStringLiteral("../app.ini")});
            QVERIFY(tar.waitForFinished(10000) && tar.exitCode() == 0);
        }
        const qint64 size = QFileInfo(good).size();
        const QString hash = sha256(good);
        // Small pieces a second: the download lasts about 1.5 s.
        const QString rate = QString::number(qMax<qint64>(size * 2 / 3, 1));

        QTcpServer closed; // a port on which nobody listens once it is closed
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        m_refusedPort = closed.serverPort();
        closed.close();

        m_server = std::make_unique<KTestServer>(
            m_env->root(), QStringList{
                               "/good=slowfile:" + rate + ":" + good,
                               "/plain=file:" + good,
                               "/missing=status:404",
                               "/cut=cutfile:" + QString::number(size / 2) + ":" + good,
                               "/stall=stallfile:" + QString::number(size / 3) + ":" + good,
                               "/garbage=file:" + m_packages + "/garbage.tar.gz",
                               "/climb=file:" + m_packages + "/climb.tar",
                               "/slow=slowfile:" + QString::number(qMax<qint64>(size / 10, 1)) + ":" + good,
                           });
        QVERIFY(m_server->isRunning());
        m_tlsServer = std::make_unique<KTestServer>(m_env->root() + QStringLiteral("/tls"),
                                                    QStringList{"/good=file:" + good}, true);
        QVERIFY(m_tlsServer->isRunning());
        m_env->writeInstallConfig({{"Installation/LaunchExePath", KTestEnv::binPath(QStringLiteral("ulx"))},
                                   {"Installation/PluginCatalog", m_env->root() + QStringLiteral("/catalogue.json")},
                                   {"Installation/PluginsDir", m_plugins},
                                   {"Servers/CAFile", m_tlsServer->caFile()},
                                   {"Plugins/DownloadStallTimeoutMs", QString::number(KTestEnv::scaled(1500))}});

        addEntry(QStringLiteral("tlsapp"), m_tlsServer->url("/good"), size, hash);
        addEntry(QStringLiteral("webapp"), m_server->url("/good"), size, hash);
        addEntry(QStringLiteral("plainapp"), m_server->url("/plain"));
        addEntry(QStringLiteral("missingapp"), m_server->url("/missing"));
        addEntry(QStringLiteral("refusedapp"), QStringLiteral("http://127.0.0.1:%1/x").arg(m_refusedPort));
        addEntry(QStringLiteral("cutapp"), m_server->url("/cut"));
        addEntry(QStringLiteral("hashapp"), m_server->url("/plain"), size, QString(64, QLatin1Char('0')));
        addEntry(QStringLiteral("sizeapp"), m_server->url("/plain"), size + 1);
        addEntry(QStringLiteral("stallapp"), m_server->url("/stall"));
        addEntry(QStringLiteral("garbageapp"), m_server->url("/garbage"));
        addEntry(QStringLiteral("climbapp"), m_server->url("/climb"));
        addEntry(QStringLiteral("slowapp"), m_server->url("/slow"));
        addEntry(QStringLiteral("cancelapp"), m_server->url("/slow"));
        writeCatalogue();
        startService();
    }

    void cleanupTestCase() { QVERIFY(m_service->stop()); }

    // Downloaded once, then started with the arguments built from plugin_params.
    void downloadThenLaunch()
    {
        runApp(QStringLiteral("webapp"), QStringLiteral("a&b c&&\\u0041\\u0042&\\u00zz&\\u004"));
        QVERIFY2(logged("INFO KxUlxCloudSvrRunAppTask KxUlxCloudSvrRunAppTask::prepare webapp status 2"),
                 qPrintable(serverLines().join('\n')));
        QVERIFY(logged("INFO KxUlxCloudSvrRunAppTask KxUlxCloudSvrRunAppTask::finish webapp status 4"));
        QTRY_COMPARE_WITH_TIMEOUT(appStarts().size(), 1, KTestEnv::scaled(10000));
        const AppStart app = appStarts().first();
        const QString entry = m_plugins + QStringLiteral("/webapp/bin/app");
        const QStringList expected{entry, "a", "b c", "", "AB", "\\u00zz", "\\u004"};
        QVERIFY2(app.argv == expected, qPrintable(app.argv.join('|') + "\n" + serverLines().filter("launch").join('\n')));
        // Only the standard streams: nothing of the service reached the app.
        QCOMPARE(app.fds, (QStringList{"0", "1", "2"}));
        // The pid the service started is the app's own: the launcher became the app.
        QVERIFY2(serverLines().filter(QRegularExpression(QStringLiteral("launch .* process %1$").arg(app.pid))).size() == 1,
                 qPrintable(serverLines().join('\n')));
        QVERIFY(QFileInfo(entry).isExecutable());
        QCOMPARE(leftovers(), QStringList());
        QCOMPARE(m_server->records().size(), 1);
        QVERIFY(QFile(m_env->stateHome() + "/ulxcloudsvr/ulx.log").open(QIODevice::ReadOnly));
    }

    // HTTPS with the installation's CA file.
    void downloadOverTls()
    {
        const int before = appStarts().size();
        runApp(QStringLiteral("tlsapp"), QStringLiteral("t"));
        QTRY_COMPARE_WITH_TIMEOUT(appStarts().size(), before + 1, KTestEnv::scaled(10000));
        QVERIFY(logged("INFO KxUlxCloudSvrRunAppTask KxUlxCloudSvrRunAppTask::finish tlsapp status 4"));
        QCOMPARE(m_tlsServer->records().size(), 1);
    }

    // Without a name nothing is prepared; the service goes on.
    void namelessCommands_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::newRow("no name") << QStringList{"/run_app"};
        QTest::newRow("empty name") << QStringList{"/run_app", "/plugin_name:"};
    }

    void namelessCommands()
    {
        QFETCH(QStringList, args);
        const int before = serverLines().filter("KxUlxCloudSvrRunAppTask::prepare no app name").size();
        send(args);
        QTRY_COMPARE_WITH_TIMEOUT(serverLines().filter("KxUlxCloudSvrRunAppTask::prepare no app name").size(), before + 1,
                                  KTestEnv::scaled(10000));
        QCOMPARE(m_service->process()->state(), QProcess::Running);
    }

    // Installed: started again without a download.
    void secondRunStartsWithoutDownload()
    {
        const int requests = m_server->records().size();
        const int before = appStarts().size();
        runApp(QStringLiteral("webapp"));
        QTRY_COMPARE_WITH_TIMEOUT(appStarts().size(), before + 1, KTestEnv::scaled(10000));
        QCOMPARE(m_server->records().size(), requests);
        QVERIFY(logged("INFO KxUlxCloudSvrRunAppTask KxUlxCloudSvrRunAppTask::prepare webapp status 4"));
    }

    void faultsLeaveNothing_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("why");
        QTest::newRow("404") << "missingapp" << "answered HTTP status 404";
        QTest::newRow("refused") << "refusedapp" << "failed: Connection refused";
        QTest::newRow("truncated") << "cutapp" << "failed:";
        QTest::newRow("hash mismatch") << "hashapp" << "has SHA-256";
        QTest::newRow("size mismatch") << "sizeapp" << "the catalogue says";
        QTest::newRow("stall") << "stallapp" << "stalled: no data";
        QTest::newRow("not a tar") << "garbageapp" << "is not a tar archive";
        QTest::newRow("member outside") << "climbapp" << "has a member outside the plugin: ../app.ini";
        QTest::newRow("unknown app") << "nosuchapp" << "";
        QTest::newRow("escaping name") << "../webapp" << "";
        QTest::newRow("partial name") << "webapp.partial" << "";
    }

    // Each fault: no launch, nothing left behind, and the service goes on serving.
    void faultsLeaveNothing()
    {
        QFETCH(QString, name);
        QFETCH(QString, why);
        const int starts = appStarts().size();
        if (why.isEmpty()) {
            send({QStringLiteral("/run_app"), QStringLiteral("/plugin_name:") + name});
            QTRY_VERIFY_WITH_TIMEOUT(logged(QStringLiteral("INFO KxUlxCloudSvrRunAppTask KxUlxCloudSvrRunAppTask::prepare %1 status 1").arg(name)),
                                     KTestEnv::scaled(10000));
        } else {
            runApp(name);
            const QStringList failures = serverLines().filter(QStringLiteral("WARNING KPlugin KPlugin::load %1 install failed:").arg(name));
            QVERIFY2(failures.size() == 1 && failures.first().contains(why), qPrintable(serverLines().join('\n')));
            QVERIFY(logged(QStringLiteral("INFO KxUlxCloudSvrRunAppTask KxUlxCloudSvrRunAppTask::finish %1 status 5").arg(name)));
            QVERIFY(!QFileInfo::exists(m_plugins + QLatin1Char('/') + name));
        }
        QCOMPARE(leftovers(), QStringList());
        // Still serving: the installed app starts.
        runApp(QStringLiteral("webapp"));
        QTRY_COMPARE_WITH_TIMEOUT(appStarts().size(), starts + 1, KTestEnv::scaled(10000));
        QVERIFY(QFileInfo(m_plugins + QStringLiteral("/webapp/bin/app")).isFile());
    }

    // Bad app.ini contents and parameters of installed apps.
    void badInstalledApps_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<bool>("starts");
        QTest::newRow("no runinfo") << QByteArray("[other]\nentry=bin/app\n") << false;
        QTest::newRow("no entry") << QByteArray("[runinfo]\nname=x\n") << false;
        QTest::newRow("absolute entry") << QByteArray("[runinfo]\nentry=/bin/true\n") << false;
        QTest::newRow("climbing entry") << QByteArray("[runinfo]\nentry=../webapp/bin/app\n") << false;
        QTest::newRow("not executable") << QByteArray("[runinfo]\nentry=app.ini\n") << false;
        QTest::newRow("case and comment") << QByteArray("[RUNINFO]\nENTRY = bin/app ; the app\n") << true;
    }

    void badInstalledApps()
    {
        QFETCH(QByteArray, ini);
        QFETCH(bool, starts);
        // Installed by hand: a directory in the plugins directory counts as installed.
        const QString dir = m_plugins + QStringLiteral("/handapp");
        QDir(dir).removeRecursively();
        QVERIFY(QDir().mkpath(dir + QStringLiteral("/bin")));
        QVERIFY(QFile::copy(KTestEnv::binPath(QStringLiteral("tst_runapp_argvapp")), dir + QStringLiteral("/bin/app")));
        QVERIFY(ktest::writeFile(dir + QStringLiteral("/app.ini"), ini));
        const int before = appStarts().size();
        runApp(QStringLiteral("handapp"), QStringLiteral("x\\u0000y&z"));
        runApp(QStringLiteral("webapp")); // a marker start: everything before it has happened
        QTRY_COMPARE_WITH_TIMEOUT(appStarts().size(), before + (starts ? 2 : 1), KTestEnv::scaled(10000));
        if (starts) {
            // Nothing after a U+0000 is part of a command line.
            const QList<AppStart> all = appStarts();
            bool seen = false;
            for (const AppStart &s : all)
                seen = seen || s.argv == QStringList{dir + QStringLiteral("/bin/app"), QStringLiteral("x")};
            QVERIFY(seen);
        }
    }

    // A missing or unusable entry: the launcher warns and ends non-zero.
    void launcherRefusesBadEntries_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::newRow("missing") << QStringList{"Run", "/nonexistent/app"};
        QTest::newRow("not executable") << QStringList{"Run", "/etc/hostname"};
        QTest::newRow("directory") << QStringList{"Run", "/tmp"};
        QTest::newRow("no entry") << QStringList{"Run"};
    }

    void launcherRefusesBadEntries()
    {
        QFETCH(QStringList, args);
        QProcess ulx;
        ulx.setProcessEnvironment(serviceEnvironment());
        ulx.start(KTestEnv::binPath(QStringLiteral("ulx")), args);
        QVERIFY(ulx.waitForFinished(10000));
        QVERIFY(ulx.exitCode() != 0);
        QVERIFY(!ulx.readAllStandardError().isEmpty());
    }

    // Queued behind a slow download, a flood of commands waits; the cancel file
    // ends the download and the queue drains.
    void cancelFileAndFlood()
    {
        const int before = appStarts().size();
        send({"/run_app", "/plugin_name:cancelapp"});
        for (int i = 0; i < 20; ++i)
            send({"/run_app", "/plugin_name:webapp", QStringLiteral("/plugin_params:n%1").arg(i)});
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(m_plugins + "/cancelapp.download"), KTestEnv::scaled(10000));
        QCOMPARE(appStarts().size(), before); // one task at a time: the flood waits
        QFile cancel(m_plugins + "/cancelapp.cancel");
        QVERIFY(cancel.open(QIODevice::WriteOnly));
        cancel.close();
        QTRY_VERIFY_WITH_TIMEOUT(logged("INFO KxUlxCloudSvrRunAppTask KxUlxCloudSvrRunAppTask::finish cancelapp status 2"),
                                 KTestEnv::scaled(10000));
        QTRY_COMPARE_WITH_TIMEOUT(appStarts().size(), before + 20, KTestEnv::scaled(20000));
        QVERIFY(!QFileInfo::exists(m_plugins + "/cancelapp"));
        QCOMPARE(leftovers(), QStringList());
    }

    void endDuringDownload_data()
    {
        QTest::addColumn<bool>("forceExit");
        QTest::newRow("SIGTERM") << false;
        QTest::newRow("force_exit") << true;
    }

    // The service ends while it downloads: the download's files go with it.
    void endDuringDownload()
    {
        QFETCH(bool, forceExit);
        QDir(m_plugins + "/slowapp").removeRecursively();
        send({"/run_app", "/plugin_name:slowapp"});
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(m_plugins + "/slowapp.download"), KTestEnv::scaled(10000));
        if (forceExit)
            send({"/force_exit"});
        else
            ::kill(pid_t(m_pid), SIGTERM);
        QProcess *service = m_service->process();
        QVERIFY(service->waitForFinished(KTestEnv::scaled(10000)));
        QCOMPARE(service->exitStatus(), QProcess::NormalExit);
        QCOMPARE(service->exitCode(), 0);
        QCOMPARE(leftovers(), QStringList());
        QVERIFY(!QFileInfo::exists(m_plugins + "/slowapp"));
        startService();
    }
};

QTEST_GUILESS_MAIN(TestRunApp)

#include "tst_runapp.moc"
