// The minisite inner plugin in one process, linked as the service links it: a
// private plugin catalogue, a recording launcher, the loopback collector for its
// events and a recording host transport for the relay; wall-clock boundaries with
// the injectable clock.
#include "innerplugins/iinnerplugin.h"
#include "innerplugins/kinnerclock.h"
#include "innerplugins/minisite/kminisite.h"
#include "platform/registry/kregsettings.h"
#include "tests/common/kserviceapp.h"
#include "suite/kmemberuser.h"
#include "suite/krt.h"
#include "suite/kxpluginssettings.h"
#include "suite/plugins/kplugin.h"
#include "suite/plugins/kpluginmanager.h"
#include "tests/common/kfakehost.h"
#include "tests/common/ktestserver.h"
#include "tests/common/kworld.h"

#include <QDir>
#include <QFile>
#include <QTest>

#include <memory>

namespace {
const QString CommonKey = QStringLiteral("HKEY_CURRENT_USER\\Software\\Corvanta\\Office\\6.0\\Common");

class KFakeAccount : public QObject
{
    Q_OBJECT
Q_SIGNALS:
    void loginStateChange(const QString &userId);
};

class KFakeBubble : public QObject
{
    Q_OBJECT
Q_SIGNALS:
    void BubbleLogicEx(const QString &logicCode, const QString &logicInfo);
};
} // namespace

class TestMinisite : public QObject
{
    Q_OBJECT
private:
    std::unique_ptr<KTestEnv> m_env;
    std::unique_ptr<KTestServer> m_collector;
    std::unique_ptr<KxApplication> m_app;
    QString m_record;
    QDateTime m_now;

    QString pkgDir(const QString &name) const { return m_env->root() + QStringLiteral("/pkgs/") + name; }
    // The package of `name` holds a copy of the build's package `from` (empty: no package, its load fails).
    void providePackage(const QString &name, const QString &from)
    {
        QDir(pkgDir(name)).removeRecursively();
        if (from.isEmpty())
            return;
        QDir().mkpath(pkgDir(name));
        const QString source = KTestEnv::binPath(QStringLiteral("plugins/packages/%1/lib%1.so").arg(from));
        QVERIFY(QFile::copy(source, pkgDir(name) + QStringLiteral("/lib%1.so").arg(from)));
    }
    QStringList launches() const { return ktest::readLines(m_record); }
    // The minisite event codes the collector received, in order.
    QStringList events() const
    {
        return m_collector->eventValues(QStringLiteral("/ulx/client/minisite"), QStringLiteral("impstartupmini"));
    }
    QStringList minisiteLog(qsizetype from) const { return ktest::logMessages(*m_env, QStringLiteral("KMinisite"), from); }
    void setMember(const QVariant &type, const QVariant &types)
    {
        KRegSettings account(KMemberUser::keyPath());
        account.remove(QStringLiteral("UserType"));
        account.remove(QStringLiteral("UserTypes"));
        if (type.isValid())
            account.setValue(QStringLiteral("UserType"), type);
        if (types.isValid())
            account.setValue(QStringLiteral("UserTypes"), types);
    }
    QString dayMarker() const
    {
        return KxPluginsSettings(QStringLiteral("minisiteex")).value(QStringLiteral("impstrtpmnstdt")).toString();
    }

private Q_SLOTS:
    void initTestCase()
    {
        qputenv("TZ", "JST-9");
        m_env = std::make_unique<KTestEnv>();
        m_collector = std::make_unique<KTestServer>(m_env->root());
        QVERIFY(m_collector->isRunning());
        m_record = m_env->root() + QStringLiteral("/launches.txt");
        QVERIFY(ktest::writeRecordingScript(m_env->root() + QStringLiteral("/launcher.sh"), m_record));
        QVERIFY(ktest::writeFile(m_env->root() + QStringLiteral("/catalogue.json"), R"({"plugins": [
  {"name": "ulxminisite", "version": "1.0.0.1", "package": "pkgs/ulxminisite", "library": "libulxminisite.so"},
  {"name": "kulxminisiteassistant", "version": "1.0.0.1", "package": "pkgs/kulxminisiteassistant", "library": "libkbubble.so"}
]})"));
        reconfigure();
        KMinisite::setVipDelayMs(50);
        KFakeHost::instance().reset();
        KFakeHost::instance().deliverToSelf = false;
        m_app = makeServiceApp();
        KRegSettings(CommonKey).setValue(QStringLiteral("InstallRoot"), QStringLiteral("/opt/suite"));
        m_now = QDateTime(QDate(2026, 3, 2), QTime(10, 0));
        kinnerclock::setSource([this] { return m_now; });
    }

    void membership_data()
    {
        QTest::addColumn<QVariant>("type");
        QTest::addColumn<QVariant>("types");
        QTest::addColumn<bool>("member");
        QTest::newRow("nothing") << QVariant() << QVariant() << false;
        QTest::newRow("11") << QVariant(11) << QVariant() << false;
        QTest::newRow("12") << QVariant(12) << QVariant() << true;
        QTest::newRow("40 as text") << QVariant(QStringLiteral("40")) << QVariant() << true;
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
        QCOMPARE(KMinisite::isMember(), member);
    }

    // A member: event 102 for every line that parses, and nothing is attempted;
    // in product version 6 not even that. The account object, once registered,
    // has membership re-decided after the delay on each login change.
    void memberReportedAndLoginFollowed()
    {
        setMember(30, {});
        const qsizetype before = events().size();
        KMinisite plugin;
        plugin.exec(QStringLiteral("/start_from:a"));
        plugin.exec(QStringLiteral("/start_from:b"));
        QTRY_VERIFY_WITH_TIMEOUT(events().size() >= before + 2, KTestEnv::scaled(5000));
        QCOMPARE(events().mid(before), (QStringList{"102", "102"}));
        QVERIFY(plugin.lastAccepted().isNull());

        m_env->writeInstallConfig({{QStringLiteral("Servers/InfoCollectSvr"), m_collector->url(QStringLiteral("/c"))},
                                   {QStringLiteral("Installation/VersionID"), QStringLiteral("6")}});
        krt::reload();
        KMinisite v6;
        v6.exec(QStringLiteral("/start_from:a"));
        QCOMPARE(v6.membershipMode(), int(KMinisite::Undecided));
        reconfigure();

        setMember({}, {});
        KMinisite following;
        following.init();
        QCOMPARE(following.membershipMode(), int(KMinisite::Undecided));
        KFakeAccount account;
        m_app->registerPluginInstanceObject(QStringLiteral("TAVIDESK"), &account);
        QTRY_COMPARE_WITH_TIMEOUT(following.membershipMode(), int(KMinisite::NotMember), KTestEnv::scaled(2000));
        setMember(12, {});
        Q_EMIT account.loginStateChange(QStringLiteral("u1"));
        QCOMPARE(following.membershipMode(), int(KMinisite::NotMember));
        QTRY_COMPARE_WITH_TIMEOUT(following.membershipMode(), int(KMinisite::Member), KTestEnv::scaled(2000));
        m_app->unregisterPluginInstanceObject(QStringLiteral("tavidesk"));
        QCOMPARE(events().size(), before + 2); // nothing from version 6
    }

    // The whole path, with the plugin manager: the assistant fails, the minisite
    // package fails (event 101), loads too slowly (101 once), then loads: the
    // launcher shows the minisite on every notification, event 100 once a day, the
    // day marker written. Without InstallRoot nothing happens; a loaded assistant
    // takes over for good.
    void notification()
    {
        setMember({}, {});
        m_app->coreInitComplete();
        QTRY_VERIFY_WITH_TIMEOUT(m_app_loaded(), KTestEnv::scaled(5000));
        providePackage(QStringLiteral("ulxminisite"), {});
        providePackage(QStringLiteral("kulxminisiteassistant"), {});
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

        {
            KMinisite failing;
            failing.exec(QStringLiteral("/start_from:TAVINSELOAD")); // refused silently: not even the window starts
            failing.exec(QStringLiteral("/start_from:x"));
            QVERIFY(eventsAre({"101"}));
        }

        // A minisite install slower than the limit: timed out, event 101 once.
        providePackage(QStringLiteral("ulxminisite"), QStringLiteral("ulxminisite"));
        KPluginManager *manager = m_app->getPluginMgr();
        manager->setInstallChunkSize(1);
        manager->setInstallChunkInterval(KTestEnv::scaled(5000));
        KMinisite::setLoadLimitSeconds(1);
        {
            KMinisite slow;
            slow.exec(QStringLiteral("/start_from:x"));
            QVERIFY(eventsAre({"101", "101"}));
            manager->getPlugin(QStringLiteral("ulxminisite"))->cancelLoad();
            QTest::qWait(KTestEnv::scaled(300));
        }
        manager->setInstallChunkSize(KPluginManager::DefaultInstallChunkSize);
        manager->setInstallChunkInterval(0);
        KMinisite::setLoadLimitSeconds(300);
        QCOMPARE(events().size(), before + 2);
        QCOMPARE(launches(), QStringList());

        KFakeHost &host = KFakeHost::instance();
        host.offered = false;
        KMinisite plugin; // finds no host transport now
        host.offered = true;
        plugin.exec(QStringLiteral("/start_from:x"));
        QVERIFY(launchedTimes(1));
        QVERIFY(eventsAre({"101", "101", "100"}));
        QCOMPARE(dayMarker(), QStringLiteral("2026-03-02"));

        // The 600 s window on the wall clock: 600 s later refused with the log line,
        // a clock set back inside the window refused too; 601 s later, the same day,
        // shown again without a second event. The kept states answer at once.
        const QDateTime t0 = m_now;
        const qsizetype mark = m_env->logText().size();
        m_now = t0.addSecs(600);
        plugin.exec(QStringLiteral("/start_from:y"));
        QCOMPARE(minisiteLog(mark), QStringList{"KMinisite::hasAccepted at : " + t0.toString(Qt::TextDate) + "/start_from:y"});
        m_now = t0.addSecs(-30);
        plugin.exec(QStringLiteral("/start_from:z"));
        QCOMPARE(plugin.lastAccepted(), t0);
        m_now = t0.addSecs(601);
        plugin.exec(QStringLiteral("/start_from:x"));
        QVERIFY(launchedTimes(2));
        QTest::qWait(KTestEnv::scaled(300));
        QCOMPARE(events().size(), before + 3);

        // A marker in the future holds the event back; the next day sends it.
        KxPluginsSettings(QStringLiteral("minisiteex")).setValue(QStringLiteral("impstrtpmnstdt"), QStringLiteral("2026-03-05"));
        m_now = m_now.addSecs(601);
        plugin.exec(QStringLiteral("/start_from:x"));
        QVERIFY(launchedTimes(3));
        QCOMPARE(dayMarker(), QStringLiteral("2026-03-05"));
        m_now = QDateTime(QDate(2026, 3, 6), QTime(0, 0));
        plugin.exec(QStringLiteral("/start_from:x"));
        QVERIFY(launchedTimes(4));
        QVERIFY(eventsAre({"101", "101", "100", "100"}));
        QCOMPARE(dayMarker(), QStringLiteral("2026-03-06"));

        // Without InstallRoot nothing is started and nothing reported.
        KRegSettings(CommonKey).remove(QStringLiteral("InstallRoot"));
        m_now = m_now.addSecs(601);
        plugin.exec(QStringLiteral("/start_from:x"));
        QTest::qWait(KTestEnv::scaled(500));
        QCOMPARE(launches().size(), 4);
        QCOMPARE(events().size(), before + 4);
        KRegSettings(CommonKey).setValue(QStringLiteral("InstallRoot"), QStringLiteral("/opt/suite"));

        // The relay: only the two browse codes, exactly written, reach "ulxminisite",
        // once per signal however many lines were accepted; the host transport is
        // looked up at the send. Not delivered: logged, nothing else.
        KFakeBubble bubble;
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
        host.deliver = false;
        const qsizetype relayMark = m_env->logText().size();
        Q_EMIT bubble.BubbleLogicEx(QStringLiteral("browsetheweb"), QString(5000, QLatin1Char('x')));
        QCOMPARE(host.lastRequestSize, quint32(2 * 5001));
        QCOMPARE(minisiteLog(relayMark), QStringList{"KMinisite::__OnBubbleLogicEx not delivered to ulxminisite: browsetheweb"});
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
        m_now = QDateTime(QDate(2026, 3, 2), QTime(10, 0));
    }

private:
    bool m_app_loaded() const { return m_app->getPluginMgr() && m_app->getPluginMgr()->loaded(); }
    void reconfigure()
    {
        m_env->writeInstallConfig({{QStringLiteral("Servers/InfoCollectSvr"), m_collector->url(QStringLiteral("/c"))},
                                   {QStringLiteral("Installation/PluginCatalog"), m_env->root() + QStringLiteral("/catalogue.json")},
                                   {QStringLiteral("Installation/LaunchExePath"), m_env->root() + QStringLiteral("/launcher.sh")}});
        krt::reload();
    }
};

QTEST_APPLESS_MAIN(TestMinisite)
#include "tst_minisite.moc"
