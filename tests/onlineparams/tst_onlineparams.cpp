// The online parameters manager and the common parameters checker against the
// loopback test server: files, period, counters and their event, country and code.
#include "onlineparams/kcommonparamschecker.h"
#include "onlineparams/konlineparamsmanager.h"
#include "platform/knetaccess.h"
#include "platform/registry/kregsettings.h"
#include "reportcore/knettransfer.h"
#include "suite/krt.h"
#include "tests/common/ktestserver.h"
#include "tests/common/kworld.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTest>

#include <cmath>
#include <memory>

using ktest::readFile;

namespace {
// The start of a "global" entry's period value, up to the value.
const QByteArray Span = "\"extras\":[{\"key\":\"nRequestSpanInSec\",\"value\":";
} // namespace

class TestOnlineParams : public QObject
{
    Q_OBJECT
    std::unique_ptr<KTestEnv> m_env;
    std::unique_ptr<KTestServer> m_server;
    std::unique_ptr<KTestServer> m_geo; // over TLS, a certificate nobody trusts
    QString m_body;   // the file the "/params" route answers with
    QString m_online; // several levels below a directory that does not exist yet
    QString m_local;

    KRegSettings settings() const { return KRegSettings(KOnlineParamsManager::settingsKey()); }
    int counter(const QString &name) const { return settings().value(name).toInt(); }
    qsizetype events() const { return m_server->recordsAt(QStringLiteral("/collect")).size(); }
    QMap<QString, QString> event(qsizetype i) const
    {
        return KTestServer::pairsOf(m_server->recordsAt(QStringLiteral("/collect")).at(i));
    }

    // A fresh start: no stored values, no files, the installation as given.
    void configure(const QString &paramsUrl, const QMap<QString, QString> &more = {})
    {
        settings().remove(QString());
        QDir(m_env->root() + QStringLiteral("/files")).removeRecursively();
        QMap<QString, QString> ini{{"Auth/Server/OnlineAllParamURL", paramsUrl},
                                   {"Installation/Version", "11.1.0.9999"},
                                   {"Installation/DistribNumber", "123.456"},
                                   {"Installation/Language", "zh_CN"},
                                   {"Installation/SystemUiLanguages", "en-GB,de-DE"},
                                   {"Servers/InfoCollectSvr", m_server->url(QStringLiteral("/collect"))},
                                   {"OnlineParams/OnlineParamPath", m_online},
                                   {"OnlineParams/LocalParamPath", m_local}};
        ini.insert(more);
        m_env->writeInstallConfig(ini);
        krt::reload();
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_env = std::make_unique<KTestEnv>();
        m_body = m_env->root() + QStringLiteral("/body.json");
        m_online = m_env->root() + QStringLiteral("/files/a/b/online/params.json");
        m_local = m_env->root() + QStringLiteral("/files/c/d/local/params.json");
        m_server = std::make_unique<KTestServer>(
            m_env->root() + QStringLiteral("/server"),
            QStringList{QStringLiteral("/params=file:") + m_body,
                        QStringLiteral("/endless=endless"),
                        QStringLiteral("/plain/api/util/geo/country=file:") + m_body});
        QVERIFY(m_server->isRunning());
        // The geo service under a base path per way of answering.
        QStringList geoRoutes;
        for (const QString &kind : {"file:" + m_body, QStringLiteral("endless"), "slowfile:200:" + m_body})
            geoRoutes << QStringLiteral("/%1/api/util/geo/country=%2").arg(kind.section(':', 0, 0), kind);
        m_geo = std::make_unique<KTestServer>(m_env->root() + QStringLiteral("/geo"), geoRoutes, true);
        QVERIFY(m_geo->isRunning());
    }

    void cleanupTestCase() { ulx::report::finishSending(0); }

    // A fetch writes both files byte for byte (no temporary file left beside them)
    // and takes the period from the last usable "global" entry, held to the bounds
    // that neither spin nor overflow a timer; a restart keeps it, whatever comes next.
    void fetchWritesFilesAndPeriod_data()
    {
        QTest::addColumn<QByteArray>("span"); // the value given, or the whole list
        QTest::addColumn<int>("seconds");
        QTest::newRow("usable entries of global") << QByteArray("[{\"funcName\":\"other\"," + Span + "7}]},"
                                                                "{\"funcName\":\"global\"},{\"funcName\":\"global\","
                                                                "\"extras\":[{\"key\":\"nRequestSpanInSec\",\"value\":300},"
                                                                "{\"key\":\"nRequestSpanInSec\",\"value\":900}]}]")
                                                  << 900;
        QTest::newRow("zero") << QByteArray("0") << 60;
        QTest::newRow("text number") << QByteArray("\"600\"") << 600;
        QTest::newRow("not a number") << QByteArray("\"soon\"") << 14400;
        QTest::newRow("past any integer") << QByteArray("1e300") << 2147483;
        QTest::newRow("fraction") << QByteArray("1.5") << 14400;
        QTest::newRow("params not a list") << QByteArray("{\"funcName\":\"global\"," + Span + "5}]}") << 14400;
    }
    void fetchWritesFilesAndPeriod()
    {
        QFETCH(QByteArray, span);
        QFETCH(int, seconds);
        configure(m_server->url(QStringLiteral("/params")));
        const QByteArray params = span.startsWith('[') || span.startsWith('{')
            ? span
            : "[{\"funcName\":\"global\"," + Span + span + "}]}]";
        const QByteArray body = "{\"params\":" + params + ",\"note\":\"caf\xc3\xa9 \xff\xfe raw\"}";
        QVERIFY(ktest::writeFile(m_body, body));
        {
            KOnlineParamsManager manager(nullptr);
            QVERIFY(manager.start());
            QTRY_COMPARE_WITH_TIMEOUT(readFile(m_local), body, KTestEnv::scaled(5000));
            QCOMPARE(readFile(m_online), body);
            QCOMPARE(manager.periodMs(), seconds * 1000);
        } // the service restarts
        QCOMPARE(QDir(QFileInfo(m_online).absolutePath()).entryList(QDir::Files), QStringList{"params.json"});
        QCOMPARE(QDir(QFileInfo(m_local).absolutePath()).entryList(QDir::Files), QStringList{"params.json"});
        QCOMPARE(m_server->recordsAt(QStringLiteral("/params")).last().value(QStringLiteral("query")).toString(),
                 QStringLiteral("version=11.1.0.9999&lang=zh-CN&channel=123.456&devicetype=windows&sys_lang=en_GB"));
        KOnlineParamsManager again(nullptr);
        QVERIFY(ktest::writeFile(m_body, "not json at all"));
        again.start();
        QCOMPARE(again.periodMs(), seconds * 1000);
        QTRY_COMPARE_WITH_TIMEOUT(readFile(m_local), QByteArray("not json at all"), KTestEnv::scaled(5000));
        QCOMPARE(again.periodMs(), seconds * 1000);
        if (seconds != 14400) {
            const QVariant stored = settings().value(QStringLiteral("nRequestSpanInSec"));
            QCOMPARE(stored.metaType().id(), QMetaType::Int); // REG_DWORD
            QCOMPARE(stored.toInt(), seconds);
        }
    }

    // Failed requests (four: the request and its retries) or failed writes (two: the write and its
    // retry, nothing half-written; another file in the way of the directory) in one period are stored,
    // reported once at the next period in one event (not with collection disabled), then all are 0.
    void failures_data()
    {
        QTest::addColumn<QString>("path"); // empty: a server that is gone
        QTest::addColumn<QString>("blocked");
        QTest::addColumn<QString>("failed");
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("period"); // seconds, before the time factor
        const QString network = QStringLiteral("network_fail_count");
        QTest::newRow("endless body") << "/endless" << "" << network << 4 << 4;
        QTest::newRow("server down, collection disabled") << "" << "" << network << 4 << 4;
        QTest::newRow("online directory cannot be made") << "/params" << m_online << "write_online_config_fail_count"
                                                         << 2 << 2;
        QTest::newRow("local directory cannot be made") << "/params" << m_local << "write_local_config_fail_count"
                                                        << 2 << 2;
    }
    void failures()
    {
        QFETCH(QString, path);
        QFETCH(QString, blocked);
        QFETCH(QString, failed);
        QFETCH(int, count);
        QFETCH(int, period);
        const bool collect = !path.isEmpty();
        QString url = m_server->url(path);
        if (!collect) {
            const KTestServer gone(m_env->root() + QStringLiteral("/gone")); // ends here: its port is closed
            url = gone.url(QStringLiteral("/params"));
        }
        configure(url, {{"Installation/DisableGlobalInfocollect", collect ? "false" : "true"}});
        QVERIFY(ktest::writeFile(m_body, "{\"params\":[]}"));
        const QString inTheWay = QFileInfo(QFileInfo(blocked).absolutePath()).absolutePath();
        if (!blocked.isEmpty())
            QVERIFY(ktest::writeFile(inTheWay, "in the way"));
        const qsizetype before = m_server->recordsAt(path).size();
        const qsizetype eventsBefore = events();
        period = int(std::ceil(period * KTestEnv::timeFactor()));
        settings().setValue(QStringLiteral("nRequestSpanInSec"), period);
        KOnlineParamsManager manager(nullptr);
        manager.setMaxBodyBytes(1024 * 1024);
        manager.start();
        QTRY_COMPARE_WITH_TIMEOUT(counter(failed), count, period * 1000);
        QCOMPARE(settings().value(failed).metaType().id(), QMetaType::Int); // REG_DWORD
        if (path == QLatin1String("/endless"))
            QVERIFY(m_server->recordsAt(path).size() - before >= 4); // Qt itself resends on a closed connection
        QCOMPARE(readFile(m_online), QByteArray(blocked == m_local ? "{\"params\":[]}" : ""));
        QVERIFY(!QFile::exists(m_local));
        QFile::remove(inTheWay); // the next period's write succeeds: its counter stays 0

        QTRY_COMPARE_WITH_TIMEOUT(counter(failed), 0, period * 1000 + 2000);
        manager.stopTimer();
        QTest::qWait(KTestEnv::scaled(200)); // the event goes out from the event loop
        for (const char *name : {"read_config_fail_count", "parse_config_fail_count", "network_fail_count",
                                 "write_online_config_fail_count", "write_local_config_fail_count"})
            QCOMPARE(counter(name), 0);
        QTRY_COMPARE_WITH_TIMEOUT(events(), eventsBefore + (collect ? 1 : 0), KTestEnv::scaled(3000));
        if (!collect)
            return;
        const QMap<QString, QString> sent = event(eventsBefore);
        QCOMPARE(sent.value(QStringLiteral("action")), QStringLiteral("getonlineparam_error"));
        QCOMPARE(sent.value(QStringLiteral("dm")), QStringLiteral("/ulx/client/general"));
        QCOMPARE(sent.value(QStringLiteral("pnum")), QStringLiteral("2"));
        QCOMPARE(sent.value(QStringLiteral("p1")), failed + '=' + QString::number(count));
    }

    // "Nation" from the geo service, over HTTPS only, with a certificate nobody trusts,
    // a bounded answer in bounded time and only a short country code taken;
    // "Hdcode" from the last character of "InfoHD".
    void commonParams_data()
    {
        QTest::addColumn<QString>("route"); // how it answers; empty: no geo service; "plain": over HTTP
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QString>("nation"); // stored before
        QTest::addColumn<QString>("infoHd");
        QTest::addColumn<QString>("expectNation"); // empty: nothing stored, asked again next start
        QTest::addColumn<QString>("expectHdcode");
        const auto row = [](const char *tag, const QString &route, const QByteArray &answer, const QString &expectNation,
                            const QString &infoHd = {}, const QString &expectHdcode = {}, const QString &nation = {}) {
            QTest::newRow(tag) << route << answer << nation << infoHd << expectNation << expectHdcode;
        };
        const QByteArray de = "{\"result\":\"DE\"}";
        row("country", "file", de, "DE", "abc9", "9");
        row("more than 8 letters", "file", "{\"result\":\"Deutschland\"}", "unknown");
        row("garbage", "file", "<html>", "", "Z", "Z");
        row("nation set", "file", de, "IT", "x1f", "f", "IT");
        row("no geo service", "", de, "");
        row("plain http", "plain", de, "");
        row("answer over 4 KiB", "file", "{\"result\":\"" + QByteArray(200000, 'A') + "\"}", "");
        row("endless answer", "endless", {}, "");
        // 1000 bytes at 200 a second: data keeps coming, for longer than the transfer may last.
        row("trickling past the time", "slowfile", de.leftJustified(1000, ' '), "");
    }
    void commonParams()
    {
        QFETCH(QString, route);
        QFETCH(QByteArray, answer);
        QFETCH(QString, nation);
        QFETCH(QString, infoHd);
        QFETCH(QString, expectNation);
        QFETCH(QString, expectHdcode);
        QVERIFY(ktest::writeFile(m_body, answer));
        const bool tls = route != QLatin1String("plain");
        const QString geo = tls ? m_geo->url(QLatin1Char('/') + route) : m_server->url(QStringLiteral("/plain"));
        const QString path = QStringLiteral("/%1/api/util/geo/country").arg(route);
        const qsizetype before = (tls ? m_geo : m_server)->recordsAt(path).size();
        configure(m_server->url(QStringLiteral("/params")), {{"Servers/GeoSvr", route.isEmpty() ? QString() : geo},
                                                            {"Servers/GeoTimeoutMs", QString::number(KTestEnv::scaled(1500))}});
        KRegSettings pm(KCommonParamsChecker::pluginMgrKey());
        pm.remove(QString());
        KRegSettings common(QStringLiteral("HKEY_CURRENT_USER\\Software\\Corvanta\\Office\\6.0\\Common"));
        common.setValue(QStringLiteral("InfoHD"), infoHd);
        if (!nation.isEmpty())
            pm.setValue(QStringLiteral("Nation"), nation);

        KCommonParamsChecker::instance()->check();
        auto *reply = KCommonParamsChecker::instance()->findChild<ulx::net::KHttpReply *>();
        const bool asks = tls && !route.isEmpty() && nation.isEmpty();
        QCOMPARE(reply != nullptr, asks);
        if (reply) {
            QSignalSpy done(reply, &ulx::net::KHttpReply::finished);
            QVERIFY(done.wait(KTestEnv::scaled(10000)));
        }
        QCOMPARE((tls ? m_geo : m_server)->recordsAt(path).size() - before, asks ? 1 : 0);
        QCOMPARE(pm.value(QStringLiteral("Nation")).toString(), expectNation);
        QCOMPARE(pm.contains(QStringLiteral("Nation")), !expectNation.isEmpty());
        QCOMPARE(pm.value(QStringLiteral("Hdcode")).toString(), expectHdcode);
        KCommonParamsChecker::release();
    }

    // A real service: once its core is initialised it reports the counters other
    // programs left (only those above 0), fetches the parameters into both files and
    // fills "Hdcode".
    void serviceStart()
    {
        const QByteArray body = "{\"params\":[{\"funcName\":\"global\",\"extras\":[{\"key\":\"nRequestSpanInSec\",\"value\":7200}]}]}";
        QVERIFY(ktest::writeFile(m_body, body));
        configure(m_server->url(QStringLiteral("/params")));
        settings().setValue(QStringLiteral("read_config_fail_count"), 2);
        KRegSettings pm(KCommonParamsChecker::pluginMgrKey());
        pm.remove(QString());
        KRegSettings(QStringLiteral("HKEY_CURRENT_USER\\Software\\Corvanta\\Office\\6.0\\Common"))
            .setValue(QStringLiteral("InfoHD"), QStringLiteral("0f1e2d3c4b5a69788796a5b4c3d2e1f0"));
        const qsizetype eventsBefore = events();
        ktest::KService service(*m_env);
        QVERIFY(service.start({QStringLiteral("/start_from:test")}));
        QTRY_COMPARE_WITH_TIMEOUT(readFile(m_local), body, KTestEnv::scaled(10000));
        QCOMPARE(readFile(m_online), body);
        QTRY_COMPARE_WITH_TIMEOUT(pm.value(QStringLiteral("Hdcode")).toString(), QStringLiteral("0"), KTestEnv::scaled(5000));
        QTRY_COMPARE_WITH_TIMEOUT(counter(QStringLiteral("nRequestSpanInSec")), 7200, KTestEnv::scaled(5000));
        QCOMPARE(counter(QStringLiteral("read_config_fail_count")), 0);
        QTRY_VERIFY_WITH_TIMEOUT(events() > eventsBefore, KTestEnv::scaled(5000));
        QCOMPARE(event(eventsBefore).value(QStringLiteral("pnum")), QStringLiteral("2"));
        QCOMPARE(event(eventsBefore).value(QStringLiteral("p1")), QStringLiteral("read_config_fail_count=2"));
        QVERIFY(service.stop());
    }
};

QTEST_GUILESS_MAIN(TestOnlineParams)
#include "tst_onlineparams.moc"
