// The shell switch, the shell prestart and the minisite in one real service process under
// libfaketime (wall clock only), with the launcher ulx, the minisite program, the build's
// suite plugins, and the loopback test server as switch endpoint and collector.
#include "platform/registry/kregsettings.h"
#include "tests/common/ktestserver.h"
#include "tests/common/kworld.h"

#include <QElapsedTimer>
#include <QFile>
#include <QScopeGuard>
#include <QTest>

#include <signal.h>

namespace {
const QString ListPath = QStringLiteral("/config/common/list");
const char FakeTimeLib[] = "/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1";
const QString PluginsKey = QStringLiteral("HKEY_CURRENT_USER\\Software\\Corvanta\\Office\\6.0\\plugins\\");
const QStringList Bubble{QStringLiteral("/run_plugin"), QStringLiteral("/plugin_name:kulxpushbubble"),
                         QStringLiteral("/plugin_local"), QStringLiteral("/plugin_type:dll")};
} // namespace

class TestShellService : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    // A non-member, switch "true", prestart strategy 1. A line to the switch makes one request and
    // sets "beep" (tst_shellplugins checks its codes); the minisite program starts through the launcher's /minisite mode,
    // event 100 once on the (faked) day, and a browse-the-web bubble reaches it over its channel;
    // 5 s after start-up the launcher is started once with "/nexaplex /prestart-type=1".
    void shellAndMinisite()
    {
        QVERIFY2(QFile::exists(QLatin1String(FakeTimeLib)), "libfaketime is missing: scripts/deps.sh installs it");
        KTestEnv world;
        const QString answer = world.root() + QStringLiteral("/answer.json");
        QVERIFY(ktest::writeFile(answer, R"({"success":true,"timestamp":1772395200000,)"
                                         R"("data":[{"expiration":1798729200000}]})"));
        KTestServer server(world.root(), {ListPath + QStringLiteral("=file:") + answer});
        QVERIFY(server.isRunning());
        const QString launcher = KTestEnv::binPath(QStringLiteral("ulx"));
        world.writeInstallConfig(
            {{QStringLiteral("Installation/PluginCatalog"),
              KTestEnv::binPath(QStringLiteral("plugins/catalogue.json"))},
             {QStringLiteral("Installation/LaunchExePath"), launcher},
             {QStringLiteral("Servers/InfoCollectSvr"), server.url(QStringLiteral("/collect"))},
             {QStringLiteral("Servers/NexaSwitchSvr"), server.url(QString())}});
        KRegSettings beep(PluginsKey + QStringLiteral("knexabeep"));
        beep.setValue(QStringLiteral("switch"), QStringLiteral("true"));
        KRegSettings(PluginsKey + QStringLiteral("knexaprestart")).setValue(QStringLiteral("strategy"), 1);
        KRegSettings(QStringLiteral("HKEY_CURRENT_USER\\Software\\Corvanta\\Office\\6.0\\Common"))
            .setValue(QStringLiteral("InstallRoot"), world.root());
        // Yesterday on the faked calendar, years ahead of the real one: only a faked
        // clock makes this the day's first showing.
        KRegSettings minisite(PluginsKey + QStringLiteral("minisiteex"));
        minisite.setValue(QStringLiteral("impstrtpmnstdt"), QStringLiteral("2031-03-03"));

        QProcessEnvironment env = world.environment();
        env.insert(QStringLiteral("LD_PRELOAD"), QString::fromLatin1(FakeTimeLib));
        env.insert(QStringLiteral("FAKETIME"), QStringLiteral("@2031-03-04 23:59:00"));
        env.insert(QStringLiteral("FAKETIME_DONT_FAKE_MONOTONIC"), QStringLiteral("1"));
        env.insert(QStringLiteral("TZ"), QStringLiteral("JST-9"));
#ifdef __SANITIZE_ADDRESS__
        // The preloaded clock comes before the sanitizer's runtime, which it would refuse.
        env.insert(QStringLiteral("ASAN_OPTIONS"),
                   env.value(QStringLiteral("ASAN_OPTIONS")) + QStringLiteral(":verify_asan_link_order=0"));
#endif
        QElapsedTimer sinceStart;
        sinceStart.start();
        ktest::KService service(world);
        QVERIFY(service.start(Bubble + QStringList{QStringLiteral("/code=none")}, env));
        const auto logged = [&world](const char *category, const QString &message, int ms) {
            return ktest::waitForLog(world, QLatin1String(category), message, ms);
        };
        QVERIFY(logged("KUlxPushBubble", QStringLiteral("KUlxPushBubble::run params: /code=none "), 15000));

        QVERIFY(service.send({QStringLiteral("/inner_plugin:KNexaSwitch")}));
        QTRY_VERIFY_WITH_TIMEOUT(beep.contains(QStringLiteral("beep")), KTestEnv::scaled(10000));
        QCOMPARE(server.recordsAt(ListPath).size(), 1);

        QVERIFY(service.send({QStringLiteral("/inner_plugin:KMinisite"), QStringLiteral("/start_from:test")}));
        QVERIFY(logged("ulxminisite", QStringLiteral("ulxminisite::start /from:minisite /minisite:tray"), 15000));
        const QStringList starts = world.logText().split(QLatin1Char('\n')).filter(QStringLiteral("ulxminisite::start"));
        const qint64 minisitePid = starts.value(0).section(QLatin1Char(' '), 2, 2).toLongLong();
        QVERIFY(minisitePid > 0);
        auto stopMinisite = qScopeGuard([minisitePid] { ::kill(pid_t(minisitePid), SIGTERM); });
        QTRY_COMPARE_WITH_TIMEOUT(server.eventValues("/ulx/client/minisite", "impstartupmini"), QStringList{"100"},
                                  KTestEnv::scaled(10000));
        QCOMPARE(minisite.value(QStringLiteral("impstrtpmnstdt")).toString(), QStringLiteral("2031-03-04"));

        QVERIFY(service.send(Bubble + QStringList{QStringLiteral("/code=browsetheweb"), QStringLiteral("/info=hi")}));
        QVERIFY(logged("ulxminisite", QStringLiteral("ulxminisite::receive hi"), 10000));

        const QString prestart = QStringLiteral("prestart:%1, /nexaplex /prestart-type=1").arg(launcher);
        QVERIFY(logged("knexaprestart", prestart, 10000));
        QVERIFY2(sinceStart.elapsed() >= 5000, qPrintable(QString::number(sinceStart.elapsed())));

        // With nobody serving the channel the relay only logs; later lines start no prestart.
        stopMinisite.dismiss();
        QCOMPARE(::kill(pid_t(minisitePid), SIGTERM), 0);
        QVERIFY(logged("ulxminisite", QStringLiteral("ulxminisite::quit"), 5000));
        QVERIFY(service.send(Bubble + QStringList{QStringLiteral("/code=browsetheweb_common"),
                                                  QStringLiteral("/info=x")}));
        const QString notDelivered = QStringLiteral("not delivered to ulxminisite: browsetheweb_common");
        QVERIFY(logged("KMinisite", QStringLiteral("KMinisite::__OnBubbleLogicEx ") + notDelivered, 5000));
        QCOMPARE(ktest::logMessages(world, QStringLiteral("knexaprestart")).filter(QStringLiteral("prestart:")),
                 QStringList{prestart});

        // Under libfaketime the shutdown's timed thread joins cannot be trusted (the
        // watchdog's threads outlive their wait and Qt aborts), so this service is killed.
        service.process()->kill();
        QVERIFY(service.process()->waitForFinished(KTestEnv::scaled(10000)));
    }
};

QTEST_GUILESS_MAIN(TestShellService)
#include "tst_shellservice.moc"
