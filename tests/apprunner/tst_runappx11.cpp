// The progress window as a person sees it: a service under Xvfb with a window manager downloads an app
// slowly; the test finds the service's window, takes two screenshots (kept in the build's Testing
// directory), sees the bar grow, closes the window through the window manager and sees the download
// finish and the app start; a second start of the installed app shows no window.
#include "tests/common/ktestserver.h"
#include "tests/common/kworld.h"

#include <QDir>
#include <QImage>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>

namespace {
// The standard output of a tool that ended with 0 in time, else null.
QString tool(const QString &program, const QStringList &args, const QProcessEnvironment &env)
{
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(program, args);
    if (!p.waitForFinished(KTestEnv::scaled(20000))) {
        p.kill();
        p.waitForFinished();
        return QString();
    }
    const bool ok = p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
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

class TestRunAppX11 : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void windowUnderXvfb()
    {
        const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
        if (xvfb.isEmpty())
            QSKIP("Xvfb cannot start here: it is not installed (scripts/deps.sh installs it)");
        for (const char *t : {"xdotool", "import", "openbox", "wmctrl"}) // scripts/deps.sh installs them
            QVERIFY2(!QStandardPaths::findExecutable(QLatin1String(t)).isEmpty(), t);

        KTestEnv world;
        const QString out = world.root() + QStringLiteral("/out");
        const QString plugins = world.root() + QStringLiteral("/plugins");
        const QString stage = world.root() + QStringLiteral("/stage");
        const QString package = world.root() + QStringLiteral("/viewapp.tar");
        QVERIFY(QDir().mkpath(out) && QDir().mkpath(stage + QStringLiteral("/bin")));
        QVERIFY(ktest::writeFile(stage + QStringLiteral("/app.ini"), "[runinfo]\nentry=bin/app\n"));
        QVERIFY(QFile::copy(KTestEnv::binPath(QStringLiteral("tst_runapp_argvapp")), stage + QStringLiteral("/bin/app")));
        QCOMPARE(QProcess::execute(QStringLiteral("tar"), {"-cf", package, "-C", stage, "."}), 0);
        const qint64 size = QFileInfo(package).size();
        // About six seconds (scaled) for the whole package.
        const qint64 rate = qMax<qint64>(qint64(size / (6 * KTestEnv::timeFactor())), 20);
        KTestServer server(world.root(), {"/slow=slowfile:" + QString::number(rate) + ":" + package});
        QVERIFY(server.isRunning());
        const QString catalogue = world.root() + QStringLiteral("/catalogue.json");
        const QString entry = QStringLiteral(R"({"name":"viewapp","desc":"Viewer","url":"%1","size":%2})");
        QVERIFY(ktest::writeFile(catalogue, "{\"plugins\":[" + entry.arg(server.url("/slow")).arg(size).toUtf8() + "]}"));
        world.writeInstallConfig({{"Installation/LaunchExePath", KTestEnv::binPath(QStringLiteral("ulx"))},
                                  {"Installation/PluginCatalog", catalogue},
                                  {"Installation/PluginsDir", plugins}});

        QProcess x;
        x.start(xvfb, {"-displayfd", "1", "-screen", "0", "800x600x24", "-nolisten", "tcp"});
        QTRY_VERIFY_WITH_TIMEOUT(x.canReadLine() || x.state() == QProcess::NotRunning, KTestEnv::scaled(10000));
        if (!x.canReadLine())
            QSKIP(qPrintable("Xvfb cannot start here: " + x.readAllStandardError().trimmed().right(300)));
        auto stopX = qScopeGuard([&x] {
            x.terminate();
            x.waitForFinished(5000);
        });
        QProcessEnvironment env = world.environment();
        env.remove(QStringLiteral("QT_QPA_PLATFORM")); // the service picks its own platform
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        env.insert(QStringLiteral("DISPLAY"), QLatin1Char(':') + QString::fromLatin1(x.readLine().trimmed()));
        env.insert(QStringLiteral("ULX_TEST_APP_OUT"), out);
        const auto appStarts = [&out] { return QDir(out).entryList({QStringLiteral("*.txt")}, QDir::Files).size(); };

        QProcess wm;
        wm.setProcessEnvironment(env);
        wm.start(QStringLiteral("openbox"), {QStringLiteral("--sm-disable")});
        auto stopWm = qScopeGuard([&wm] {
            wm.terminate();
            wm.waitForFinished(5000);
        });
        // openbox takes the screen: a window manager is running.
        QTRY_VERIFY_WITH_TIMEOUT(!tool(QStringLiteral("wmctrl"), {"-m"}, env).isNull(), KTestEnv::scaled(10000));

        ktest::KService service(world);
        QVERIFY(service.start({"/run_app", "/plugin_name:viewapp", "/plugin_params:one&two"}, env));
        const QString pid = QString::number(service.pid());
        const QString found = tool(QStringLiteral("xdotool"), {"search", "--sync", "--onlyvisible", "--pid", pid}, env);
        QVERIFY2(!found.trimmed().isEmpty(), "the service's window did not appear");
        const QString wid = found.section(QLatin1Char('\n'), 0, 0).trimmed();

        const QString shots = QDir(QStringLiteral(ULX_TEST_ARTIFACT_DIR)).absolutePath();
        QDir().mkpath(shots);
        const QString first = shots + QStringLiteral("/runapp-window-1.png");
        const QString second = shots + QStringLiteral("/runapp-window-2.png");
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
        QCOMPARE(appStarts(), 0);

        // The person closes it as a window manager lets them: the service stays and the download goes on.
        QVERIFY(!tool(QStringLiteral("wmctrl"), {"-i", "-c", wid}, env).isNull());
        const QStringList visible{"search", "--onlyvisible", "--pid", pid};
        QTRY_VERIFY_WITH_TIMEOUT(tool(QStringLiteral("xdotool"), visible, env).trimmed().isEmpty(),
                                 KTestEnv::scaled(5000));
        QTRY_COMPARE_WITH_TIMEOUT(appStarts(), 1, KTestEnv::scaled(20000));
        QCOMPARE(service.process()->state(), QProcess::Running);
        QVERIFY(QDir(plugins).entryList({"*.partial", "*.download"}, QDir::AllEntries).isEmpty());

        // Installed now: started again, no window.
        QVERIFY(service.send({"/run_app", "/plugin_name:viewapp"}, env));
        QTRY_COMPARE_WITH_TIMEOUT(appStarts(), 2, KTestEnv::scaled(10000));
        QVERIFY(tool(QStringLiteral("xdotool"), visible, env).trimmed().isEmpty());
        QVERIFY(service.stop());
    }
};

QTEST_GUILESS_MAIN(TestRunAppX11)

#include "tst_runappx11.moc"
