// The service's network use in real processes: the TLS servers it reaches.

#include "platform/registry/kregsettings.h"
#include "tests/common/ktestserver.h"
#include "tests/common/kworld.h"

#include <QTest>

#include <memory>

namespace {
const QString PluginMgrKey = QStringLiteral("HKEY_CURRENT_USER\\Software\\Corvanta\\Office\\6.0\\Common\\PluginMgr");
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

    // TLS 1.2 is the oldest protocol the service accepts, not the only one: a
    // server that speaks nothing below TLS 1.3 gives the service its country.
    void tls13OnlyServer()
    {
        const QString answer = m_env->root() + QStringLiteral("/geo.json");
        QVERIFY(ktest::writeFile(answer, "{\"result\":\"PT\"}"));
        KTestServer geo(m_env->root() + QStringLiteral("/geo"),
                        {QStringLiteral("/api/util/geo/country=file:") + answer}, true, 0, true);
        QVERIFY(geo.isRunning());
        m_env->writeInstallConfig({{QStringLiteral("Servers/GeoSvr"), geo.url(QString())}});
        KRegSettings pluginMgr(PluginMgrKey);
        pluginMgr.remove(QString());

        ktest::KService service(*m_env);
        QVERIFY(service.start({QStringLiteral("/start_from:test")}));
        QTRY_COMPARE_WITH_TIMEOUT(pluginMgr.value(QStringLiteral("Nation")).toString(), QStringLiteral("PT"),
                                  KTestEnv::scaled(10000));
        QVERIFY(service.stop());
    }
};

QTEST_GUILESS_MAIN(TestNetwork)
#include "tst_network.moc"
