// The inner plugins, linked as the service links them, in one world with one injectable
// clock in JST (local dates differ from UTC ones), one loopback test server (the switch's
// endpoint and the event collector), a recording launcher, runner and host transport.
#include "innerplugins/iinnerplugin.h"
#include "innerplugins/kinnerclock.h"
#include "innerplugins/knexaprestart/knexaprestart.h"
#include "innerplugins/knexaswitch/knexaswitch.h"
#include "innerplugins/kupdateself/kupdateself.h"
#include "innerplugins/kupdateulx/kupdateulx.h"
#include "innerplugins/minisite/kminisite.h"
#include "innerplugins/pluginpool/kpluginpool.h"
#include "platform/registry/kregsettings.h"
#include "suite/kmemberuser.h"
#include "suite/krt.h"
#include "suite/kxpluginssettings.h"
#include "suite/kxstartup.h"
#include "suite/plugins/kplugin.h"
#include "suite/plugins/kpluginmanager.h"
#include "tests/common/kfakehost.h"
#include "tests/common/kserviceapp.h"
#include "tests/common/ktestserver.h"
#include "tests/common/kworld.h"
#include "tests/pluginrunner/kfakerunner.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>

#include <climits>
#include <memory>
#include <time.h>

namespace {
const QString ListPath = QStringLiteral("/config/common/list");
const QString Slow = QStringLiteral("/slow/config/common/list");
const QString CommonKey = QStringLiteral("HKEY_CURRENT_USER\\Software\\Corvanta\\Office\\6.0\\Common");
const QString PluginsKey = QStringLiteral("HKEY_CURRENT_USER\\Software\\Corvanta\\Office\\6.0\\plugins");

// Stands in for the objects other plugins publish: the push bubble (the document scenes
// it is handed, the requests it emits) and the account (its login changes).
class KFakeObject : public QObject
{
    Q_OBJECT
public:
    QStringList scenes;
    Q_INVOKABLE void onExcuteBubbleLogicEx(const QString &key, const QString &value) { scenes << key + '=' + value; }
Q_SIGNALS:
    void loginStateChange(const QString &userId);
    void BubbleLogicEx(const QString &logicCode, const QString &logicInfo);
};
} // namespace

class TestInnerPlugins : public QObject
{
    Q_OBJECT
private:
    std::unique_ptr<KTestEnv> m_env;
    std::unique_ptr<KxApplication> m_app;
    std::unique_ptr<KTestServer> m_server; // the switch's endpoint and the event collector
    QString m_answerFile;
    QString m_record; // the launches of the recording launcher, one a line
    QDateTime m_now;
    std::unique_ptr<KFakeRunner> m_runner;

    // The installation: the switch endpoint, the collector, the catalogue and the launcher, changed by `more`.
    void configure(const QMap<QString, QString> &more = {})
    {
        QMap<QString, QString> ini{{QStringLiteral("Servers/NexaSwitchSvr"), m_server->url(QString())},
                                   {QStringLiteral("Servers/InfoCollectSvr"), m_server->url(QStringLiteral("/c"))},
                                   {QStringLiteral("Installation/PluginCatalog"), m_env->root() + "/catalogue.json"},
                                   {QStringLiteral("Installation/LaunchExePath"), m_env->root() + "/launcher.sh"}};
        ini.insert(more);
        m_env->writeInstallConfig(ini);
        krt::reload();
    }
    QString beep() const { return KxPluginsSettings(QStringLiteral("knexabeep")).value(QStringLiteral("beep")).toString(); }
    QStringList logged(qsizetype from, const QString &category = QStringLiteral("knexaprestart")) const
    {
        return ktest::logMessages(*m_env, category, from);
    }
    QString calls() const { return m_runner->calls.join(QLatin1Char(',')); }
    // The launches recorded once every prestart logged since `mark` has arrived; the record is then cleared.
    QStringList prestarts(qsizetype mark)
    {
        const qsizetype logged = this->logged(mark).filter(QStringLiteral("prestart:")).size();
        [[maybe_unused]] const bool arrived =
            QTest::qWaitFor([&] { return launches().size() >= logged; }, KTestEnv::scaled(3000));
        const QStringList out = launches();
        QFile::remove(m_record);
        return out;
    }
    void setPrestart(int strategy, int interval, const QString &ranges)
    {
        KxPluginsSettings s(QStringLiteral("knexaprestart"));
        s.setValue(QStringLiteral("strategy"), strategy);
        s.setValue(QStringLiteral("interval"), interval);
        s.setValue(QStringLiteral("ranges"), ranges);
    }
    // The package of `name` holds a copy of the build's package `from`.
    void providePackage(const QString &name, const QString &from)
    {
        const QString dir = m_env->root() + QStringLiteral("/pkgs/") + name;
        QDir().mkpath(dir);
        const QString source = KTestEnv::binPath(QStringLiteral("plugins/packages/%1/lib%1.so").arg(from));
        QVERIFY(QFile::copy(source, dir + QStringLiteral("/lib%1.so").arg(from)));
    }
    QStringList launches() const { return ktest::readLines(m_record); }
    // The minisite event codes the collector received, in order.
    QStringList events() const
    {
        return m_server->eventValues(QStringLiteral("/ulx/client/minisite"), QStringLiteral("impstartupmini"));
    }
    void setMember(const QVariant &type, const QVariant &types)
    {
        KRegSettings account(KMemberUser::keyPath());
        account.remove(QString());
        if (type.isValid())
            account.setValue(QStringLiteral("UserType"), type);
        if (types.isValid())
            account.setValue(QStringLiteral("UserTypes"), types);
    }

private Q_SLOTS:
    void initTestCase()
    {
        qputenv("TZ", "JST-9");
        ::tzset();
        m_env = std::make_unique<KTestEnv>();
        qputenv("ULX_GLOBAL_LOCK_DIR", QFile::encodeName(m_env->root() + QStringLiteral("/global")));
        m_answerFile = m_env->root() + QStringLiteral("/answer.json");
        m_record = m_env->root() + QStringLiteral("/launches.txt");
        QVERIFY(ktest::writeRecordingScript(m_env->root() + QStringLiteral("/launcher.sh"), m_record));
        QVERIFY(ktest::writeFile(m_env->root() + QStringLiteral("/catalogue.json"), R"({"plugins": [
  {"name": "ulxminisite", "version": "1.0.0.1", "package": "pkgs/ulxminisite", "library": "libulxminisite.so"},
  {"name": "kulxminisiteassistant", "version": "1.0.0.1", "package": "pkgs/kulxminisiteassistant", "library": "libkbubble.so"}
]})"));
        m_server = std::make_unique<KTestServer>(
            m_env->root(), QStringList{ListPath + QStringLiteral("=file:") + m_answerFile,
                                       QStringLiteral("/down") + ListPath + QStringLiteral("=status:500"),
                                       QStringLiteral("/slow") + ListPath + QStringLiteral("=hang")});
        QVERIFY(m_server->isRunning());
        configure();
        KMinisite::setVipDelayMs(50);
        KFakeHost::instance().reset();
        KFakeHost::instance().deliverToSelf = false;
        m_app = makeServiceApp();
        m_app->setStartupInfo(new KxStartup(QStringLiteral("tavi"), 0, false));
        KRegSettings(CommonKey).setValue(QStringLiteral("InstallRoot"), QStringLiteral("/opt/suite"));
        kinnerclock::setSource([this] { return m_now; });
    }

    void init()
    {
        m_now = QDateTime(QDate(2026, 3, 2), QTime(10, 0));
        m_runner = std::make_unique<KFakeRunner>();
        configure();
    }

    // The local "switch" gates the request; an answer checked step by step writes "beep" only
    // when complete, with codes of local dates (JST: 2026-03-01T20:00Z is March 2, 2027-01-01T00:00
    // is Dec 31 in UTC). No endpoint: no request; endpoint down: nothing written; trailing slashes go.
    void switchAnswers_data()
    {
        QTest::addColumn<QString>("localSwitch"); // null: not set
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("expected"); // empty: nothing written
        QTest::addColumn<QString>("endpoint"); // a base path of the test server; null: none configured
        const auto body = [](const QByteArray &head, const QByteArray &data) {
            return QByteArray("{\"success\":" + head + ",\"data\":[" + data + "]}");
        };
        const QByteArray ok = "true,\"timestamp\":1772395200000", entry = "{\"expiration\":\"1798729200000\"}";
        const QString valid = QStringLiteral("3c:7f:1b:4f|3c:7f:1b:4f|3c:7f:18:3e");
        const auto row = [&](const char *tag, const QString &localSwitch, const QByteArray &answer,
                             const QString &expected, const QString &endpoint = QStringLiteral("//")) {
            QTest::newRow(tag) << localSwitch << answer << expected << endpoint;
        };
        row("switch missing", QString(), body(ok, entry), "");
        row("switch TRUE", "TRUE", body(ok, entry), valid);
        row("number expiration", "true", body(ok, "{\"expiration\":1798729200000}"), valid);
        row("timestamp missing reads as 1970", "true", body("true", entry), "3c:7f:1b:4f|3c:7f:ab:6d|3c:7f:18:3e");
        row("success false", "true", body("false,\"timestamp\":1772395200000", entry), "");
        row("two entries", "true", body(ok, entry + ",{\"expiration\":\"1\"}"), "");
        row("expiration not numeric", "true", body(ok, "{\"expiration\":\"soon\"}"), "");
        row("negative timestamp", "true", body("true,\"timestamp\":-5000", entry), "");
        row("not JSON", "true", QByteArray("<html>"), "");
        row("no endpoint", "true", body(ok, entry), "", QString());
        row("endpoint down", "true", body(ok, entry), "", QStringLiteral("/down"));
    }
    void switchAnswers()
    {
        QFETCH(QString, localSwitch);
        QFETCH(QByteArray, body);
        QFETCH(QString, expected);
        QFETCH(QString, endpoint);
        KxPluginsSettings s(QStringLiteral("knexabeep"));
        s.setValue(QStringLiteral("switch"), localSwitch.isNull() ? QVariant() : QVariant(localSwitch));
        s.setValue(QStringLiteral("beep"), QStringLiteral("old"));
        QVERIFY(ktest::writeFile(m_answerFile, body));
        configure({{QStringLiteral("Servers/NexaSwitchSvr"), endpoint.isNull() ? QString() : m_server->url(endpoint)}});
        const bool asks = localSwitch.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0 && !endpoint.isNull();
        const QString path = (endpoint == QLatin1String("//") ? QString() : endpoint) + ListPath;
        const qsizetype before = m_server->recordsAt(path).size();
        KNexaSwitch plugin;
        plugin.exec(QStringLiteral("/anything"));
        QTRY_VERIFY_WITH_TIMEOUT(!plugin.isRequesting(), KTestEnv::scaled(5000));
        QCOMPARE(m_server->recordsAt(path).size() - before, asks ? 1 : 0);
        QCOMPARE(beep(), expected.isEmpty() ? QStringLiteral("old") : expected);
        if (!asks)
            return;
        // The server reads its parameters joined by two ampersands.
        const QString query = m_server->recordsAt(path).last().value(QStringLiteral("query")).toString();
        QVERIFY2(QRegularExpression(QStringLiteral("^_template_type=nexaplex_beta&&uuid=[^&]+&&guid=[^&]*&&hdid=[^&]*"
                                                   "&&_client_version=6\\.0\\.0\\.0&&_dist=0\\.0$"))
                     .match(query)
                     .hasMatch(),
                 qPrintable(query));
    }

    // The endpoint slow: one request at a time, nothing written, and the next line
    // after the transfer limit tries again.
    void slowEndpoint()
    {
        KxPluginsSettings(QStringLiteral("knexabeep")).setValue(QStringLiteral("switch"), QStringLiteral("true"));
        configure({{QStringLiteral("Servers/NexaSwitchSvr"), m_server->url(QStringLiteral("/slow"))}});
        KNexaSwitch::setTransferTimeoutMs(KTestEnv::scaled(600));
        const qsizetype before = m_server->recordsAt(Slow).size();
        KNexaSwitch slow;
        slow.exec(QString());
        slow.exec(QString());
        QTRY_COMPARE_WITH_TIMEOUT(m_server->recordsAt(Slow).size(), before + 1, KTestEnv::scaled(3000));
        QTRY_VERIFY_WITH_TIMEOUT(!slow.isRequesting(), KTestEnv::scaled(5000)); // the transfer limit ends it
        QCOMPARE(m_server->recordsAt(Slow).size(), before + 1);
        QCOMPARE(beep(), QStringLiteral("old"));
        slow.exec(QString());
        QTRY_COMPARE_WITH_TIMEOUT(m_server->recordsAt(Slow).size(), before + 2, KTestEnv::scaled(3000));
        KNexaSwitch::setTransferTimeoutMs(30000);
    }

    // Strategy 2: due at init inside a window (start included, end excluded), or
    // when no window is usable; the stored interval (seconds) as the timer's period.
    void prestartWindows_data()
    {
        QTest::addColumn<QString>("ranges");
        QTest::addColumn<QTime>("now");
        QTest::addColumn<bool>("due");
        QTest::addColumn<int>("interval");
        QTest::addColumn<int>("periodMs");
        const auto row = [](const char *tag, const QString &ranges, QTime now, bool due, int interval = 3600,
                            int periodMs = 3600000) { QTest::newRow(tag) << ranges << now << due << interval << periodMs; };
        const QString def = QStringLiteral("0800-1200;1400-1800");
        row("start included", def, QTime(8, 0), true);
        row("end excluded", def, QTime(12, 0), false);
        row("second window, empty pieces dropped", "0800-1200;;1400-1800;", QTime(17, 0), true);
        row("hour 25 dropped, the rest kept", "0800-1200;2500-2600", QTime(1, 30), false);
        row("reversed never", "2200-0600", QTime(23, 0), false);
        row("nothing usable: always", "0800", QTime(3, 0), true);
        row("five digits unusable", "08000-0900", QTime(3, 0), true);
        row("interval past what a timer takes", "2200-0600", QTime(3, 0), false, 3000000, INT_MAX);
        row("negative interval: the default hour", "2200-0600", QTime(3, 0), false, -5);
    }
    void prestartWindows()
    {
        QFETCH(QString, ranges);
        QFETCH(QTime, now);
        QFETCH(bool, due);
        QFETCH(int, interval);
        QFETCH(int, periodMs);
        m_now = QDateTime(QDate(2026, 3, 2), now);
        setPrestart(2, interval, ranges);
        const qsizetype mark = m_env->logText().size();
        KNexaPrestart plugin;
        plugin.init(); // prestarts when due, and so does each tick
        QMetaObject::invokeMethod(plugin.timer(), "timeout");
        QCOMPARE(prestarts(mark), due ? QStringList(2, "/nexaplex /prestart-type=2") : QStringList());
        QVERIFY(plugin.timer() && plugin.timer()->isActive());
        QCOMPARE(plugin.timer()->interval(), periodMs);
        plugin.uninit();
        QVERIFY(!plugin.timer()->isActive());
    }

    // Strategy 1 starts the shell once, after the start-up delay, however many lines
    // come; strategy 0, an unknown one and strategy 2 with interval 0 start nothing
    // and run no timer.
    void strategies()
    {
        KNexaPrestart::setStartupDelayMs(300);
        const qsizetype mark = m_env->logText().size();
        std::vector<std::unique_ptr<KNexaPrestart>> plugins;
        for (const auto &[strategy, interval] : {std::pair{0, 3600}, {1, 3600}, {3, 3600}, {2, 0}}) {
            setPrestart(strategy, interval, QStringLiteral("0800"));
            plugins.push_back(std::make_unique<KNexaPrestart>());
            plugins.back()->init();
            for (int i = 0; i < 5; ++i)
                plugins.back()->exec(QStringLiteral("/x"));
            QVERIFY(!plugins.back()->timer());
        }
        QCOMPARE(prestarts(mark), QStringList()); // not before the delay
        QTest::qWait(KTestEnv::scaled(1000));
        QCOMPARE(prestarts(mark), QStringList{"/nexaplex /prestart-type=1"});
        KNexaPrestart::setStartupDelayMs(5000);
    }

    // Independent mode: skipped; a launcher that is not there: only logged. Once the
    // installation is right, the next attempt starts the shell.
    void skips_data()
    {
        QTest::addColumn<QString>("install"); // "key=value" added to the installation
        QTest::addColumn<QString>("line");    // ROOT: the world's root
        QTest::newRow("independent") << "Installation/IndependentMode=true" << "isIndependentMode, skipped prestart:1";
        QTest::newRow("launcher missing") << "Installation/LaunchExePath=ROOT/none"
                                          << "prestart:ROOT/none, /nexaplex /prestart-type=1";
    }
    void skips()
    {
        QFETCH(QString, install);
        QFETCH(QString, line);
        configure({{install.section('=', 0, 0), install.section('=', 1).replace("ROOT", m_env->root())}});
        const qsizetype mark = m_env->logText().size();
        KNexaPrestart plugin;
        plugin.prestart(1);
        QCOMPARE(logged(mark), QStringList{line.replace("ROOT", m_env->root())});
        configure();
        const qsizetype after = m_env->logText().size();
        plugin.prestart(1);
        QCOMPARE(prestarts(after), QStringList{"/nexaplex /prestart-type=1"});
    }

    // Before the plugin manager exists, has loaded and the runner is published, KBubble keeps
    // every line; then it runs them in arrival order, once, and hands a document scene, decoded,
    // to the push-bubble object. KUpdateself records the installation's own plugin once loaded.
    // The minisite's line waits for the manager too; with neither package there both
    // loads fail: event 101 (a "TavinSeLoad" line is refused silently).
    void waitingForManagerAndRunner()
    {
        configure({{QStringLiteral("Installation/Version"), QStringLiteral("6.1.2.3")}});
        KRegSettings own(PluginsKey + QStringLiteral("\\ulxcloudsvrimp"));
        QVERIFY(ktest::writeFile(m_env->root() + QStringLiteral("/office/libulxcloudsvrimp.so"), {}));
        const qsizetype mark = m_env->logText().size();
        KFakeObject push;
        m_app->registerPluginInstanceObject(QStringLiteral("KUlxPushBubble"), &push);
        const QString scene = QString::fromLatin1(QStringLiteral("scène 1").toUtf8().toBase64());
        execInnerPlugin(QStringLiteral("KBubble"), QStringLiteral("/start_from=a /doc_scene=") + scene);
        m_app->coreInitComplete(); // the manager is created, loads from the event loop
        KUpdateself early;
        early.init();
        KMinisite minisite;
        minisite.exec(QStringLiteral("/start_from:TAVINSELOAD"));
        minisite.exec(QStringLiteral("/start_from:m"));
        execInnerPlugin(QStringLiteral("KBubble"), QStringLiteral("/start_from=b x"));
        execInnerPlugin(QStringLiteral("KBubble"), QStringLiteral("/other")); // not its business
        m_app->registerPluginInstanceObject(QStringLiteral("kpluginrunner"), m_runner.get());
        QVERIFY(m_runner->calls.isEmpty());
        QVERIFY(!own.contains(QStringLiteral("version")));
        QTRY_COMPARE(calls(), "kbubble|/broadcast /start_from=a /doc_scene=" + scene
                                  + "||ruby,kbubble|/broadcast /start_from=b x||ruby");
        QCOMPARE(logged(mark, QStringLiteral("KBubbleInnerPlugin")).filter("kbubble run success").size(), 2);
        QTRY_COMPARE(push.scenes, QStringList{QStringLiteral("doc_scene=scène 1")});
        m_app->unregisterPluginInstanceObject(QStringLiteral("KUlxPushBubble"));
        QCOMPARE(own.value(QStringLiteral("version")).toString(), QStringLiteral("6.1.2.3"));
        QCOMPARE(own.value(QStringLiteral("lookpath")).toString(), m_env->root() + QStringLiteral("/office"));
        QTRY_COMPARE_WITH_TIMEOUT(events(), QStringList{"101"}, KTestEnv::scaled(5000));
    }

    // A member (a user type in 12..40, or among the user types): event 102 for a line
    // that parses, and nothing is attempted. Anyone else's line goes on, here to the
    // failed loads of both packages: event 101.
    void membership_data()
    {
        QTest::addColumn<QVariant>("type");
        QTest::addColumn<QVariant>("types");
        QTest::addColumn<bool>("member");
        QTest::newRow("nothing") << QVariant() << QVariant() << false;
        QTest::newRow("11") << QVariant(11) << QVariant() << false;
        QTest::newRow("12") << QVariant(12) << QVariant() << true;
        QTest::newRow("41") << QVariant(41) << QVariant() << false;
        QTest::newRow("one of several") << QVariant(3) << QVariant(QStringList{"1", "x", "20"}) << true;
        QTest::newRow("text list") << QVariant() << QVariant(QStringLiteral("5, 41;13")) << true;
        QTest::newRow("none of several") << QVariant(3) << QVariant(QStringList{"11", "41"}) << false;
    }
    void membership()
    {
        QFETCH(QVariant, type);
        QFETCH(QVariant, types);
        QFETCH(bool, member);
        setMember(type, types);
        const qsizetype before = events().size();
        KMinisite plugin;
        plugin.exec(QStringLiteral("/start_from:a"));
        QTRY_COMPARE_WITH_TIMEOUT(events().mid(before), QStringList{member ? "102" : "101"}, KTestEnv::scaled(5000));
        QCOMPARE(plugin.lastAccepted().isNull(), member);
    }

    // The account object, once registered, has membership re-decided after the delay on
    // each login change.
    void loginFollowed()
    {
        setMember({}, {});
        KMinisite following;
        following.init();
        QCOMPARE(following.membershipMode(), int(KMinisite::Undecided));
        KFakeObject account;
        m_app->registerPluginInstanceObject(QStringLiteral("TAVIDESK"), &account);
        QTRY_COMPARE_WITH_TIMEOUT(following.membershipMode(), int(KMinisite::NotMember), KTestEnv::scaled(2000));
        setMember(12, {});
        Q_EMIT account.loginStateChange(QStringLiteral("u1"));
        QCOMPARE(following.membershipMode(), int(KMinisite::NotMember));
        QTRY_COMPARE_WITH_TIMEOUT(following.membershipMode(), int(KMinisite::Member), KTestEnv::scaled(2000));
        m_app->unregisterPluginInstanceObject(QStringLiteral("tavidesk"));
    }

    // The whole path, with the plugin manager: the assistant fails, the minisite's
    // load times out, then succeeds; each stage says what it checks.
    void notification()
    {
        setMember({}, {});
        QFile::remove(m_record);
        KxPluginsSettings(QStringLiteral("minisiteex")).setValue(QStringLiteral("impstrtpmnstdt"), QStringLiteral("garbage"));
        const qsizetype before = events().size();
        const auto eventsAre = [&](const QStringList &expected) {
            return QTest::qWaitFor([&] { return events().size() >= before + expected.size(); }, KTestEnv::scaled(5000))
                && events().mid(before) == expected;
        };
        const auto launchedTimes = [this](int n) {
            return QTest::qWaitFor([&] { return launches().size() >= n; }, KTestEnv::scaled(5000))
                && launches() == QStringList(n, QStringLiteral("/minisite /from:minisite /minisite:tray"));
        };

        // An install slower than the limit: event 101 once, nothing shown when it ends.
        providePackage(QStringLiteral("ulxminisite"), QStringLiteral("ulxminisite"));
        KPluginManager *manager = m_app->getPluginMgr();
        manager->setInstallChunkInterval(KTestEnv::scaled(1500)); // the whole package in one late step
        KMinisite::setLoadLimitSeconds(1);
        {
            KMinisite slow;
            slow.exec(QStringLiteral("/start_from:x"));
            QVERIFY(eventsAre({"101"}));
            QTRY_VERIFY(manager->getPlugin(QStringLiteral("ulxminisite"))->state() == KPlugin::Loaded);
        }
        manager->setInstallChunkInterval(0);
        KMinisite::setLoadLimitSeconds(300);

        // Loaded: the launcher shows the minisite, event 100 once a day, the day marker written.
        KFakeHost &host = KFakeHost::instance();
        host.offered = false;
        KMinisite plugin; // finds no host transport now
        host.offered = true;
        plugin.exec(QStringLiteral("/start_from:x"));
        QVERIFY(launchedTimes(1));
        QVERIFY(eventsAre({"101", "100"}));
        QCOMPARE(KxPluginsSettings(QStringLiteral("minisiteex")).value(QStringLiteral("impstrtpmnstdt")).toString(),
                 QStringLiteral("2026-03-02"));

        // The 600 s window on the wall clock: 600 s later refused with the log line;
        // 601 s later, the same day, shown again without a second event.
        const QDateTime t0 = m_now;
        const qsizetype mark = m_env->logText().size();
        m_now = t0.addSecs(600);
        plugin.exec(QStringLiteral("/start_from:y"));
        QCOMPARE(logged(mark, QStringLiteral("KMinisite")),
                 QStringList{"KMinisite::hasAccepted at : " + t0.toString(Qt::TextDate) + "/start_from:y"});
        m_now = t0.addSecs(601);
        plugin.exec(QStringLiteral("/start_from:x"));
        QVERIFY(launchedTimes(2));

        // Without InstallRoot nothing is started and nothing reported, even by a new
        // plugin that finds the minisite loaded at once.
        KRegSettings(CommonKey).remove(QStringLiteral("InstallRoot"));
        {
            KMinisite rootless;
            rootless.exec(QStringLiteral("/start_from:x"));
            QTest::qWait(KTestEnv::scaled(500));
        }
        QCOMPARE(launches().size(), 2);
        QCOMPARE(events().size(), before + 2);
        KRegSettings(CommonKey).setValue(QStringLiteral("InstallRoot"), QStringLiteral("/opt/suite"));

        // The relay: only the two browse codes, exactly written, reach "ulxminisite",
        // once per signal however many lines were accepted; the host transport is
        // looked up at the send; what it does not deliver is logged.
        KFakeObject bubble;
        m_app->registerPluginInstanceObject(QStringLiteral("kulxpushbubble"), &bubble);
        Q_EMIT bubble.BubbleLogicEx(QStringLiteral("browsetheweb"), QStringLiteral("https://example.invalid/a"));
        Q_EMIT bubble.BubbleLogicEx(QStringLiteral("BrowseTheWeb"), QStringLiteral("no"));
        Q_EMIT bubble.BubbleLogicEx(QStringLiteral("doc_scene"), QStringLiteral("no"));
        QCOMPARE(host.calls, QStringList{"sendMessage"});
        QCOMPARE(host.lastTarget, QStringLiteral("ulxminisite"));
        QCOMPARE(host.lastMessage, QStringLiteral("_TRANSMISSION_"));
        QCOMPARE(host.lastRequest, QStringLiteral("https://example.invalid/a"));
        Q_EMIT bubble.BubbleLogicEx(QStringLiteral("browsetheweb_common"), QStringLiteral("b"));
        QCOMPARE(host.calls.size(), 2);
        QCOMPARE(host.lastRequest, QStringLiteral("b"));
        QCOMPARE(host.lastRequestSize, quint32(2 * 2)); // UTF-16 with its terminating zero
        host.deliver = false;
        const qsizetype undelivered = m_env->logText().size();
        Q_EMIT bubble.BubbleLogicEx(QStringLiteral("browsetheweb"), QStringLiteral("c"));
        QCOMPARE(logged(undelivered, QStringLiteral("KMinisite")),
                 QStringList{"KMinisite::__OnBubbleLogicEx not delivered to ulxminisite: browsetheweb"});
        host.deliver = true;
        m_app->unregisterPluginInstanceObject(QStringLiteral("kulxpushbubble"));

        // A loaded assistant: the minisite is neither loaded nor shown, and the
        // plugin ignores every later line.
        QFile::remove(m_record);
        providePackage(QStringLiteral("kulxminisiteassistant"), QStringLiteral("kbubble"));
        KMinisite assisted;
        assisted.exec(QStringLiteral("/start_from:x"));
        QTRY_VERIFY_WITH_TIMEOUT(assisted.assistantLoaded(), KTestEnv::scaled(5000));
        QTest::qWait(KTestEnv::scaled(300));
        m_now = m_now.addSecs(601);
        assisted.exec(QStringLiteral("/start_from:x"));
        QCOMPARE(assisted.lastAccepted(), m_now.addSecs(-601));
        QCOMPARE(launches(), QStringList());
    }

    // "autorun" off keeps lines; the runner's publication drains them all the same.
    // A refused run is logged.
    void messagePushAutorunAndRefusal()
    {
        m_app->unregisterPluginInstanceObject(QStringLiteral("kpluginrunner"));
        KxPluginsSettings settings(QStringLiteral("messagepush"));
        settings.setValue(QStringLiteral("autorun"), 0);
        const qsizetype mark = m_env->logText().size();
        execInnerPlugin(QStringLiteral("Messagepush"), QStringLiteral("/start_from=one"));
        m_runner->refuse = {QStringLiteral("messagepush")};
        m_app->registerPluginInstanceObject(QStringLiteral("kpluginrunner"), m_runner.get());
        QVERIFY(m_runner->calls.isEmpty()); // autorun off: it never waited for the runner
        settings.setValue(QStringLiteral("autorun"), QStringLiteral("no")); // not a boolean: the default, true
        execInnerPlugin(QStringLiteral("Messagepush"), QStringLiteral("/start_from=two"));
        QCOMPARE(calls(), QStringLiteral("messagepush|/PushType=mipush /start_from=one|messagepush.dll|dll,"
                                         "messagepush|/PushType=mipush /start_from=two|messagepush.dll|dll"));
        QCOMPARE(logged(mark, QStringLiteral("MessagepushInnerPlugin")).filter("run failed").size(), 2);
        settings.setValue(QStringLiteral("autorun"), 1);
    }

    // The update program runs once, with the feature and a program configured;
    // without either nothing runs.
    void updateUlx()
    {
        const QString script = m_env->root() + QStringLiteral("/launcher.sh"); // recording too
        const QString feature = QStringLiteral("UpdateAsInnerPlugin");
        for (const auto &[features, program] : {std::pair{QString(), script}, {feature, QString()}, {feature, script}}) {
            configure({{QStringLiteral("Installation/Features"), features},
                       {QStringLiteral("Installation/UpdateProgram"), program}});
            KUpdateUlx update;
            update.exec(QStringLiteral("/start_from:x"));
        }
        QTRY_VERIFY_WITH_TIMEOUT(!launches().isEmpty(), KTestEnv::scaled(5000));
        QTest::qWait(KTestEnv::scaled(300));
        QCOMPARE(launches(), QStringList{"/from:rlostart"});
    }

    // The newest "krpt_<a.b.c.d>" directory of the pool, published as "krptpath"
    // into the plugins key only when that key exists.
    void krptPath_data()
    {
        QTest::addColumn<QStringList>("dirs"); // "file:" a file, not a directory
        QTest::addColumn<QString>("newest");   // empty: nothing
        QTest::newRow("10 is newer than 9, not another plugin's")
            << QStringList{"krpt_1.0.0.9", "krpt_1.0.0.10", "krptx_3.0.0.0"} << "krpt_1.0.0.10";
        QTest::newRow("look-alikes only")
            << QStringList{"krpt_1.2.3", "krpt_1.2.3.4.5", "krpt_a.b.c.d", "krpt_1.2.3.4\n", "krpt_1.2.3.4 ", "krpt_"} << "";
        QTest::newRow("files and another letter case are not taken")
            << QStringList{"KRPT_9.0.0.0", "krpt_1.0.0.0", "file:krpt_9.0.0.1"} << "krpt_1.0.0.0";
        QTest::newRow("no pool") << QStringList{} << "";
    }
    void krptPath()
    {
        QFETCH(QStringList, dirs);
        QFETCH(QString, newest);
        const QString pool = KPluginPool::poolDir();
        QVERIFY(pool.startsWith(m_env->dataHome() + QStringLiteral("/corvanta/ulx/addons/pool/linux-")));
        QDir(pool).removeRecursively();
        for (const QString &d : std::as_const(dirs)) {
            if (d.startsWith(QLatin1String("file:")))
                QVERIFY(ktest::writeFile(pool + d.mid(5), {}));
            else
                QVERIFY(QDir().mkpath(pool + d));
        }
        KRegSettings(PluginsKey).remove(QString());
        KPluginPool::publishKrptPath();
        QVERIFY(!KRegSettings(PluginsKey).keyExists());
        KRegSettings(PluginsKey + QStringLiteral("\\other")).setValue(QStringLiteral("x"), 1);
        KPluginPool::publishKrptPath();
        const QString published = KRegSettings(PluginsKey).value(QStringLiteral("krptpath")).toString();
        QCOMPARE(published, newest.isEmpty() ? QString() : pool + newest);
    }

    void exec_data()
    {
        QTest::addColumn<QString>("plugin");
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("install"); // "key=value" of the installation, or empty
        QTest::addColumn<QString>("calls");

        QTest::newRow("bubble, edition 6 runs exe") << "KBubble" << "/start_from:d" << "Installation/VersionID=6"
                                                    << "kbubble|/broadcast /start_from:d||exe";
        QTest::newRow("message push ignores tavinseload") << "Messagepush" << "/start_from:TaviNSeLoad" << QString() << QString();
        QTest::newRow("message push switched off") << "Messagepush" << "/start_from:d"
                                                   << "Installation/Features=DoNotSupportMessagePush" << QString();
        QTest::newRow("recent file without start_from") << "KRecentFile" << "/from=d" << QString() << QString();
    }
    void exec()
    {
        QFETCH(QString, plugin);
        QFETCH(QString, line);
        QFETCH(QString, install);
        QFETCH(QString, calls);
        if (!install.isEmpty())
            configure({{install.section('=', 0, 0), install.section('=', 1)}});
        m_app->registerPluginInstanceObject(QStringLiteral("kpluginrunner"), m_runner.get());
        execInnerPlugin(plugin, line);
        QCOMPARE(this->calls(), calls); // direct: the plugin has run when exec returns
    }

    void cleanupTestCase()
    {
        destroyInnerPlugins();
        QVERIFY(innerPluginNames().isEmpty());
        m_runner.reset();
        m_app.reset();
    }
};

QTEST_APPLESS_MAIN(TestInnerPlugins)
#include "tst_innerplugins.moc"
