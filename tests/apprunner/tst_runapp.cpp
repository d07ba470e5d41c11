// run_app for real: a ulxcloudsvr process in a private world whose catalogue names packages on the loopback
// test server; the apps are argvapp, which records how it was started, started through the build's launcher.
// The progress window is seen under Xvfb with a window manager (screenshots in the build's Testing directory).
#include "tests/common/ktestserver.h"
#include "tests/common/kworld.h"

#include <QCryptographicHash>
#include <QDir>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTest>

#include <memory>

namespace {
// The standard output of a tool that ended with 0 in time, else null.
QString tool(const QString &program, const QStringList &args, const QProcessEnvironment &env)
{
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(program, args);
    const bool ok = p.waitForFinished(KTestEnv::scaled(20000)) && p.exitStatus() == QProcess::NormalExit
                    && p.exitCode() == 0; // else the destructor kills it
    return ok ? QString::fromLocal8Bit(p.readAllStandardOutput()).trimmed() + QLatin1Char(' ') : QString();
}

// Pixels of the bar's filled part (the palette's highlight, a clear blue), and rows holding text.
std::pair<int, int> barAndTextRows(const QImage &image)
{
    int bar = 0;
    int rows = 0;
    for (int y = 0; y < image.height(); ++y) {
        bool dark = false;
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            bar += c.blue() > 120 && c.blue() > c.red() + 60 && c.blue() > c.green() + 20;
            dark = dark || qGray(c.rgb()) < 80;
        }
        rows += dark;
    }
    return {bar, rows};
}
} // namespace

class TestRunApp : public QObject
{
    Q_OBJECT
private:
    std::unique_ptr<KTestEnv> m_env;
    std::unique_ptr<KTestServer> m_server;
    std::unique_ptr<KTestServer> m_tlsServer;
    std::unique_ptr<ktest::KService> m_service;
    qint64 m_pid = 0;
    QString m_out;     // where argvapp writes
    QString m_plugins; // the world's plugins directory

    QStringList serverLines() const { return ktest::logLinesOf(*m_env, m_pid); }
    bool logged(const QString &text) const { return serverLines().contains(text); }

    // What each start of argvapp wrote ("arg ..." lines, then "fd ..." lines), by pid.
    QMap<qint64, QStringList> appStarts() const
    {
        QMap<qint64, QStringList> starts;
        for (const QString &name : QDir(m_out).entryList({QStringLiteral("*.txt")}, QDir::Files))
            starts.insert(name.section(QLatin1Char('.'), 0, 0).toLongLong(), ktest::readLines(m_out + '/' + name));
        return starts;
    }

    // Whatever is in the plugins directory besides complete plugins.
    QStringList leftovers() const
    {
        return QDir(m_plugins).entryList({"*.partial", "*.download", "*.cancel"}, QDir::AllEntries | QDir::Hidden);
    }

    void send(const QStringList &arguments) { QVERIFY(m_service->send(arguments)); }

    void startService(const QStringList &arguments = {QStringLiteral("/start_from:test")})
    {
        QVERIFY(m_service->start(arguments));
        m_pid = m_service->pid();
        QTRY_VERIFY_WITH_TIMEOUT(!serverLines().filter(QStringLiteral("KPluginManager::readCatalog")).isEmpty(),
                                 KTestEnv::scaled(15000));
    }

    // run_app of `name`; returns once the service logged `until` once more (by default: the task finished).
    void runApp(const QString &name, const QString &params = QString(), QString until = QString())
    {
        if (until.isEmpty())
            until = QStringLiteral("KxUlxCloudSvrRunAppTask::finish %1 ").arg(name);
        const qsizetype before = serverLines().filter(until).size();
        QStringList args{QStringLiteral("/run_app"), QStringLiteral("/plugin_name:") + name};
        if (!params.isEmpty())
            args << QStringLiteral("/plugin_params:") + params;
        send(args);
        QTRY_VERIFY_WITH_TIMEOUT(serverLines().filter(until).size() > before, KTestEnv::scaled(20000));
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_env = std::make_unique<KTestEnv>();
        m_service = std::make_unique<ktest::KService>(*m_env);
        const QString root = m_env->root();
        m_out = root + QStringLiteral("/out");
        m_plugins = root + QStringLiteral("/plugins");
        qputenv("ULX_TEST_APP_OUT", QFile::encodeName(m_out)); // for every process of the world
        // The good package: app.ini (its entry written with a backslash, group and key in other cases) and bin/app.
        QVERIFY(QDir().mkpath(m_out) && QDir().mkpath(root + "/stage/bin") && QDir().mkpath(root + "/climb/inner"));
        QVERIFY(ktest::writeFile(root + "/stage/app.ini", "[RunInfo]\nEntry=bin\\app\n"));
        QVERIFY(QFile::copy(KTestEnv::binPath(QStringLiteral("tst_runapp_argvapp")), root + "/stage/bin/app"));
        const QString good = root + QStringLiteral("/good.tar.gz");
        QCOMPARE(QProcess::execute(QStringLiteral("tar"), {"-czf", good, "-C", root + "/stage", "."}), 0);
        QVERIFY(ktest::writeFile(root + "/garbage.tar.gz", QByteArray(4096, 'x')));
        // A package with a member that climbs out of the plugin's directory.
        QVERIFY(ktest::writeFile(root + "/climb/app.ini", ""));
        QCOMPARE(QProcess::execute(QStringLiteral("tar"), {"-P", "-cf", root + "/climb.tar", "-C", root + "/climb/inner",
                                                           "../app.ini"}),
                 0);
        const qint64 size = QFileInfo(good).size();
        const QString sized = QString::number(size);

        QTcpServer closed; // a port on which nobody listens once it is closed
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        const QString refused = QStringLiteral("http://127.0.0.1:%1/x").arg(closed.serverPort());
        closed.close();
        // Pieces a second: "/good" lasts about 1.5 s, "/slow" 10 s, "/view" (the window's) 6 s, scaled.
        m_server = std::make_unique<KTestServer>(root, QStringList{
            "/good=slowfile:" + QString::number(qMax<qint64>(size * 2 / 3, 1)) + ":" + good,
            "/plain=file:" + good,
            "/missing=status:404",
            "/cut=cutfile:" + QString::number(size / 2) + ":" + good,
            "/stall=stallfile:" + QString::number(size / 3) + ":" + good,
            "/garbage=file:" + root + "/garbage.tar.gz",
            "/climb=file:" + root + "/climb.tar",
            "/slow=slowfile:" + QString::number(qMax<qint64>(size / 10, 1)) + ":" + good,
            "/view=slowfile:" + QString::number(qint64(size / (6 * KTestEnv::timeFactor()))) + ":" + good,
        });
        m_tlsServer = std::make_unique<KTestServer>(root + QStringLiteral("/tls"), QStringList{"/good=file:" + good}, true);
        QVERIFY(m_server->isRunning() && m_tlsServer->isRunning());
        m_env->writeInstallConfig({{"Installation/LaunchExePath", KTestEnv::binPath(QStringLiteral("ulx"))},
                                   {"Installation/PluginCatalog", root + QStringLiteral("/catalogue.json")},
                                   {"Installation/PluginsDir", m_plugins},
                                   {"Servers/CAFile", m_tlsServer->caFile()},
                                   {"Plugins/DownloadStallTimeoutMs", QString::number(KTestEnv::scaled(1500))}});

        const QString hash = QCryptographicHash::hash(ktest::readFile(good), QCryptographicHash::Sha256).toHex();
        const QList<QStringList> apps{
            {"tlsapp", m_tlsServer->url("/good"), sized, hash},
            {"webapp", m_server->url("/good"), sized, hash},
            {"missingapp", m_server->url("/missing")},
            {"refusedapp", refused},
            {"cutapp", m_server->url("/cut")},
            {"hashapp", m_server->url("/plain"), sized, QString(64, QLatin1Char('0'))},
            {"sizeapp", m_server->url("/plain"), QString::number(size + 1)},
            {"stallapp", m_server->url("/stall")},
            {"garbageapp", m_server->url("/garbage")},
            {"climbapp", m_server->url("/climb")},
            {"slowapp", m_server->url("/slow")},
            {"cancelapp", m_server->url("/slow")},
            {"viewapp", m_server->url("/view"), sized},
        };
        QJsonArray catalogue;
        for (const QStringList &app : apps) {
            QJsonObject e{{"name", app[0]}, {"version", "1.0"}, {"desc", "App " + app[0]}, {"url", app[1]}};
            if (app.size() > 2)
                e.insert("size", app[2].toDouble());
            if (app.size() > 3)
                e.insert("sha256", app[3]);
            catalogue.append(e);
        }
        // Package directories, one with a link to nothing, one missing; entries the catalogue skips: names of
        // no plugin directory, libraries outside the plugin, what is no object, the second "webapp".
        QVERIFY(ktest::writeFile(root + "/dangling/a", "") && QFile::link(root + "/nowhere", root + "/dangling/gone"));
        catalogue << QJsonObject{{"name", "danglingapp"}, {"package", root + "/dangling"}}
                  << QJsonObject{{"name", "nopackageapp"}, {"package", root + "/none"}};
        for (const char *junk : {"", "../evil", ".hidden", "a/b", "kx.partial"})
            catalogue << QJsonObject{{"name", junk}};
        catalogue << QJsonObject{{"name", "klibup"}, {"library", "../../libevil.so"}} << 42
                  << QJsonObject{{"name", "klibabs"}, {"library", "/usr/lib/libevil.so"}}
                  << QJsonObject{{"name", "webapp"}};
        QVERIFY(ktest::writeFile(root + QStringLiteral("/catalogue.json"),
                                 QJsonDocument(QJsonObject{{"plugins", catalogue}}).toJson()));
        // The first start's own command arrives before the catalogue has been read: it waits for it.
        const QString params = QStringLiteral("a&b c&&\\u0041\\u0042&\\u00zz&\\u004&\\u0x41&\\u+041&\\u 041&\\U0041"
                                              "&\\u005cu0041&say \\u0022hi\\u0022&\\u0022a b&a b\\&\\u0020x");
        startService({"/run_app", "/plugin_name:webapp", "/plugin_params:" + params});
        QVERIFY(logged("WARNING KPluginManager KPluginManager::readCatalog skipped entries: <unnamed> ../evil .hidden a/b "
                       "kx.partial klibup <unnamed> klibabs webapp"));
    }

    // Downloaded once and started with the arguments built from plugin_params, each piece one argument
    // exactly as decoded; then started again without a download; over HTTPS with the installation's CA file.
    void downloadThenLaunch()
    {
        QTRY_VERIFY_WITH_TIMEOUT(logged("INFO KxUlxCloudSvrRunAppTask KxUlxCloudSvrRunAppTask::finish webapp status 4"),
                                 KTestEnv::scaled(20000));
        QVERIFY(logged("INFO KxUlxCloudSvrRunAppTask KxUlxCloudSvrRunAppTask::prepare webapp status 2"));
        QTRY_COMPARE_WITH_TIMEOUT(appStarts().size(), 1, KTestEnv::scaled(10000));
        const QString entry = m_plugins + QStringLiteral("/webapp/bin/app");
        // Only the standard streams: nothing of the service reached the app.
        const QStringList expected{"arg " + entry, "arg a", "arg b c", "arg ", "arg AB", "arg \\u00zz", "arg \\u004",
                                   "arg \\u0x41", "arg \\u+041", "arg \\u 041", "arg \\U0041", "arg \\u0041",
                                   "arg say \"hi\"", "arg \"a b", "arg a b\\", "arg  x", "fd 0", "fd 1", "fd 2"};
        QCOMPARE(appStarts().first(), expected);
        // The pid the service started is the app's own: the launcher became the app.
        const QRegularExpression launched(QStringLiteral("launch .* process %1$").arg(appStarts().firstKey()));
        QCOMPARE(serverLines().filter(launched).size(), 1);
        QCOMPARE(leftovers(), QStringList());
        QCOMPARE(m_server->records().size(), 1);

        runApp(QStringLiteral("webapp"));
        QTRY_COMPARE_WITH_TIMEOUT(appStarts().size(), 2, KTestEnv::scaled(10000));
        QVERIFY(appStarts().values().contains(QStringList{"arg " + entry, "fd 0", "fd 1", "fd 2"}));
        QCOMPARE(m_server->records().size(), 1);

        runApp(QStringLiteral("tlsapp"), QStringLiteral("t"));
        QTRY_COMPARE_WITH_TIMEOUT(appStarts().size(), 3, KTestEnv::scaled(10000));
        QCOMPARE(m_tlsServer->records().size(), 1);
    }

    void refusals_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("ini"); // not null: the app is installed by hand, with this app.ini
        QTest::addColumn<QString>("until");  // the line that ends the command
        QTest::addColumn<QString>("why");    // a pattern of a line logged once
        const auto failed = [](const char *name, const char *why) {
            QTest::newRow(why) << name << QByteArray() << QStringLiteral("finish %1 status 5").arg(name)
                               << QStringLiteral("KPlugin::load %1 install failed: .*").arg(name) + why;
        };
        failed("missingapp", "answered HTTP status 404");
        failed("refusedapp", "failed: Connection refused");
        failed("cutapp", "failed:");
        failed("hashapp", "has SHA-256");
        failed("sizeapp", "the catalogue says");
        failed("stallapp", "stalled: no data");
        failed("garbageapp", "is not a tar archive");
        failed("climbapp", "has a member outside the plugin: ../app.ini");
        failed("danglingapp", "link outside the plugin or to nothing: gone");
        failed("nopackageapp", "none");
        for (const char *name : {"nosuchapp", "../webapp", "webapp.partial", "klibup"})
            QTest::newRow(name) << name << QByteArray() << QStringLiteral("prepare %1 status 1").arg(name) << "";
        QTest::newRow("empty name") << "" << QByteArray() << "prepare no app name" << "";
        const auto installed = [](const char *name, const char *ini, const char *why) {
            QTest::newRow(name) << name << QByteArray(ini) << QStringLiteral("finish %1 status 4").arg(name) << why;
        };
        installed("absentry", "[runinfo]\nentry=/bin/true\n", "absentry entry /bin/true is outside the app");
        installed("climbentry", "[runinfo]\nentry=../webapp/bin/app\n", "climbentry entry ../webapp/bin/app is outside");
        installed("noexec", "[runinfo]\nentry=app.ini\n", "noexec/app.ini is not an executable file");
        installed("quoted", "[runinfo]\nentry=\"my dir\\app\"\n", "quoted/my dir/app is not an executable file");
        installed("comma", "[runinfo]\nentry=a,b\n", "comma/a,b is not an executable file");
        installed("inidirectory", "/", "");
        installed("othergroup", "[other]\nentry=x\n[runinfo]\nname=y\n", "");
        // A quote would end the entry's quoted path and let the package add arguments of its own.
        installed("quote", "[runinfo]\nentry=a\" /x \"b\n", "quote entry a\" /x \"b is outside the app");
        installed("caseapp", "[RUNINFO]\nENTRY = bin/app ; the app\n", "");
    }

    // Each: no launch (but the case-insensitive app.ini), nothing left behind, and the service goes on.
    void refusals()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, ini);
        QFETCH(QString, until);
        QFETCH(QString, why);
        const QString dir = m_plugins + QLatin1Char('/') + name;
        if (!ini.isNull()) { // a directory in the plugins directory counts as installed
            const QString iniPath = dir + QStringLiteral("/app.ini");
            QVERIFY(ini == "/" ? QDir().mkpath(iniPath) : ktest::writeFile(iniPath, ini)); // "/": a directory
            QVERIFY(QDir().mkpath(dir + "/bin"));
            QVERIFY(QFile::copy(KTestEnv::binPath(QStringLiteral("tst_runapp_argvapp")), dir + "/bin/app"));
        }
        const QRegularExpression launch(QStringLiteral("RunAppTask::launch .* process "));
        const qsizetype launches = serverLines().filter(launch).size();
        runApp(name, QStringLiteral("x\\u0000y&z"), until);
        if (!why.isEmpty())
            QVERIFY2(serverLines().filter(QRegularExpression(why)).size() == 1, qPrintable(serverLines().join('\n')));
        QCOMPARE(leftovers(), QStringList());
        QCOMPARE(QFileInfo::exists(dir), !ini.isNull() || name.isEmpty());
        if (name != QLatin1String("caseapp")) {
            QCOMPARE(serverLines().filter(launch).size(), launches);
            return;
        }
        // Nothing after a U+0000 is part of a command line.
        const QStringList argv{"arg " + dir + "/bin/app", "arg x"};
        QTRY_VERIFY_WITH_TIMEOUT(appStarts().values().contains(argv + QStringList{"fd 0", "fd 1", "fd 2"}),
                                 KTestEnv::scaled(10000));
    }

    // A missing or unusable entry: the launcher warns and ends non-zero.
    void launcherRefusesBadEntries()
    {
        for (const QStringList &args : QList<QStringList>{{"Run", "/nonexistent/app"}, {"Run", "/etc/hostname"},
                                                          {"Run", "/tmp"}, {"Run"}}) {
            QProcess ulx;
            ulx.start(KTestEnv::binPath(QStringLiteral("ulx")), args);
            QVERIFY(ulx.waitForFinished(10000));
            QVERIFY2(ulx.exitCode() != 0 && !ulx.readAllStandardError().isEmpty(), qPrintable(args.join(' ')));
        }
    }

    // Behind a slow download a flood of commands waits; the cancel file ends the download, the queue drains.
    void cancelFileAndFlood()
    {
        const qsizetype before = appStarts().size();
        send({"/run_app", "/plugin_name:cancelapp"});
        for (int i = 0; i < 20; ++i)
            send({"/run_app", "/plugin_name:webapp", QStringLiteral("/plugin_params:n%1").arg(i)});
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(m_plugins + "/cancelapp.download"), KTestEnv::scaled(10000));
        QCOMPARE(appStarts().size(), before); // one task at a time: the flood waits
        QVERIFY(ktest::writeFile(m_plugins + "/cancelapp.cancel", ""));
        QTRY_VERIFY_WITH_TIMEOUT(logged("INFO KxUlxCloudSvrRunAppTask KxUlxCloudSvrRunAppTask::finish cancelapp status 2"),
                                 KTestEnv::scaled(10000));
        QTRY_COMPARE_WITH_TIMEOUT(appStarts().size(), before + 20, KTestEnv::scaled(20000));
        QVERIFY(!QFileInfo::exists(m_plugins + "/cancelapp"));
        QCOMPARE(leftovers(), QStringList());
    }

    // The service ends while it downloads, by SIGTERM and then by force_exit: the download's files go with it.
    void endDuringDownload()
    {
        for (const bool forceExit : {false, true}) {
            send({"/run_app", "/plugin_name:slowapp"});
            QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(m_plugins + "/slowapp.download"), KTestEnv::scaled(10000));
            if (forceExit) {
                send({"/force_exit"});
                QProcess *service = m_service->process();
                QVERIFY(service->waitForFinished(KTestEnv::scaled(10000)));
                QVERIFY(service->exitStatus() == QProcess::NormalExit && service->exitCode() == 0);
            } else {
                QVERIFY(m_service->stop()); // SIGTERM; true only for an exit code 0 of its own
            }
            QCOMPARE(leftovers(), QStringList());
            QVERIFY(!QFileInfo::exists(m_plugins + "/slowapp"));
            startService();
        }
    }

    // The person sees the bar grow in two screenshots and closes the window through the window manager: the
    // download goes on and the app starts; started again once installed, it shows no window.
    void windowUnderXvfb()
    {
        const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
        if (xvfb.isEmpty())
            QSKIP("Xvfb cannot start here: it is not installed (scripts/deps.sh installs it)");
        QProcess x;
        x.start(xvfb, {"-displayfd", "1", "-screen", "0", "800x600x24", "-nolisten", "tcp"});
        QTRY_VERIFY_WITH_TIMEOUT(x.canReadLine() || x.state() == QProcess::NotRunning, KTestEnv::scaled(10000));
        if (!x.canReadLine())
            QSKIP(qPrintable("Xvfb cannot start here: " + x.readAllStandardError().trimmed().right(300)));
        auto stopX = qScopeGuard([&x] {
            x.terminate();
            x.waitForFinished(5000);
        });
        QProcessEnvironment env = m_env->environment();
        env.remove(QStringLiteral("QT_QPA_PLATFORM")); // the service picks its own platform
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        env.insert(QStringLiteral("DISPLAY"), QLatin1Char(':') + QString::fromLatin1(x.readLine().trimmed()));
        QProcess wm; // scripts/deps.sh installs openbox, wmctrl, xdotool and import
        wm.setProcessEnvironment(env);
        wm.setProcessChannelMode(QProcess::ForwardedChannels); // its complaints, if any, go to the test's log
        auto stopWm = qScopeGuard([&wm] {
            wm.terminate();
            wm.waitForFinished(5000);
        });
        // openbox takes the screen: a window manager is running. On a loaded machine it may not get
        // through to a fresh display at once and ends: it is started again.
        const auto managed = [&env, &wm] {
            if (wm.state() == QProcess::NotRunning)
                wm.start(QStringLiteral("openbox"), {QStringLiteral("--sm-disable")});
            return !tool(QStringLiteral("wmctrl"), {"-m"}, env).isNull();
        };
        QTRY_VERIFY2_WITH_TIMEOUT(managed(), qPrintable(env.value(QStringLiteral("DISPLAY"))), KTestEnv::scaled(30000));

        const qsizetype before = appStarts().size();
        QVERIFY(m_service->stop());
        QVERIFY(m_service->start({"/run_app", "/plugin_name:viewapp"}, env));
        m_pid = m_service->pid();
        const QString pid = QString::number(m_pid);
        const QString found = tool(QStringLiteral("xdotool"), {"search", "--sync", "--onlyvisible", "--pid", pid}, env);
        QVERIFY2(!found.trimmed().isEmpty(), "the service's window did not appear");
        const QString wid = found.section(QLatin1Char('\n'), 0, 0).trimmed();
        QDir().mkpath(QStringLiteral(ULX_TEST_ARTIFACT_DIR));
        const QString first = QStringLiteral(ULX_TEST_ARTIFACT_DIR "/runapp-window-1.png");
        const QString second = QStringLiteral(ULX_TEST_ARTIFACT_DIR "/runapp-window-2.png");
        QTRY_VERIFY_WITH_TIMEOUT(!tool(QStringLiteral("import"), {"-window", wid, first}, env).isNull()
                                     && barAndTextRows(QImage(first)).first > 0,
                                 KTestEnv::scaled(5000));
        QTest::qWait(KTestEnv::scaled(1500));
        QVERIFY(!tool(QStringLiteral("import"), {"-window", wid, second}, env).isNull());
        const auto [bar1, text1] = barAndTextRows(QImage(first));
        const auto [bar2, text2] = barAndTextRows(QImage(second));
        // The texts: "icon" and the description on one line, the status below.
        QVERIFY2(text1 >= 12, qPrintable(QString::number(text1)));
        QVERIFY2(bar2 > bar1, qPrintable(QStringLiteral("%1 -> %2").arg(bar1).arg(bar2)));
        QCOMPARE(appStarts().size(), before);

        // The person closes it as a window manager lets them: the service stays and the download goes on.
        QVERIFY(!tool(QStringLiteral("wmctrl"), {"-i", "-c", wid}, env).isNull());
        const QStringList visible{"search", "--onlyvisible", "--pid", pid};
        QTRY_VERIFY_WITH_TIMEOUT(tool(QStringLiteral("xdotool"), visible, env).trimmed().isEmpty(),
                                 KTestEnv::scaled(5000));
        QTRY_COMPARE_WITH_TIMEOUT(appStarts().size(), before + 1, KTestEnv::scaled(20000));
        QCOMPARE(m_service->process()->state(), QProcess::Running);

        // Installed now: started again, no window.
        runApp(QStringLiteral("viewapp"));
        QTRY_COMPARE_WITH_TIMEOUT(appStarts().size(), before + 2, KTestEnv::scaled(10000));
        QVERIFY(tool(QStringLiteral("xdotool"), visible, env).trimmed().isEmpty());
        QVERIFY(m_service->stop());
    }
};

QTEST_GUILESS_MAIN(TestRunApp)

#include "tst_runapp.moc"
