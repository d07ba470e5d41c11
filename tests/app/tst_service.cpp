// The service as people, the suite and a desktop session start it: real ulxcloudsvr processes,
// each row in a private world of its own. tst_package checks the installed layout.

#include "platform/registry/kregsettings.h"
#include "tests/common/ktestserver.h"
#include "tests/common/kworld.h"

#include <QDir>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTest>

#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

namespace {
const QString Category = QStringLiteral("KxUlxCloudSvrApplication");
const QString Office = QStringLiteral("HKEY_CURRENT_USER\\Software\\Corvanta\\Office\\6.0\\");

QString dispatched(const QString &line)
{
    return QStringLiteral("KxUlxCloudSvrApplication::onIPCTransmission ") + line;
}

} // namespace

class TestService : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void serves_data()
    {
        QTest::addColumn<QStringList>("session"); // DISPLAY=Xvfb: an X server of this test's own
        QTest::addColumn<bool>("store"); // store installations serve, and send to, a channel of their own
        QTest::addColumn<bool>("geoService");
        QTest::addColumn<bool>("forceExit");
        // With ULX_INSTALL_CONFIG empty: the build's own configuration, beside its libraries.
        QTest::newRow("no display, SIGTERM") << QStringList{"ULX_INSTALL_CONFIG="} << false << false << false;
        QTest::newRow("X11, GNOME session with ibus")
            << QStringList{QStringLiteral("DISPLAY=Xvfb"), QStringLiteral("XDG_CURRENT_DESKTOP=GNOME"),
                           QStringLiteral("QT_IM_MODULE=ibus")}
            << false << false << false;
        // TLS 1.2 is the oldest protocol the service accepts, not the only one: a
        // server that speaks nothing below TLS 1.3 gives the service its country.
        QTest::newRow("stale X display, geo service on TLS 1.3 only")
            << QStringList{QStringLiteral("DISPLAY=:87")} << false << true << false;
        QTest::newRow("stale displays, store installation, force_exit")
            << QStringList{QStringLiteral("DISPLAY=:87"), QStringLiteral("WAYLAND_DISPLAY=ulx-none-87")}
            << true << false << true;
    }

    // The first start serves, its own line first; a second start hands its line over, ends with 0 and
    // maps no network stack, which the server maps only once an endpoint makes it send a request; only the
    // server tells the terminal it serves; both ways of ending withdraw the socket. A stale display must
    // not abort it; on a real one it loads no theme, input method or image-format plugin.
    void serves()
    {
        QFETCH(QStringList, session);
        QFETCH(bool, store);
        QFETCH(bool, geoService);
        QFETCH(bool, forceExit);
        if (QFile::exists(QStringLiteral("/tmp/.X11-unix/X87")))
            QSKIP("an X server listens on :87 here");
        KTestEnv world;
        const QString answer = world.root() + QStringLiteral("/geo.json");
        QVERIFY(ktest::writeFile(answer, "{\"result\":\"PT\"}"));
        KTestServer geo(world.root(), {QStringLiteral("/api/util/geo/country=file:") + answer}, true, 0, true);
        QVERIFY(geo.isRunning());
        world.writeInstallConfig({{QStringLiteral("Installation/Features"), store ? QStringLiteral("IsUwp") : QString()},
                                  {QStringLiteral("Servers/GeoSvr"), geoService ? geo.url(QString()) : QString()}});
        // The working-set trims come every second here.
        KRegSettings(Office + QStringLiteral("ulxcloudsvr\\Application Settings"))
            .setValue(QStringLiteral("ReduceProcessWSSec"), 1);
        QProcessEnvironment env = world.environment();
        for (const char *name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
            env.remove(QLatin1String(name));
        QProcess xvfb;
        const auto stopXvfb = qScopeGuard([&xvfb] {
            xvfb.terminate();
            xvfb.waitForFinished(KTestEnv::scaled(5000));
        });
        for (QString value : session) {
            if (value == QLatin1String("DISPLAY=Xvfb")) {
                xvfb.start(QStringLiteral("Xvfb"), {QStringLiteral("-displayfd"), QStringLiteral("1"),
                                                QStringLiteral("-nolisten"), QStringLiteral("tcp")});
                if (!xvfb.waitForReadyRead(KTestEnv::scaled(10000)))
                    QSKIP("Xvfb cannot start here (scripts/deps.sh installs it)");
                value = QStringLiteral("DISPLAY=:") + QString::fromLatin1(xvfb.readLine().trimmed());
            }
            env.insert(value.section(QLatin1Char('='), 0, 0), value.section(QLatin1Char('='), 1));
        }
        const QString runtime = world.runtimeDir() + QStringLiteral("/ulxcloudsvr");
        const auto runtimeFiles = [&] { return QDir(runtime).entryList(QDir::AllEntries | QDir::System); };

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
        QCOMPARE(files.filter(QStringLiteral(".sock")), QStringList{store ? QStringLiteral("UlxCloudSvr_Uwp.sock")
                                                                          : QStringLiteral("UlxCloudSvr.sock")});
        if (geoService) {
            const KRegSettings pluginMgr(Office + QStringLiteral("Common\\PluginMgr"));
            QTRY_COMPARE_WITH_TIMEOUT(pluginMgr.value(QStringLiteral("Nation")).toString(), QStringLiteral("PT"),
                                      KTestEnv::scaled(10000));
        }

        // Every file the second start's loader maps, dlopen included.
        env.insert(QStringLiteral("LD_DEBUG"), QStringLiteral("files"));
        env.insert(QStringLiteral("LD_DEBUG_OUTPUT"), world.root() + QStringLiteral("/ld"));
        QVERIFY(service.send({QStringLiteral("/inner_plugin:KNobody"), QStringLiteral("two words"),
                              QStringLiteral("a\"q")}, env));
        // The log writes a backslash as "\\".
        const QString forwarded = QStringLiteral("/inner_plugin:KNobody \"two words\" \"a\\\\\"q\"");
        QVERIFY(ktest::waitForLog(world, Category, dispatched(forwarded), 5000));
        // Handed over by the second start, dispatched once, by the serving process.
        const QStringList messages = ktest::logMessages(world, Category);
        QCOMPARE(messages.count(QStringLiteral("KxUlxCloudSvrApplication::init ") + forwarded), 1);
        QCOMPARE(messages.count(dispatched(forwarded)), 1);
        QVERIFY(ktest::logLinesOf(world, pid).contains(QStringLiteral("FIXED ") + Category + QLatin1Char(' ')
                                                       + dispatched(forwarded)));
        QCOMPARE(runtimeFiles(), files);
        // A broadcast alone gives the inner plugins an empty line, which they leave alone.
        QVERIFY(service.send({QStringLiteral("/broadcast")}, env));
        QVERIFY(ktest::waitForLog(world, Category, dispatched(QStringLiteral("/broadcast")), 5000));

        // Two trims after the last line, a second apart, then they rest: idle, the main thread sleeps.
        const auto wakes = [pid] {
            const QString status = QString::fromUtf8(ktest::readFile(QStringLiteral("/proc/%1/status").arg(pid)));
            return status.section(QStringLiteral("voluntary_ctxt_switches:"), 1, 1).split(u'\n').value(0).toLongLong();
        };
        QTest::qWait(KTestEnv::scaled(2500));
        const qint64 before = wakes();
        QTest::qWait(KTestEnv::scaled(1000));
        QVERIFY(before > 0);
        QCOMPARE(wakes(), before);

        QString loaded;
        const QDir traces(world.root(), QStringLiteral("ld.*"));
        for (const QString &file : traces.entryList(QDir::Files))
            loaded += QString::fromUtf8(ktest::readFile(traces.filePath(file)));
        const QString maps = QString::fromUtf8(ktest::readFile(QStringLiteral("/proc/%1/maps").arg(pid)));
        QVERIFY(loaded.contains(QStringLiteral("libulxcloudsvrimp.so")));
        QVERIFY(maps.contains(QStringLiteral("libulxcloudsvrimp.so")));
        // Qt Network, the network module and Qt's TLS backends (plugins/tls).
        for (const char *name : {"libQt6Network", "libulxnetwork", "/tls/"}) {
            QVERIFY2(!loaded.contains(QLatin1String(name)), name);
            QVERIFY2(maps.contains(QLatin1String(name)) == geoService, name);
        }
        for (const char *kind : {"/platformthemes/", "/platforminputcontexts/", "/imageformats/"})
            QVERIFY2(!maps.contains(QLatin1String(kind)), kind);
        const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
        for (const QString &tid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            const QByteArray name = ktest::readFile(tasks.filePath(tid + QStringLiteral("/comm"))).trimmed();
            QVERIFY2(tid == QString::number(pid) || name != "ulxcloudsvr", qPrintable(tid));
        }

        ::dup2(ownStderr, STDERR_FILENO);
        char text[4096];
        const ssize_t n = ::read(master, text, sizeof text);
        // Qt's own words about the display aside, the terminal got one line.
        QStringList said = QString::fromLocal8Bit(text, n > 0 ? n : 0).split(QStringLiteral("\r\n"));
        said.removeIf([](const QString &line) { return line.isEmpty() || line.startsWith(QLatin1String("qt.")); });
        const QString serving = QStringLiteral("ulxcloudsvr: serving (process %1); log: %2").arg(pid);
        QCOMPARE(said, QStringList{serving.arg(world.logPath())});

        if (forceExit) {
            QVERIFY(service.send({QStringLiteral("/force_exit"), QStringLiteral("/broadcast")}));
            QVERIFY(service.process()->waitForFinished(KTestEnv::scaled(10000)));
            QVERIFY(service.process()->exitStatus() == QProcess::NormalExit && service.process()->exitCode() == 0);
        } else {
            QVERIFY(service.stop());
        }
        QCOMPARE(runtimeFiles().filter(QStringLiteral(".sock")), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestService)
#include "tst_service.moc"
