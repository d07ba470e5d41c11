// The online parameters manager and the common parameters checker against the
// loopback test server: files, period, counters and their event, country and code.

#include "onlineparams/kcommonparamschecker.h"
#include "onlineparams/konlineparamsmanager.h"
#include "platform/registry/kregsettings.h"
#include "reportcore/knettransfer.h"
#include "suite/krt.h"
#include "tests/common/ktestserver.h"
#include "tests/common/kworld.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>

#include <memory>

#include <csignal>
#include <sys/resource.h>

namespace {

const QStringList Counters{"read_config_fail_count", "parse_config_fail_count", "network_fail_count",
                           "write_online_config_fail_count", "write_local_config_fail_count"};

using ktest::readFile;

} // namespace

class TestOnlineParams : public QObject
{
    Q_OBJECT
    std::unique_ptr<KTestEnv> m_env;
    std::unique_ptr<KTestServer> m_server;
    QString m_body;   // the file the "/params" route answers with
    QString m_online; // several levels below a directory that does not exist yet
    QString m_local;

    KRegSettings settings() const { return KRegSettings(KOnlineParamsManager::settingsKey()); }

    void configure(const QString &paramsPath, const QMap<QString, QString> &more = {})
    {
        QMap<QString, QString> ini{
            {"Auth/Server/OnlineAllParamURL", m_server->url(paramsPath)},
            {"Installation/Version", "11.1.0.9999"},
            {"Installation/DistribNumber", "123.456"},
            {"Installation/Language", "zh_CN"},
            {"Installation/SystemUiLanguages", "en-GB,de-DE"},
            {"Servers/InfoCollectSvr", m_server->url(QStringLiteral("/collect"))},
            {"OnlineParams/OnlineParamPath", m_online},
            {"OnlineParams/LocalParamPath", m_local},
        };
        for (auto it = more.cbegin(); it != more.cend(); ++it)
            ini.insert(it.key(), it.value());
        m_env->writeInstallConfig(ini);
        krt::reload();
    }

    void reset()
    {
        KRegSettings s = settings();
        s.remove(QString());
        QDir(m_env->root() + QStringLiteral("/files")).removeRecursively();
    }

private Q_SLOTS:
    void initTestCase()
    {
        for (const char *name : {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "all_proxy",
                                 "no_proxy", "NO_PROXY"})
            qunsetenv(name);
        m_env = std::make_unique<KTestEnv>();
        m_body = m_env->root() + QStringLiteral("/body.json");
        m_online = m_env->root() + QStringLiteral("/files/a/b/online/params.json");
        m_local = m_env->root() + QStringLiteral("/files/c/d/local/params.json");
        m_server = std::make_unique<KTestServer>(
            m_env->root() + QStringLiteral("/server"),
            QStringList{QStringLiteral("/params=file:") + m_body, QStringLiteral("/e500=status:500"),
                        QStringLiteral("/close=close"),
                        QStringLiteral("/endless=endless"), QStringLiteral("/hang=hang"),
                        QStringLiteral("/api/util/geo/country=file:") + m_body});
        QVERIFY(m_server->isRunning());
    }

    void cleanupTestCase() { ulx::report::finishSending(0); }

    // A fetch writes both files byte for byte, takes the period from the first
    // usable "global" group, keeps it across a restart, and sends the request as built.
    void fetchWritesFilesAndPeriod()
    {
        reset();
        configure(QStringLiteral("/params"));
        const QByteArray body = "{\"params\":[{\"funcName\":\"other\",\"extras\":[{\"key\":\"nRequestSpanInSec\",\"value\":7}]},"
                                "{\"funcName\":\"global\"},"
                                "{\"funcName\":\"global\",\"extras\":[{\"key\":\"nRequestSpanInSec\",\"value\":300},"
                                "{\"key\":\"nRequestSpanInSec\",\"value\":900}]}],"
                                "\"note\":\"caf\xc3\xa9 \xff\xfe raw\"}";
        QVERIFY(ktest::writeFile(m_body, body));
        QObject parent;
        auto *manager = new KOnlineParamsManager(&parent);
        QVERIFY(manager->start());
        QCOMPARE(manager->periodMs(), KOnlineParamsManager::DefaultPeriodSec * 1000);
        QTRY_COMPARE_WITH_TIMEOUT(readFile(m_local), body, KTestEnv::scaled(5000));
        QCOMPARE(readFile(m_online), body);
        QCOMPARE(manager->periodMs(), 900 * 1000);
        const QVariant stored = settings().value(QStringLiteral("nRequestSpanInSec"));
        QCOMPARE(stored.metaType().id(), QMetaType::Int); // REG_DWORD
        QCOMPARE(stored.toInt(), 900);
        // No temporary file is left beside either.
        QCOMPARE(QDir(QFileInfo(m_online).absolutePath()).entryList(QDir::Files), QStringList{"params.json"});
        QCOMPARE(QDir(QFileInfo(m_local).absolutePath()).entryList(QDir::Files), QStringList{"params.json"});

        const QList<QJsonObject> requests = m_server->recordsAt(QStringLiteral("/params"));
        QVERIFY(!requests.isEmpty());
        QCOMPARE(requests.last().value(QStringLiteral("query")).toString(),
                 QStringLiteral("version=11.1.0.9999&lang=zh-CN&channel=123.456&devicetype=windows&sys_lang=en_GB"));

        delete manager; // the service restarts
        auto *again = new KOnlineParamsManager(&parent);
        QVERIFY(ktest::writeFile(m_body, "not json at all"));
        again->start();
        QCOMPARE(again->periodMs(), 900 * 1000);
        QTRY_COMPARE_WITH_TIMEOUT(readFile(m_local), QByteArray("not json at all"), KTestEnv::scaled(5000));
        QCOMPARE(again->periodMs(), 900 * 1000);
    }

    // Periods from the server that would spin or not fit a timer are held to the bounds.
    void periodBounds_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<int>("seconds");
        QTest::newRow("zero") << QByteArray("0") << int(KOnlineParamsManager::MinServerPeriodSec);
        QTest::newRow("enormous") << QByteArray("1e12") << int(KOnlineParamsManager::MaxPeriodSec);
        QTest::newRow("text number") << QByteArray("\"600\"") << 600;
        QTest::newRow("not a number") << QByteArray("\"soon\"") << int(KOnlineParamsManager::DefaultPeriodSec);
        QTest::newRow("past 64 bits") << QByteArray("1e19") << int(KOnlineParamsManager::MaxPeriodSec);
        QTest::newRow("past any integer") << QByteArray("1e300") << int(KOnlineParamsManager::MaxPeriodSec);
        QTest::newRow("true") << QByteArray("true") << int(KOnlineParamsManager::DefaultPeriodSec);
        QTest::newRow("fraction") << QByteArray("1.5") << int(KOnlineParamsManager::DefaultPeriodSec);
        QTest::newRow("params not a list") << QByteArray() << int(KOnlineParamsManager::DefaultPeriodSec);
    }

    void periodBounds()
    {
        QFETCH(QByteArray, value);
        QFETCH(int, seconds);
        reset();
        configure(QStringLiteral("/params"));
        const QByteArray body = value.isEmpty()
            ? QByteArray("{\"params\":{\"funcName\":\"global\",\"extras\":[{\"key\":\"nRequestSpanInSec\",\"value\":5}]}}")
            : "{\"params\":[{\"funcName\":\"global\",\"extras\":[{\"key\":\"nRequestSpanInSec\",\"value\":" + value + "}]}]}";
        QVERIFY(ktest::writeFile(m_body, body));
        QObject parent;
        auto *manager = new KOnlineParamsManager(&parent);
        manager->start();
        QTRY_COMPARE_WITH_TIMEOUT(readFile(m_local), body, KTestEnv::scaled(5000));
        QCOMPARE(manager->periodMs(), seconds * 1000);
    }

    // Four failed requests in one period are stored as 4, reported once at the next
    // period, and every counter is 0 afterwards.
    void failedRequests_data()
    {
        QTest::addColumn<QString>("path");
        QTest::newRow("500") << QStringLiteral("/e500");
        QTest::newRow("connection closed") << QStringLiteral("/close");
        QTest::newRow("endless body") << QStringLiteral("/endless");
        QTest::newRow("server down") << QStringLiteral("down");
    }

    void failedRequests()
    {
        QFETCH(QString, path);
        reset();
        if (path == QLatin1String("down")) {
            KTestServer gone(m_env->root() + QStringLiteral("/gone"));
            configure(QString(), {{"Auth/Server/OnlineAllParamURL", gone.url(QStringLiteral("/params"))}});
        } else {
            configure(path);
        }
        const int before = m_server->recordsAt(path).size();
        const int eventsBefore = m_server->recordsAt(QStringLiteral("/collect")).size();
        settings().setValue(QStringLiteral("nRequestSpanInSec"), 6);
        QObject parent;
        auto *manager = new KOnlineParamsManager(&parent);
        manager->setMaxBodyBytes(1024 * 1024);
        manager->start();
        QTRY_COMPARE_WITH_TIMEOUT(settings().value(QStringLiteral("network_fail_count")).toInt(), 4, KTestEnv::scaled(5500));
        if (path != QLatin1String("down"))
            QVERIFY(m_server->recordsAt(path).size() - before >= 4); // Qt itself resends on a closed connection
        QVERIFY(!QFile::exists(m_online));

        QTRY_VERIFY_WITH_TIMEOUT(m_server->recordsAt(QStringLiteral("/collect")).size() > eventsBefore, KTestEnv::scaled(8000));
        manager->stopTimer();
        const QMap<QString, QString> event = KTestServer::pairsOf(m_server->recordsAt(QStringLiteral("/collect")).at(eventsBefore));
        QCOMPARE(event.value(QStringLiteral("action")), QStringLiteral("getonlineparam_error"));
        QCOMPARE(event.value(QStringLiteral("dm")), QStringLiteral("/ulx/client/general"));
        QCOMPARE(event.value(QStringLiteral("pnum")), QStringLiteral("2"));
        QCOMPARE(event.value(QStringLiteral("p1")), QStringLiteral("network_fail_count=4"));
        for (const QString &name : Counters)
            QCOMPARE(settings().value(name).toInt(), 0);
    }

    // A request that never answers is given up within the period: it neither
    // blocks the retries nor piles up.
    void hangingServer()
    {
        reset();
        configure(QStringLiteral("/hang"));
        settings().setValue(QStringLiteral("nRequestSpanInSec"), 1);
        const int before = m_server->recordsAt(QStringLiteral("/hang")).size();
        QObject parent;
        auto *manager = new KOnlineParamsManager(&parent);
        manager->start();
        QTest::qWait(4500);
        manager->stopTimer();
        const int made = m_server->recordsAt(QStringLiteral("/hang")).size() - before;
        QVERIFY2(made >= 3 && made <= 10, QByteArray::number(made));
    }

    // A disk that fills up while the new online file is written (a file size limit
    // stands in for it): counted, retried once, and the old files stay whole.
    void fullDisk()
    {
        reset();
        configure(QStringLiteral("/params"));
        const QByteArray big = "{\"params\":[],\"pad\":\"" + QByteArray(1024 * 1024, 'x') + "\"}";
        QVERIFY(ktest::writeFile(m_body, big));
        QVERIFY(ktest::writeFile(m_online, "old online"));
        QVERIFY(ktest::writeFile(m_local, "old local"));
        struct rlimit saved;
        QCOMPARE(::getrlimit(RLIMIT_FSIZE, &saved), 0);
        const auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = saved;
        limit.rlim_cur = 256 * 1024;
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &limit), 0);
        QObject parent;
        auto *manager = new KOnlineParamsManager(&parent);
        manager->start();
        QTRY_COMPARE_WITH_TIMEOUT(settings().value(QStringLiteral("write_online_config_fail_count")).toInt(), 2,
                                  KTestEnv::scaled(5000));
        ::setrlimit(RLIMIT_FSIZE, &saved);
        ::signal(SIGXFSZ, oldHandler);
        QCOMPARE(readFile(m_online), QByteArray("old online"));
        QCOMPARE(readFile(m_local), QByteArray("old local"));
        QCOMPARE(QDir(QFileInfo(m_online).absolutePath()).entryList(QDir::Files), QStringList{"params.json"});
    }

    // Files that cannot be written: counted, retried once (the online write with
    // the local replacement, the local replacement alone), nothing half-written.
    void writeFailures_data()
    {
        QTest::addColumn<bool>("onlineBlocked");
        QTest::newRow("online directory cannot be made") << true;
        QTest::newRow("local directory cannot be made") << false;
    }

    void writeFailures()
    {
        QFETCH(bool, onlineBlocked);
        reset();
        configure(QStringLiteral("/params"));
        QVERIFY(ktest::writeFile(m_body, "{\"params\":[]}"));
        // A file where a directory of the path should be.
        const QString blocked = QFileInfo(QFileInfo(onlineBlocked ? m_online : m_local).absolutePath()).absolutePath();
        QVERIFY(ktest::writeFile(blocked, "in the way"));
        QObject parent;
        auto *manager = new KOnlineParamsManager(&parent);
        manager->start();
        const QString failed = onlineBlocked ? QStringLiteral("write_online_config_fail_count")
                                             : QStringLiteral("write_local_config_fail_count");
        QTRY_COMPARE_WITH_TIMEOUT(settings().value(failed).toInt(), 2, KTestEnv::scaled(5000));
        QTest::qWait(1500); // no third attempt
        QCOMPARE(settings().value(failed).toInt(), 2);
        QCOMPARE(settings().value(failed).metaType().id(), QMetaType::Int);
        if (onlineBlocked) {
            QCOMPARE(settings().value(QStringLiteral("write_local_config_fail_count")).toInt(), 0);
            QVERIFY(!QFile::exists(m_local));
        } else {
            QCOMPARE(readFile(m_online), QByteArray("{\"params\":[]}"));
        }
    }

    // Counters left by other programs are reported once at start, only those above 0;
    // with collection disabled nothing is sent but they are still cleared.
    void storedCountersAtStart_data()
    {
        QTest::addColumn<bool>("disabled");
        QTest::newRow("reported") << false;
        QTest::newRow("collection disabled") << true;
    }

    void storedCountersAtStart()
    {
        QFETCH(bool, disabled);
        reset();
        configure(QString(), {{"Auth/Server/OnlineAllParamURL", QString()},
                              {"Installation/DisableGlobalInfocollect", disabled ? "true" : "false"}});
        settings().setValue(QStringLiteral("read_config_fail_count"), 2);
        const int eventsBefore = m_server->recordsAt(QStringLiteral("/collect")).size();
        QObject parent;
        auto *manager = new KOnlineParamsManager(&parent);
        QVERIFY(!manager->start()); // no parameter server: no request
        for (const QString &name : Counters)
            QCOMPARE(settings().value(name).toInt(), 0);
        if (disabled) {
            QTest::qWait(500);
            QCOMPARE(m_server->recordsAt(QStringLiteral("/collect")).size(), eventsBefore);
            return;
        }
        QTRY_VERIFY_WITH_TIMEOUT(m_server->recordsAt(QStringLiteral("/collect")).size() > eventsBefore, KTestEnv::scaled(5000));
        const QMap<QString, QString> event = KTestServer::pairsOf(m_server->recordsAt(QStringLiteral("/collect")).at(eventsBefore));
        QCOMPARE(event.value(QStringLiteral("pnum")), QStringLiteral("2"));
        QCOMPARE(event.value(QStringLiteral("p1")), QStringLiteral("read_config_fail_count=2"));
    }

    // "Nation" from the geo service over TLS with a certificate nobody trusts, and
    // "Hdcode" from "InfoHD".
    void commonParams_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QString>("nation");       // before -> after
        QTest::addColumn<QString>("infoHd");
        QTest::addColumn<QString>("expectNation");
        QTest::addColumn<QString>("expectHdcode");
        QTest::addColumn<bool>("requests");
        QTest::newRow("country") << QByteArray("{\"result\":\"DE\"}") << QString() << QStringLiteral("abc9") << "DE" << "9" << true;
        QTest::newRow("number") << QByteArray("{\"result\":49}") << QString() << QString() << "unknown" << QString() << true;
        QTest::newRow("garbage") << QByteArray("<html>") << QString() << QStringLiteral("Z") << QString() << "Z" << true;
        QTest::newRow("array") << QByteArray("[\"DE\"]") << QString() << QString() << QString() << QString() << true;
        QTest::newRow("nation set") << QByteArray("{\"result\":\"FR\"}") << QStringLiteral("IT") << QStringLiteral("x1f")
                                    << "IT" << "f" << false;
        // Without a configured geo service nothing goes out.
        QTest::newRow("no geo service") << QByteArray() << QString() << QString() << QString() << QString() << false;
    }

    void commonParams()
    {
        QFETCH(QByteArray, answer);
        QFETCH(QString, nation);
        QFETCH(QString, infoHd);
        QFETCH(QString, expectNation);
        QFETCH(QString, expectHdcode);
        QFETCH(bool, requests);
        KTestServer geo(m_env->root() + QStringLiteral("/geo-") + QLatin1String(QTest::currentDataTag()),
                        {QStringLiteral("/api/util/geo/country=file:") + m_body}, true);
        QVERIFY(geo.isRunning());
        QVERIFY(ktest::writeFile(m_body, answer));
        configure(QStringLiteral("/params"), {{"Servers/GeoSvr", answer.isEmpty() ? QString() : geo.url(QString())}});
        const qsizetype before = m_server->records().size();
        KRegSettings pm(KCommonParamsChecker::pluginMgrKey());
        pm.remove(QString());
        KRegSettings common(QStringLiteral("HKEY_CURRENT_USER\\Software\\Corvanta\\Office\\6.0\\Common"));
        common.remove(QStringLiteral("InfoHD"));
        if (!nation.isEmpty())
            pm.setValue(QStringLiteral("Nation"), nation);
        if (!infoHd.isEmpty())
            common.setValue(QStringLiteral("InfoHD"), infoHd);

        KCommonParamsChecker::instance()->check();
        if (requests)
            QTRY_COMPARE_WITH_TIMEOUT(geo.records().size(), 1, KTestEnv::scaled(5000));
        QTest::qWait(300); // the answer is stored from the event loop
        QCOMPARE(geo.records().size(), requests ? 1 : 0);
        QCOMPARE(m_server->records().size(), before);
        QCOMPARE(pm.value(QStringLiteral("Nation")).toString(), expectNation);
        if (answer.isEmpty())
            QVERIFY(!pm.contains(QStringLiteral("Nation")));
        QCOMPARE(pm.value(QStringLiteral("Hdcode")).toString(), expectHdcode);
        KCommonParamsChecker::release();
    }

    // A real service: once its core is initialised it fetches the parameters into
    // both files and fills "Nation" and "Hdcode".
    void serviceStart()
    {
        reset();
        KTestServer geo(m_env->root() + QStringLiteral("/geo-service"),
                        {QStringLiteral("/api/util/geo/country=file:") + m_env->root() + QStringLiteral("/geo.json")}, true);
        QVERIFY(ktest::writeFile(m_env->root() + QStringLiteral("/geo.json"), "{\"result\":\"PT\"}"));
        const QByteArray body = "{\"params\":[{\"funcName\":\"global\",\"extras\":[{\"key\":\"nRequestSpanInSec\",\"value\":7200}]}]}";
        QVERIFY(ktest::writeFile(m_body, body));
        configure(QStringLiteral("/params"), {{"Servers/GeoSvr", geo.url(QString())}});
        KRegSettings pm(KCommonParamsChecker::pluginMgrKey());
        pm.remove(QString());
        KRegSettings(QStringLiteral("HKEY_CURRENT_USER\\Software\\Corvanta\\Office\\6.0\\Common"))
            .setValue(QStringLiteral("InfoHD"), QStringLiteral("0f1e2d3c4b5a69788796a5b4c3d2e1f0"));
        ktest::KService service(*m_env);
        QVERIFY(service.start({QStringLiteral("/start_from:test")}));
        QTRY_COMPARE_WITH_TIMEOUT(readFile(m_local), body, KTestEnv::scaled(10000));
        QCOMPARE(readFile(m_online), body);
        QTRY_COMPARE_WITH_TIMEOUT(pm.value(QStringLiteral("Nation")).toString(), QStringLiteral("PT"), KTestEnv::scaled(10000));
        QCOMPARE(pm.value(QStringLiteral("Hdcode")).toString(), QStringLiteral("0"));
        QTRY_COMPARE_WITH_TIMEOUT(settings().value(QStringLiteral("nRequestSpanInSec")).toInt(), 7200, KTestEnv::scaled(5000));
        QVERIFY(service.stop());
    }
};

QTEST_GUILESS_MAIN(TestOnlineParams)
#include "tst_onlineparams.moc"
