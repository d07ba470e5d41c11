// The service's network use in real processes: the TLS servers it reaches, and
// which processes map the network stacks (only a serving process, and only once
// it makes a request).

#include "platform/registry/kregsettings.h"
#include "tests/common/ktestserver.h"
#include "tests/common/kworld.h"

#include <QDir>
#include <QTest>

#include <memory>

namespace {
const QString PluginMgrKey = QStringLiteral("HKEY_CURRENT_USER\\Software\\Corvanta\\Office\\6.0\\Common\\PluginMgr");
// Qt Network, the network module and Qt's TLS backends (plugins/tls).
const QStringList NetworkFiles{QStringLiteral("libQt6Network"), QStringLiteral("libulxnetwork"),
                               QStringLiteral("/tls/")};

QStringList networkFilesIn(const QString &text)
{
    QStringList found;
    for (const QString &name : NetworkFiles) {
        if (text.contains(name))
            found << name;
    }
    return found;
}
} // namespace

class TestNetwork : public QObject
{
    Q_OBJECT
    std::unique_ptr<KTestEnv> m_env;

private Q_SLOTS:
    void initTestCase()
    {
        for (const char *name : {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "all_proxy"})
            qunsetenv(name);
        m_env = std::make_unique<KTestEnv>();
    }

    void networkLibraries_data()
    {
        QTest::addColumn<bool>("geoService");
        QTest::newRow("nothing configured") << false;
        // TLS 1.2 is the oldest protocol the service accepts, not the only one: a
        // server that speaks nothing below TLS 1.3 gives the service its country.
        QTest::newRow("geo service, TLS 1.3 only") << true;
    }

    // A forwarding start never maps a network stack; a serving process maps them
    // only once a configured endpoint makes it send a request.
    void networkLibraries()
    {
        QFETCH(bool, geoService);
        const QString tag = QString::fromLatin1(QTest::currentDataTag()).replace(QLatin1Char(' '), QLatin1Char('_'));
        const QString answer = m_env->root() + QStringLiteral("/geo.json");
        QVERIFY(ktest::writeFile(answer, "{\"result\":\"PT\"}"));
        KTestServer geo(m_env->root() + QStringLiteral("/geo-") + tag,
                        {QStringLiteral("/api/util/geo/country=file:") + answer}, true, 0, true);
        QVERIFY(geo.isRunning());
        m_env->writeInstallConfig({{QStringLiteral("Servers/GeoSvr"), geoService ? geo.url(QString()) : QString()}});
        KRegSettings pluginMgr(PluginMgrKey);
        pluginMgr.remove(QString());

        const qsizetype logFrom = m_env->logText().size();
        const QString category = QStringLiteral("KxUlxCloudSvrApplication");
        auto dispatched = [&](const QString &line) {
            return QTest::qWaitFor([&] {
                return ktest::logMessages(*m_env, category, logFrom)
                    .contains(QStringLiteral("KxUlxCloudSvrApplication::onIPCTransmission ") + line);
            }, KTestEnv::scaled(10000));
        };
        ktest::KService service(*m_env);
        QVERIFY(service.start({QStringLiteral("/start_from:test")}));
        QVERIFY(dispatched(QStringLiteral("/start_from:test"))); // serving
        if (geoService)
            QTRY_COMPARE_WITH_TIMEOUT(pluginMgr.value(QStringLiteral("Nation")).toString(), QStringLiteral("PT"),
                                      KTestEnv::scaled(10000));

        // Every file the forwarding start's loader maps, dlopen included.
        const QString trace = m_env->root() + QStringLiteral("/ld-") + tag;
        QProcessEnvironment env = m_env->environment();
        env.insert(QStringLiteral("LD_DEBUG"), QStringLiteral("files"));
        env.insert(QStringLiteral("LD_DEBUG_OUTPUT"), trace);
        QVERIFY(service.send({QStringLiteral("/broadcast"), QStringLiteral("/x")}, env));
        QVERIFY(dispatched(QStringLiteral("/broadcast /x")));
        QByteArray loaded;
        const QDir traces(m_env->root(), QStringLiteral("ld-") + tag + QStringLiteral(".*"));
        for (const QString &file : traces.entryList(QDir::Files))
            loaded += ktest::readFile(traces.filePath(file));
        QVERIFY(loaded.contains("libulxcloudsvrimp.so"));
        QCOMPARE(networkFilesIn(QString::fromLocal8Bit(loaded)), QStringList());

        const QString maps = QString::fromLocal8Bit(ktest::readFile(QStringLiteral("/proc/%1/maps").arg(service.pid())));
        QVERIFY(maps.contains(QStringLiteral("libulxcloudsvrimp.so")));
        QCOMPARE(networkFilesIn(maps), geoService ? NetworkFiles : QStringList());
        QVERIFY(service.stop());
    }
};

QTEST_GUILESS_MAIN(TestNetwork)
#include "tst_network.moc"
