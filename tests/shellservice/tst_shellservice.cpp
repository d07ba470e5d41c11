// The shell switch, the shell prestart and the minisite in real service processes:
// the service started as the suite starts it, the launcher ulx, the minisite
// program, the suite plugins of the build's catalogue, the loopback test server as
// switch endpoint and collector. The minisite runs under libfaketime (wall clock
// only) on a day of its own.
#include "platform/namedmutex.h"
#include "platform/registry/kregsettings.h"
#include "tests/common/ktestserver.h"
#include "tests/common/kworld.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTest>

#include <memory>
#include <signal.h>

namespace {
const QString ListPath = QStringLiteral("/config/common/list");
const char FakeTimeLib[] = "/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1";
const QString PluginsKey = QStringLiteral("HKEY_CURRENT_USER\\Software\\Corvanta\\Office\\6.0\\plugins\\");
} // namespace

class TestShellService : public QObject
{
    Q_OBJECT
private:
    std::unique_ptr<KTestEnv> m_env;
    std::unique_ptr<KTestServer> m_server;
    std::unique_ptr<ktest::KService> m_service;

    QString script() const { return m_env->root() + QStringLiteral("/launcher.sh"); }
    QStringList launches() const { return ktest::readLines(m_env->root() + QStringLiteral("/launches.txt")); }
    QMap<QString, QString> config(const QString &launcher) const
    {
        return {{QStringLiteral("Installation/PluginCatalog"), KTestEnv::binPath(QStringLiteral("plugins/catalogue.json"))},
                {QStringLiteral("Installation/LaunchExePath"), launcher},
                {QStringLiteral("Servers/InfoCollectSvr"), m_server->url(QStringLiteral("/collect"))},
                {QStringLiteral("Servers/NexaSwitchSvr"), m_server->url(QString())}};
    }
    QStringList events(const QString &action) const
    {
        return m_server->eventValues(QStringLiteral("/ulx/client/minisite"), action);
    }

private Q_SLOTS:
    void init()
    {
        m_env = std::make_unique<KTestEnv>();
        const QString answer = m_env->root() + QStringLiteral("/answer.json");
        QVERIFY(ktest::writeFile(answer, R"({"success":true,"timestamp":1772395200000,"data":[{"expiration":1798729200000}]})"));
        m_server = std::make_unique<KTestServer>(m_env->root(), QStringList{ListPath + QStringLiteral("=file:") + answer});
        QVERIFY(m_server->isRunning());
        QVERIFY(ktest::writeRecordingScript(script(), m_env->root() + QStringLiteral("/launches.txt")));
        m_service = std::make_unique<ktest::KService>(*m_env);
    }

    void cleanup()
    {
        m_service.reset();
        m_server.reset();
        m_env.reset();
    }

    // Switch "true", a loopback endpoint: a command line makes one request, and
    // "beep" holds three date codes. Strategy 1: the launcher starts once, 5 s
    // after start-up, with "/nexaplex /prestart-type=1".
    void switchAndPrestart()
    {
        m_env->writeInstallConfig(config(script()));
        KRegSettings(PluginsKey + QStringLiteral("knexabeep")).setValue(QStringLiteral("switch"), QStringLiteral("true"));
        KRegSettings(PluginsKey + QStringLiteral("knexaprestart")).setValue(QStringLiteral("strategy"), 1);
        QElapsedTimer sinceStart;
        sinceStart.start();
        QVERIFY(m_service->start({QStringLiteral("/inner_plugin:KNexaSwitch")}));
        QVERIFY(m_server->waitForRecords(1, KTestEnv::scaled(10000)));
        const auto beepOf = [] { return KRegSettings(PluginsKey + QStringLiteral("knexabeep")).value(QStringLiteral("beep")).toString(); };
        QTRY_VERIFY_WITH_TIMEOUT(!beepOf().isEmpty(), KTestEnv::scaled(5000));
        const QString beep = beepOf();
        const QRegularExpression codes(QStringLiteral("^([0-9a-f]{2}(:[0-9a-f]{2}){3}\\|){2}[0-9a-f]{2}(:[0-9a-f]{2}){3}$"));
        QVERIFY2(codes.match(beep).hasMatch(), qPrintable(beep));
        QCOMPARE(m_server->recordsAt(ListPath).size(), 1);

        QVERIFY(ktest::waitForLog(*m_env, QStringLiteral("knexaprestart"),
                               QStringLiteral("prestart:%1, /nexaplex /prestart-type=1").arg(script()), 10000));
        const qint64 after = sinceStart.elapsed();
        QVERIFY2(after >= 5000, qPrintable(QString::number(after)));
        QTRY_COMPARE_WITH_TIMEOUT(launches(), QStringList{"/nexaplex /prestart-type=1"}, KTestEnv::scaled(3000));
        // Later lines change nothing.
        QVERIFY(m_service->send({QStringLiteral("/broadcast")}));
        QTest::qWait(KTestEnv::scaled(1000));
        QCOMPARE(launches().size(), 1);
    }

    // The running shell holds its mutex (here util-linux flock): the start-up
    // prestart is skipped with its log line.
    void prestartSkippedWhileShellRuns()
    {
        m_env->writeInstallConfig(config(script()));
        KRegSettings(PluginsKey + QStringLiteral("knexaprestart")).setValue(QStringLiteral("strategy"), 1);
        const QString path = ulx::namedmutex::filePath(QStringLiteral("__#_NEXA_INSTANCE_EXIST_KEY_#__"));
        QVERIFY(!path.isEmpty());
        QProcess holder;
        QVERIFY(ktest::startLockHolder(holder, path));
        QVERIFY(m_service->start({QStringLiteral("/start_from:test")}));
        QVERIFY(ktest::waitForLog(*m_env, QStringLiteral("knexaprestart"), QStringLiteral("nexa exist, skipped prestart:1"), 10000));
        QCOMPARE(launches(), QStringList());
        holder.closeWriteChannel();
        QVERIFY(holder.waitForFinished(KTestEnv::scaled(5000)));
    }

    // A non-member: the minisite program is started through the launcher's
    // /minisite mode, event 100 once on the (faked) day, and a browse-the-web
    // bubble reaches the minisite program over its channel.
    void minisiteEndToEnd()
    {
        QVERIFY2(QFile::exists(QString::fromLatin1(FakeTimeLib)), "libfaketime is missing: scripts/deps.sh installs it");
        m_env->writeInstallConfig(config(KTestEnv::binPath(QStringLiteral("ulx"))));
        KRegSettings(QStringLiteral("HKEY_CURRENT_USER\\Software\\Corvanta\\Office\\6.0\\Common"))
            .setValue(QStringLiteral("InstallRoot"), m_env->root());
        // Yesterday on the faked calendar, years ahead of the real one: only a faked
        // clock makes this the day's first showing.
        KRegSettings(PluginsKey + QStringLiteral("minisiteex")).setValue(QStringLiteral("impstrtpmnstdt"), QStringLiteral("2031-03-03"));

        QProcessEnvironment env = m_env->environment();
        env.insert(QStringLiteral("LD_PRELOAD"), QString::fromLatin1(FakeTimeLib));
        env.insert(QStringLiteral("FAKETIME"), QStringLiteral("@2031-03-04 23:59:00"));
        env.insert(QStringLiteral("FAKETIME_DONT_FAKE_MONOTONIC"), QStringLiteral("1"));
        env.insert(QStringLiteral("TZ"), QStringLiteral("JST-9"));
#ifdef __SANITIZE_ADDRESS__
        // The preloaded clock comes before the sanitizer's runtime, which it would refuse.
        env.insert(QStringLiteral("ASAN_OPTIONS"),
                   env.value(QStringLiteral("ASAN_OPTIONS")) + QStringLiteral(":verify_asan_link_order=0"));
#endif
        QVERIFY(m_service->start({QStringLiteral("/run_plugin"), QStringLiteral("/plugin_name:kulxpushbubble"),
                              QStringLiteral("/plugin_local"), QStringLiteral("/plugin_type:dll"), QStringLiteral("/code=none")},
                             env));
        QVERIFY(ktest::waitForLog(*m_env, QStringLiteral("KUlxPushBubble"), QStringLiteral("KUlxPushBubble::run params: /code=none "), 15000));

        QVERIFY(m_service->send({QStringLiteral("/inner_plugin:KMinisite"), QStringLiteral("/start_from:test")}));
        QVERIFY(ktest::waitForLog(*m_env, QStringLiteral("ulxminisite"), QStringLiteral("ulxminisite::start /from:minisite /minisite:tray"), 15000));
        qint64 minisitePid = 0;
        for (const QString &line : m_env->logText().split('\n')) {
            if (line.contains(QLatin1String("ulxminisite::start")))
                minisitePid = line.section(' ', 2, 2).toLongLong();
        }
        QVERIFY(minisitePid > 0);
        auto stopMinisite = qScopeGuard([minisitePid] { ::kill(pid_t(minisitePid), SIGTERM); });

        QTRY_COMPARE_WITH_TIMEOUT(events(QStringLiteral("impstartupmini")), QStringList{"100"}, KTestEnv::scaled(10000));
        QCOMPARE(KRegSettings(PluginsKey + QStringLiteral("minisiteex"))
                     .value(QStringLiteral("impstrtpmnstdt"))
                     .toString(),
                 QStringLiteral("2031-03-04"));

        QVERIFY(m_service->send({QStringLiteral("/run_plugin"), QStringLiteral("/plugin_name:kulxpushbubble"), QStringLiteral("/plugin_local"),
                      QStringLiteral("/plugin_type:dll"), QStringLiteral("/code=browsetheweb"), QStringLiteral("/info=hello")}));
        QVERIFY(ktest::waitForLog(*m_env, QStringLiteral("ulxminisite"), QStringLiteral("ulxminisite::receive hello"), 10000));

        // Inside the 600 s window: refused, with the line naming the accepted time.
        QVERIFY(m_service->send({QStringLiteral("/inner_plugin:KMinisite"), QStringLiteral("/start_from:again")}));
        const auto refused = [this] {
            for (const QString &m : ktest::logMessages(*m_env, QStringLiteral("KMinisite")))
                if (m.startsWith(QLatin1String("KMinisite::hasAccepted at : ")) && m.contains(QLatin1String("2031"))
                    && m.endsWith(QLatin1String("/start_from=again ")))
                    return true;
            return false;
        };
        QTRY_VERIFY2_WITH_TIMEOUT(refused(), qPrintable(m_env->logText()), KTestEnv::scaled(5000));
        QCOMPARE(events(QStringLiteral("impstartupmini")), QStringList{"100"});

        // With nobody serving the channel the relay only logs.
        stopMinisite.dismiss();
        QCOMPARE(::kill(pid_t(minisitePid), SIGTERM), 0);
        QVERIFY(ktest::waitForLog(*m_env, QStringLiteral("ulxminisite"), QStringLiteral("ulxminisite::quit"), 5000));
        QVERIFY(m_service->send({QStringLiteral("/run_plugin"), QStringLiteral("/plugin_name:kulxpushbubble"), QStringLiteral("/plugin_local"),
                      QStringLiteral("/plugin_type:dll"), QStringLiteral("/code=browsetheweb_common"), QStringLiteral("/info=gone")}));
        QVERIFY(ktest::waitForLog(*m_env, QStringLiteral("KMinisite"),
                               QStringLiteral("KMinisite::__OnBubbleLogicEx not delivered to ulxminisite: browsetheweb_common"), 5000));

        // Under libfaketime the shutdown's timed thread joins cannot be trusted (the
        // watchdog's threads outlive their wait and Qt aborts), so this service is killed.
        m_service->process()->kill();
        QVERIFY(m_service->process()->waitForFinished(KTestEnv::scaled(10000)));
    }
};

QTEST_APPLESS_MAIN(TestShellService)
#include "tst_shellservice.moc"
