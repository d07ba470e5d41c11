// Start-up to serving of a real service with every reporter on (dynamic report,
// simple report, online parameters, common parameters, all against a loopback
// server) against reporting off, in the same run and world, alternating rounds.
// "Serving" is the log line of the service's own command line being dispatched.
// Usage: ulxbench_reporters [rounds=15]

#include "bench/common/benchstats.h"
#include "platform/registry/kregsettings.h"
#include "tests/common/ktestserver.h"
#include "tests/common/testenv.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QThread>

#include <cstdio>

namespace {

qint64 startToServing(KTestEnv &world, const QString &tag)
{
    const QString expected = QStringLiteral("KxUlxCloudSvrApplication::onIPCTransmission /start_from:") + tag;
    QProcessEnvironment env = world.environment();
    for (const char *name : {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "all_proxy"})
        env.remove(QLatin1String(name));
    QProcess p;
    p.setProcessEnvironment(env);
    QElapsedTimer t;
    t.start();
    p.start(KTestEnv::binPath(QStringLiteral("ulxcloudsvr")), {QStringLiteral("/start_from:") + tag});
    qint64 ns = -1;
    while (t.elapsed() < 20000) {
        if (world.logText().contains(expected)) {
            ns = t.nsecsElapsed();
            break;
        }
        QThread::usleep(200);
    }
    p.terminate();
    p.waitForFinished(10000);
    return ns;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 15;
    KTestEnv world;
    KTestServer server(world.root() + QStringLiteral("/server"));
    const QMap<QString, QString> on{{"Installation/Features", "UlxCloudsvrReportActive"},
                                    {"Servers/DynReportSvr", server.url(QString())},
                                    {"Servers/DefaultInfoCollectSvr", server.url(QStringLiteral("/infos"))},
                                    {"Servers/InfoCollectSvr", server.url(QStringLiteral("/infos"))},
                                    {"Servers/GeoSvr", server.url(QString())},
                                    {"Auth/Server/OnlineAllParamURL", server.url(QStringLiteral("/params"))}};
    KRegSettings plugin(QStringLiteral("HKEY_CURRENT_USER\\SOFTWARE\\corvanta\\Office\\6.0\\plugins\\ulxcloudsvrimp"));
    KRegSettings pluginMgr(QStringLiteral("HKEY_CURRENT_USER\\Software\\Corvanta\\Office\\6.0\\Common\\PluginMgr"));
    std::vector<qint64> onNs, offNs;
    for (int i = 0; i < rounds + 1; ++i) {
        world.writeInstallConfig(on);
        plugin.setValue(QStringLiteral("simplereportswitch"), true);
        plugin.remove(QStringLiteral("lastsimpleactivetime")); // the daily event goes out in every round
        pluginMgr.remove(QString());                           // and the country is asked for
        const qint64 a = startToServing(world, QStringLiteral("on%1").arg(i));
        world.writeInstallConfig({});
        plugin.setValue(QStringLiteral("switch"), 0);
        plugin.setValue(QStringLiteral("simplereportswitch"), false);
        const qint64 b = startToServing(world, QStringLiteral("off%1").arg(i));
        plugin.remove(QStringLiteral("switch"));
        if (i == 0)
            continue; // the first round warms the caches (and computes the identifier)
        onNs.push_back(a);
        offNs.push_back(b);
    }
    std::printf("rounds %d (medians), start to serving\n", rounds);
    std::printf("reporting off   %8.2f ms\n", median(offNs) / 1e6);
    std::printf("all reporters   %8.2f ms  (%+.2f ms)\n", median(onNs) / 1e6, (median(onNs) - median(offNs)) / 1e6);
    return 0;
}
