// The service as people, the suite and a desktop session start it: real ulxcloudsvr
// processes, each scenario in a private world of its own (HOME, XDG and runtime
// directories, installation configuration).

#include "platform/registry/kregsettings.h"
#include "tests/common/ktestserver.h"
#include "tests/common/kworld.h"

#include <QDir>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTest>

#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

namespace {
const QString Category = QStringLiteral("KxUlxCloudSvrApplication");
const QString Office = QStringLiteral("HKEY_CURRENT_USER\\Software\\Corvanta\\Office\\6.0\\");
// Qt Network, the network module and Qt's TLS backends (plugins/tls).
const QStringList NetworkFiles{QStringLiteral("libQt6Network"), QStringLiteral("libulxnetwork"),
                               QStringLiteral("/tls/")};

QString dispatched(const QString &line)
{
    return QStringLiteral("KxUlxCloudSvrApplication::onIPCTransmission ") + line;
}

// The value of the first line "KEY<separator>value" of `text`.
QString valueOf(const QString &text, const QString &key, QChar separator = QLatin1Char('='))
{
    const QRegularExpression line(QLatin1Char('^') + key + separator + QStringLiteral("\\s*(.*)$"),
                                  QRegularExpression::MultilineOption);
    return line.match(text).captured(1);
}

QString fileText(const QString &path)
{
    return QString::fromUtf8(ktest::readFile(path));
}

QString mapsOf(qint64 pid)
{
    return fileText(QStringLiteral("/proc/%1/maps").arg(pid));
}

// Voluntary context switches of each thread of `pid`, by "tid name".
QMap<QString, qint64> switchesOf(qint64 pid)
{
    QMap<QString, qint64> result;
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    for (const QString &tid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QString status = fileText(tasks.filePath(tid + QStringLiteral("/status")));
        const qint64 count = valueOf(status, QStringLiteral("voluntary_ctxt_switches"), QLatin1Char(':')).toLongLong();
        result.insert(tid + QLatin1Char(' ') + valueOf(status, QStringLiteral("Name"), QLatin1Char(':')), count);
    }
    return result;
}
} // namespace

class TestService : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase()
    {
        for (const char *name : {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "all_proxy"})
            qunsetenv(name);
    }

    void serves_data()
    {
        QTest::addColumn<QString>("display");
        QTest::addColumn<QString>("waylandDisplay");
        QTest::addColumn<QString>("features");
        QTest::addColumn<QString>("socket");
        QTest::addColumn<bool>("forceExit");
        QTest::newRow("no display, SIGTERM") << QString() << QString() << QString()
                                             << QStringLiteral("UlxCloudSvr.sock") << false;
        QTest::newRow("stale X display, force_exit") << QStringLiteral(":87") << QString() << QString()
                                                     << QStringLiteral("UlxCloudSvr.sock") << true;
        // Store installations serve, and send to, a channel of their own.
        QTest::newRow("stale displays, store installation")
            << QStringLiteral(":87") << QStringLiteral("ulx-none-87") << QStringLiteral("IsUwp")
            << QStringLiteral("UlxCloudSvr_Uwp.sock") << false;
    }

    // The first start serves, its own line first; a second start hands its line over
    // and ends with 0; only the serving process tells the terminal it serves; both ways
    // of ending run the normal shutdown, which withdraws the socket. A display that
    // names no server (left over from an ended session) must not abort the service.
    void serves()
    {
        QFETCH(QString, display);
        QFETCH(QString, waylandDisplay);
        QFETCH(QString, features);
        QFETCH(QString, socket);
        QFETCH(bool, forceExit);
        if (QFile::exists(QStringLiteral("/tmp/.X11-unix/X87")))
            QSKIP("an X server listens on :87 here");
        KTestEnv world({{QStringLiteral("Installation/Features"), features}});
        QProcessEnvironment env = world.environment();
        for (const char *name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
            env.remove(QLatin1String(name));
        if (!display.isEmpty())
            env.insert(QStringLiteral("DISPLAY"), display);
        if (!waylandDisplay.isEmpty())
            env.insert(QStringLiteral("WAYLAND_DISPLAY"), waylandDisplay);
        const auto runtimeFiles = [&world] {
            const QDir dir(world.runtimeDir() + QStringLiteral("/ulxcloudsvr"));
            return dir.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System);
        };

        // Both starts get a terminal as their standard error.
        int master = -1;
        int slave = -1;
        QVERIFY(::openpty(&master, &slave, nullptr, nullptr, nullptr) == 0);
        ::fcntl(master, F_SETFL, O_NONBLOCK);
        const int ownStderr = ::dup(STDERR_FILENO);
        ::dup2(slave, STDERR_FILENO);
        const auto closeAll = qScopeGuard([&] {
            ::dup2(ownStderr, STDERR_FILENO);
            ::close(ownStderr);
            ::close(slave);
            ::close(master);
        });

        ktest::KService service(world);
        QVERIFY(service.start({QStringLiteral("/run_plugin"), QStringLiteral("/plugin_name:kfoo")}, env));
        QVERIFY(ktest::waitForLog(world, Category, dispatched(QStringLiteral("/run_plugin /plugin_name:kfoo")), 10000));
        const qint64 pid = service.pid();
        const QStringList lines = ktest::logLinesOf(world, pid).filter(QLatin1Char(' ') + Category + QLatin1Char(' '));
        QCOMPARE(lines.value(0), QStringLiteral("FIXED KxUlxCloudSvrApplication KxUlxCloudSvrApplication::init "
                                                "/run_plugin /plugin_name:kfoo"));
        QVERIFY(lines.contains(QStringLiteral(
            "INFO KxUlxCloudSvrApplication KxUlxCloudSvrApplication::onRunPlugin /plugin_name=kfoo ")));
        const QStringList files = runtimeFiles();
        QCOMPARE(files.filter(QStringLiteral(".sock")), QStringList{socket});

        QVERIFY(service.send({QStringLiteral("/inner_plugin:KNobody"), QStringLiteral("two words"),
                              QStringLiteral("a\"q")}, env));
        // The log writes a backslash as "\\".
        const QString forwarded = QStringLiteral("/inner_plugin:KNobody \"two words\" \"a\\\\\"q\"");
        QVERIFY(ktest::waitForLog(world, Category, dispatched(forwarded), 5000));
        // Handed over by the second start, dispatched once, by the serving process.
        QCOMPARE(ktest::logMessages(world, Category).count(QStringLiteral("KxUlxCloudSvrApplication::init ") + forwarded), 1);
        QCOMPARE(ktest::logMessages(world, Category).count(dispatched(forwarded)), 1);
        QVERIFY(ktest::logLinesOf(world, pid).contains(QStringLiteral("FIXED ") + Category + QLatin1Char(' ')
                                                       + dispatched(forwarded)));
        QCOMPARE(runtimeFiles(), files);

        ::dup2(ownStderr, STDERR_FILENO);
        QByteArray text;
        char buf[512];
        ssize_t n;
        while ((n = ::read(master, buf, sizeof buf)) > 0)
            text.append(buf, n);
        // Qt's own words about the display aside, the terminal got one line.
        QStringList said = QString::fromLocal8Bit(text).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
        said.removeIf([](const QString &line) { return line.startsWith(QLatin1String("qt.")); });
        QCOMPARE(said, QStringList{QStringLiteral("ulxcloudsvr: serving (process %1); log: %2").arg(pid).arg(world.logPath())});

        if (forceExit) {
            QVERIFY(service.send({QStringLiteral("/force_exit"), QStringLiteral("/broadcast")}, env));
            QVERIFY(service.process()->waitForFinished(KTestEnv::scaled(10000)));
            QVERIFY(service.process()->exitStatus() == QProcess::NormalExit && service.process()->exitCode() == 0);
        } else {
            QVERIFY(service.stop());
        }
        QCOMPARE(runtimeFiles().filter(QStringLiteral(".sock")), QStringList());
    }

    // `cmake --install` into a temporary prefix gives a service that serves as it
    // stands, started the way the autostart entry and the user unit start it.
    void installedServiceServes()
    {
        KTestEnv world;
        const QString prefix = world.root() + QStringLiteral("/prefix");
        QProcess install;
        install.setProcessChannelMode(QProcess::MergedChannels);
        install.start(QStringLiteral(ULX_CMAKE_COMMAND),
                      {QStringLiteral("--install"), QStringLiteral(ULX_BUILD_DIR), QStringLiteral("--prefix"), prefix});
        QVERIFY(install.waitForFinished(KTestEnv::scaled(60000)));
        QVERIFY2(install.exitCode() == 0, install.readAll().constData());

        const QString command = valueOf(fileText(prefix + QStringLiteral("/" ULX_INSTALL_SYSCONFDIR
                                                                         "/xdg/autostart/ulxcloudsvr.desktop")),
                                        QStringLiteral("Exec"));
        QCOMPARE(command, prefix + QStringLiteral("/" ULX_INSTALL_BINDIR "/ulxcloudsvr /start_from:logon"));
        const QString unit = fileText(prefix + QStringLiteral("/lib/systemd/user/ulxcloudsvr.service"));
        QCOMPARE(valueOf(unit, QStringLiteral("ExecStart")), command);
        const QString privateDir = prefix + QStringLiteral("/" ULX_INSTALL_LIBDIR "/ulxcloudsvr");
        QVERIFY2(QFile::exists(privateDir + QStringLiteral("/ulxinstall.ini")),
                 "no installation configuration beside the libraries");
        QVERIFY(valueOf(fileText(privateDir + QStringLiteral("/ulxinstall.ini")), QStringLiteral("OfficeDir")).isEmpty());
        // The build's suite plugins are installed with it, when it has any.
        QCOMPARE(QDir(privateDir + QStringLiteral("/plugins")).exists(),
                 QDir(KTestEnv::binPath(QStringLiteral("plugins"))).exists());

        // Nothing of the build or of the test world leads the installed service.
        QProcessEnvironment env = world.environment();
        for (const char *name : {"ULX_INSTALL_CONFIG", "ULX_BIN_DIR", "LD_LIBRARY_PATH"})
            env.remove(QLatin1String(name));
        QStringList arguments = QProcess::splitCommand(command);
        QProcess service;
        service.setProcessEnvironment(env);
        service.setProcessChannelMode(QProcess::ForwardedChannels);
        service.start(arguments.takeFirst(), arguments);
        QVERIFY(ktest::waitForLog(world, Category, dispatched(QStringLiteral("/start_from:logon")), 10000));
        const QString maps = mapsOf(service.processId());
        for (const char *library : {"libulxcloudsvrimp.so", "libulxsuite.so", "libulxplatform.so"})
            QVERIFY2(maps.contains(privateDir + QLatin1Char('/') + QLatin1String(library)), library);
        QVERIFY(!maps.contains(QStringLiteral(ULX_BUILD_DIR)));
        service.terminate();
        QVERIFY(service.waitForFinished(KTestEnv::scaled(10000)));
        QCOMPARE(service.exitCode(), 0);
    }

    void networkLibraries_data()
    {
        QTest::addColumn<bool>("geoService");
        QTest::newRow("nothing configured") << false;
        // TLS 1.2 is the oldest protocol the service accepts, not the only one: a
        // server that speaks nothing below TLS 1.3 gives the service its country.
        QTest::newRow("geo service, TLS 1.3 only") << true;
    }

    // A forwarding start never maps a network stack; a serving process maps them
    // only once a configured endpoint makes it send a request.
    void networkLibraries()
    {
        QFETCH(bool, geoService);
        KTestEnv world;
        const QString answer = world.root() + QStringLiteral("/geo.json");
        QVERIFY(ktest::writeFile(answer, "{\"result\":\"PT\"}"));
        KTestServer geo(world.root(), {QStringLiteral("/api/util/geo/country=file:") + answer}, true, 0, true);
        QVERIFY(geo.isRunning());
        world.writeInstallConfig({{QStringLiteral("Servers/GeoSvr"), geoService ? geo.url(QString()) : QString()}});

        ktest::KService service(world);
        QVERIFY(service.start({QStringLiteral("/start_from:test")}));
        QVERIFY(ktest::waitForLog(world, Category, dispatched(QStringLiteral("/start_from:test")), 10000));
        if (geoService) {
            const KRegSettings pluginMgr(Office + QStringLiteral("Common\\PluginMgr"));
            QTRY_COMPARE_WITH_TIMEOUT(pluginMgr.value(QStringLiteral("Nation")).toString(), QStringLiteral("PT"),
                                      KTestEnv::scaled(10000));
        }

        // Every file the forwarding start's loader maps, dlopen included.
        QProcessEnvironment env = world.environment();
        env.insert(QStringLiteral("LD_DEBUG"), QStringLiteral("files"));
        env.insert(QStringLiteral("LD_DEBUG_OUTPUT"), world.root() + QStringLiteral("/ld"));
        QVERIFY(service.send({QStringLiteral("/broadcast"), QStringLiteral("/x")}, env));
        QVERIFY(ktest::waitForLog(world, Category, dispatched(QStringLiteral("/broadcast /x")), 10000));
        QString loaded;
        const QDir traces(world.root(), QStringLiteral("ld.*"));
        for (const QString &file : traces.entryList(QDir::Files))
            loaded += fileText(traces.filePath(file));
        QVERIFY(loaded.contains(QStringLiteral("libulxcloudsvrimp.so")));
        const QString maps = mapsOf(service.pid());
        QVERIFY(maps.contains(QStringLiteral("libulxcloudsvrimp.so")));
        for (const QString &name : NetworkFiles) {
            QVERIFY2(!loaded.contains(name), qPrintable(name));
            QVERIFY2(maps.contains(name) == geoService, qPrintable(name));
        }
        QVERIFY(service.stop());
    }

    void idle_data()
    {
        QTest::addColumn<bool>("x11");
        QTest::newRow("offscreen") << false;
        QTest::newRow("X11, GNOME session with ibus") << true;
    }

    // What an idle serving process keeps, offscreen and under an X server of this
    // test's own started as a GNOME session with an input method starts it: no thread
    // wakes (the watchdog's first probe is a minute away, and the working-set trims come
    // every second here until they rest), every thread it starts has a name of its own,
    // and no platform theme, input method or image-format plugin is loaded.
    void idle()
    {
#if defined(__SANITIZE_THREAD__)
        QSKIP("ThreadSanitizer adds a thread of its own that wakes");
#endif
        QFETCH(bool, x11);
        KTestEnv world;
        KRegSettings(Office + QStringLiteral("ulxcloudsvr\\Application Settings"))
            .setValue(QStringLiteral("ReduceProcessWSSec"), 1);
        QProcessEnvironment env = world.environment();
        QProcess xvfb;
        auto stopXvfb = qScopeGuard([&xvfb] {
            xvfb.terminate();
            xvfb.waitForFinished(KTestEnv::scaled(5000));
        });
        if (x11) {
            xvfb.start(QStandardPaths::findExecutable(QStringLiteral("Xvfb")),
                       {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-nolisten"), QStringLiteral("tcp")});
            if (!xvfb.waitForReadyRead(KTestEnv::scaled(10000)))
                QSKIP("Xvfb cannot start here (scripts/deps.sh installs it)");
            env.remove(QStringLiteral("QT_QPA_PLATFORM"));
            env.remove(QStringLiteral("WAYLAND_DISPLAY"));
            env.insert(QStringLiteral("DISPLAY"), QLatin1Char(':') + QString::fromLatin1(xvfb.readLine().trimmed()));
            env.insert(QStringLiteral("XDG_CURRENT_DESKTOP"), QStringLiteral("GNOME"));
            env.insert(QStringLiteral("QT_IM_MODULE"), QStringLiteral("ibus"));
        }
        ktest::KService service(world);
        QVERIFY(service.start({QStringLiteral("/start_from:idle")}, env));
        QVERIFY(ktest::waitForLog(world, Category, dispatched(QStringLiteral("/start_from:idle")), 20000));
        const qint64 pid = service.pid();

        // Two trims after the start's own command line, then they rest.
        QTest::qWait(KTestEnv::scaled(3000));
        const QMap<QString, qint64> before = switchesOf(pid);
        QTest::qWait(KTestEnv::scaled(2500));
        const QMap<QString, qint64> after = switchesOf(pid);
        QStringList woken;
        QStringList unnamed;
        for (auto it = after.cbegin(); it != after.cend(); ++it) {
            if (it.value() != before.value(it.key(), 0))
                woken << QStringLiteral("%1: %2").arg(it.key()).arg(it.value() - before.value(it.key(), 0));
            if (it.key() != QStringLiteral("%1 ulxcloudsvr").arg(pid) && it.key().endsWith(QLatin1String(" ulxcloudsvr")))
                unnamed << it.key();
        }
        QVERIFY2(woken.isEmpty(), qPrintable(woken.join(QStringLiteral(", "))));
        QVERIFY2(unnamed.isEmpty(), qPrintable(unnamed.join(QStringLiteral(", "))));
        const QString maps = mapsOf(pid);
        for (const char *kind : {"/platformthemes/", "/platforminputcontexts/", "/imageformats/"})
            QVERIFY2(!maps.contains(QLatin1String(kind)), kind);
        QVERIFY(service.stop());
    }
};

QTEST_GUILESS_MAIN(TestService)
#include "tst_service.moc"
