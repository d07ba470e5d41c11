// The progress window as a person sees it: a service under Xvfb with a window
// manager downloads an app slowly; the test finds the service's window, takes
// two screenshots (kept in the build's Testing directory), sees the bar grow,
// closes the window through the window manager and sees the download finish and
// the app start. Also: a service whose DISPLAY names no X server still serves.
#include "tests/common/ktestserver.h"
#include "tests/common/kworld.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>

#include <memory>

class TestRunAppX11 : public QObject
{
    Q_OBJECT
private:
    std::unique_ptr<KTestEnv> m_env;
    std::unique_ptr<KTestServer> m_server;
    QString m_out;
    QString m_plugins;
    QString m_package;
    qint64 m_size = 0;

    struct Tool
    {
        QString out;
        int code = -1;
    };

    // Runs a tool with a scaled time limit; a tool that does not end in time is killed.
    static Tool tool(const QString &program, const QStringList &args, const QProcessEnvironment &env, int ms)
    {
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(program, args);
        Tool t;
        if (!p.waitForFinished(KTestEnv::scaled(ms))) {
            p.kill();
            p.waitForFinished();
            return t;
        }
        t.out = QString::fromLocal8Bit(p.readAllStandardOutput()).trimmed();
        t.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        return t;
    }

    void writeWorld(const QString &url)
    {
        const QJsonObject entry{{"name", "viewapp"}, {"desc", "Viewer"}, {"url", url}, {"size", double(m_size)}};
        QVERIFY(ktest::writeFile(m_env->root() + QStringLiteral("/catalogue.json"),
                                 QJsonDocument(QJsonObject{{"plugins", QJsonArray{entry}}}).toJson()));
    }

    QProcessEnvironment serviceEnv(const QString &display) const
    {
        QProcessEnvironment env = m_env->environment();
        env.remove(QStringLiteral("QT_QPA_PLATFORM")); // the service picks its own platform
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        env.insert(QStringLiteral("DISPLAY"), display);
        env.insert(QStringLiteral("ULX_TEST_APP_OUT"), m_out);
        return env;
    }

    int appStarts() const { return QDir(m_out).entryList({QStringLiteral("*.txt")}, QDir::Files).size(); }

    QStringList leftovers() const
    {
        return QDir(m_plugins).entryList({QStringLiteral("*.partial"), QStringLiteral("*.download")},
                                         QDir::AllEntries | QDir::NoDotAndDotDot);
    }

    // Pixels of the bar's filled part: the palette's highlight, a clear blue.
    static int barPixels(const QImage &image)
    {
        int n = 0;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                const QColor c = image.pixelColor(x, y);
                n += c.blue() > 120 && c.blue() > c.red() + 60 && c.blue() > c.green() + 20;
            }
        }
        return n;
    }

    // Rows holding dark pixels: text.
    static int textRows(const QImage &image)
    {
        int rows = 0;
        for (int y = 0; y < image.height(); ++y) {
            int x = 0;
            while (x < image.width() && qGray(image.pixel(x, y)) >= 80)
                ++x;
            rows += x < image.width();
        }
        return rows;
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_env = std::make_unique<KTestEnv>();
        m_out = m_env->root() + QStringLiteral("/out");
        m_plugins = m_env->root() + QStringLiteral("/plugins");
        QDir().mkpath(m_out);
        const QString stage = m_env->root() + QStringLiteral("/stage");
        QDir().mkpath(stage + QStringLiteral("/bin"));
        QVERIFY(ktest::writeFile(stage + QStringLiteral("/app.ini"), "[runinfo]\nentry=bin/app\n"));
        QVERIFY(QFile::copy(KTestEnv::binPath(QStringLiteral("tst_runapp_argvapp")), stage + QStringLiteral("/bin/app")));
        m_package = m_env->root() + QStringLiteral("/viewapp.tar");
        QProcess tar;
        tar.start(QStringLiteral("tar"), {QStringLiteral("-cf"), m_package, QStringLiteral("-C"), stage, QStringLiteral(".")});
        QVERIFY(tar.waitForFinished(10000) && tar.exitCode() == 0);
        m_size = QFileInfo(m_package).size();
        // About six seconds (scaled) for the whole package.
        const qint64 rate = qMax<qint64>(qint64(m_size / (6 * KTestEnv::timeFactor())), 20);
        m_server = std::make_unique<KTestServer>(
            m_env->root(), QStringList{"/slow=slowfile:" + QString::number(rate) + ":" + m_package,
                                       "/fast=file:" + m_package});
        QVERIFY(m_server->isRunning());
        m_env->writeInstallConfig({{"Installation/LaunchExePath", KTestEnv::binPath(QStringLiteral("ulx"))},
                                   {"Installation/PluginCatalog", m_env->root() + QStringLiteral("/catalogue.json")},
                                   {"Installation/PluginsDir", m_plugins}});
    }

    void windowUnderXvfb()
    {
        const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
        if (xvfb.isEmpty())
            QSKIP("Xvfb cannot start here: it is not installed (scripts/deps.sh installs it)");
        for (const char *t : {"xdotool", "import", "openbox", "wmctrl"})
            QVERIFY2(!QStandardPaths::findExecutable(QLatin1String(t)).isEmpty(),
                     qPrintable(QStringLiteral("%1 is missing: run scripts/deps.sh").arg(QLatin1String(t))));

        QProcess x;
        x.start(xvfb, {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"), QStringLiteral("0"),
                       QStringLiteral("800x600x24"), QStringLiteral("-nolisten"), QStringLiteral("tcp")});
        QByteArray number;
        QElapsedTimer waited;
        waited.start();
        while (!number.contains('\n') && x.state() != QProcess::NotRunning && waited.elapsed() < KTestEnv::scaled(10000)) {
            x.waitForReadyRead(100);
            number += x.readAllStandardOutput();
        }
        if (!number.contains('\n')) {
            const QByteArray why = x.readAllStandardError().trimmed().right(300);
            x.kill();
            x.waitForFinished();
            QSKIP(qPrintable(QStringLiteral("Xvfb cannot start here: %1").arg(QString::fromLocal8Bit(why))));
        }
        const QString display = QLatin1Char(':') + QString::fromLatin1(number.trimmed());
        const QProcessEnvironment env = serviceEnv(display);
        auto cleanup = qScopeGuard([&x] {
            x.terminate();
            x.waitForFinished(5000);
        });

        QProcess wm;
        wm.setProcessEnvironment(env);
        wm.start(QStringLiteral("openbox"), {QStringLiteral("--sm-disable")});
        QVERIFY(wm.waitForStarted());
        auto stopWm = qScopeGuard([&wm] {
            wm.terminate();
            wm.waitForFinished(5000);
        });
        // openbox takes the screen: a window manager is running.
        QTRY_VERIFY_WITH_TIMEOUT(tool(QStringLiteral("wmctrl"), {QStringLiteral("-m")}, env, 5000).code == 0,
                                 KTestEnv::scaled(10000));

        writeWorld(m_server->url("/slow"));
        ktest::KService running(*m_env);
        QVERIFY(running.start({QStringLiteral("/run_app"), QStringLiteral("/plugin_name:viewapp"),
                               QStringLiteral("/plugin_params:one&two")},
                              env));
        QProcess &service = *running.process();

        const Tool found = tool(QStringLiteral("xdotool"),
                                {QStringLiteral("search"), QStringLiteral("--sync"), QStringLiteral("--onlyvisible"),
                                 QStringLiteral("--pid"), QString::number(service.processId())},
                                env, 20000);
        QVERIFY2(found.code == 0 && !found.out.isEmpty(), "the service's window did not appear");
        const QString wid = found.out.split('\n').first();

        const QString shots = QDir(QStringLiteral(ULX_TEST_ARTIFACT_DIR)).absolutePath();
        QDir().mkpath(shots);
        const QString first = shots + QStringLiteral("/runapp-window-1.png");
        const QString second = shots + QStringLiteral("/runapp-window-2.png");
        QTRY_VERIFY_WITH_TIMEOUT(tool(QStringLiteral("import"), {QStringLiteral("-window"), wid, first}, env, 10000).code == 0
                                     && barPixels(QImage(first)) > 0,
                                 KTestEnv::scaled(5000));
        const QImage shot1(first);
        QTest::qWait(KTestEnv::scaled(1500));
        QCOMPARE(tool(QStringLiteral("import"), {QStringLiteral("-window"), wid, second}, env, 10000).code, 0);
        const QImage shot2(second);
        QVERIFY(!shot1.isNull() && !shot2.isNull());
        // The texts: "icon" and the description on one line, the status below.
        QVERIFY2(textRows(shot1) >= 12, qPrintable(QString::number(textRows(shot1))));
        QVERIFY2(barPixels(shot2) > barPixels(shot1),
                 qPrintable(QStringLiteral("%1 -> %2").arg(barPixels(shot1)).arg(barPixels(shot2))));
        QCOMPARE(appStarts(), 0);

        // The person closes it as a window manager lets them: the service stays.
        QCOMPARE(tool(QStringLiteral("wmctrl"), {QStringLiteral("-i"), QStringLiteral("-c"), wid}, env, 5000).code, 0);
        QTRY_VERIFY_WITH_TIMEOUT(tool(QStringLiteral("xdotool"),
                                      {QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--pid"),
                                       QString::number(service.processId())},
                                      env, 5000)
                                     .out.isEmpty(),
                                 KTestEnv::scaled(5000));
        QCOMPARE(service.state(), QProcess::Running);
        QTRY_COMPARE_WITH_TIMEOUT(appStarts(), 1, KTestEnv::scaled(20000));
        QCOMPARE(service.state(), QProcess::Running);
        QVERIFY(leftovers().isEmpty());

        // Installed now: started again, no window.
        QVERIFY(running.send({QStringLiteral("/run_app"), QStringLiteral("/plugin_name:viewapp")}, env));
        QTRY_COMPARE_WITH_TIMEOUT(appStarts(), 2, KTestEnv::scaled(10000));
        QVERIFY(tool(QStringLiteral("xdotool"), {QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                                                 QStringLiteral("--pid"), QString::number(service.processId())},
                     env, 5000)
                    .out.isEmpty());
    }

    // DISPLAY names no X server: the service falls back and serves, window and all.
    void staleDisplay()
    {
        QDir(m_plugins + QStringLiteral("/viewapp")).removeRecursively();
        writeWorld(m_server->url("/fast"));
        const int before = appStarts();
        const QProcessEnvironment env = serviceEnv(QStringLiteral(":97"));
        ktest::KService service(*m_env);
        QVERIFY(service.start({QStringLiteral("/run_app"), QStringLiteral("/plugin_name:viewapp")}, env));
        QTRY_COMPARE_WITH_TIMEOUT(appStarts(), before + 1, KTestEnv::scaled(15000));
        QVERIFY(service.send({QStringLiteral("/run_app"), QStringLiteral("/plugin_name:viewapp")}, env));
        QTRY_COMPARE_WITH_TIMEOUT(appStarts(), before + 2, KTestEnv::scaled(10000));
        QCOMPARE(service.process()->state(), QProcess::Running);
        QVERIFY(service.stop());
    }
};

QTEST_GUILESS_MAIN(TestRunAppX11)

#include "tst_runappx11.moc"
