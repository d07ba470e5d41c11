// The geo request (certificate checks off) against the loopback test server: only
// HTTPS, a bounded answer in bounded time, and only a short country code stored.
#include "onlineparams/kcommonparamschecker.h"
#include "platform/registry/kregsettings.h"
#include "platform/knetaccess.h"
#include "suite/krt.h"
#include "tests/common/ktestserver.h"
#include "tests/common/kworld.h"

#include <QSignalSpy>
#include <QTest>

#include <memory>

class TestGeo : public QObject
{
    Q_OBJECT
    std::unique_ptr<KTestEnv> m_env;
    QString m_answer; // the file the geo routes answer with

private Q_SLOTS:
    void initTestCase()
    {
        for (const char *name : {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "all_proxy"})
            qunsetenv(name);
        m_env = std::make_unique<KTestEnv>();
        m_answer = m_env->root() + QStringLiteral("/answer.json");
    }

    void answers_data()
    {
        QTest::addColumn<bool>("tls");
        QTest::addColumn<QString>("route"); // how the server answers
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QString>("nation"); // stored; empty: nothing stored, asked again next start
        QTest::newRow("plain http") << false << "file" << QByteArray("{\"result\":\"DE\"}") << "";
        QTest::newRow("not letters") << true << "file" << QByteArray("{\"result\":\"D-1\"}") << "unknown";
        QTest::newRow("more than 8 letters") << true << "file" << QByteArray("{\"result\":\"Deutschland\"}") << "unknown";
        QTest::newRow("answer over 4 KiB") << true << "file" << "{\"result\":\"" + QByteArray(200000, 'A') + "\"}" << "";
        QTest::newRow("endless answer") << true << "endless" << QByteArray() << "";
        // 1000 bytes at 200 a second: data keeps coming, for longer than the transfer may last.
        QTest::newRow("trickling past the time") << true << "slowfile:200" << QByteArray("{\"result\":\"DE\"}").leftJustified(1000, ' ')
                                                 << "";
    }

    void answers()
    {
        QFETCH(bool, tls);
        QFETCH(QString, route);
        QFETCH(QByteArray, answer);
        QFETCH(QString, nation);
        QVERIFY(ktest::writeFile(m_answer, answer));
        KTestServer geo(m_env->root() + QStringLiteral("/geo-") + QLatin1String(QTest::currentDataTag()),
                        {QStringLiteral("/api/util/geo/country=%1:%2").arg(route, m_answer)}, tls);
        QVERIFY(geo.isRunning());
        m_env->writeInstallConfig({{"Servers/GeoSvr", geo.url(QString())},
                                   {"Servers/GeoTimeoutMs", QString::number(KTestEnv::scaled(1500))}});
        krt::reload();
        KRegSettings pm(KCommonParamsChecker::pluginMgrKey());
        pm.remove(QString());

        KCommonParamsChecker::instance()->check();
        auto *reply = KCommonParamsChecker::instance()->findChild<ulx::net::KHttpReply *>();
        if (tls) {
            QVERIFY(reply);
            QSignalSpy done(reply, &ulx::net::KHttpReply::finished);
            QVERIFY(done.wait(KTestEnv::scaled(10000)));
            QCOMPARE(geo.records().size(), 1);
        } else {
            QVERIFY2(!reply, "no request over plain HTTP");
        }
        QCOMPARE(pm.value(QStringLiteral("Nation")).toString(), nation);
    }

    void cleanup() { KCommonParamsChecker::release(); }
};

QTEST_GUILESS_MAIN(TestGeo)
#include "tst_geo.moc"
