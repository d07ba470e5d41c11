// Measures what running a suite plugin costs on top of handing the command line
// over: a second start with "/run_plugin /plugin_name:kbubble /plugin_local
// /plugin_type:dll" until the demonstration plugin kbubble has run (its log line
// is written), against a second start with a line that is no command until the
// service has received it ("forward alone"). Both in the same run, interleaved,
// in one private world using the build tree's catalogue; median of the rounds.
// Usage: ulxbench_pluginrun [rounds=30]

#include "bench/common/benchstats.h"
#include "bench/common/benchworld.h"
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

QProcessEnvironment g_env;
QString g_service;
BenchLogTail g_log;

bool waitForLog(const QByteArray &text)
{
    return g_log.waitFor(text);
}

// One second start; the time until `marker` is in the log, in nanoseconds.
qint64 timeUntil(const QStringList &args, const QByteArray &marker)
{
    QElapsedTimer t;
    QProcess p;
    p.setProcessEnvironment(g_env);
    t.start();
    p.start(g_service, args);
    if (!waitForLog(marker))
        std::fprintf(stderr, "no log line \"%s\"\n", marker.constData());
    const qint64 ns = t.nsecsElapsed();
    p.waitForFinished(10000);
    return ns;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 30;
    const QString bin = QCoreApplication::applicationDirPath();
    g_service = bin + QStringLiteral("/ulxcloudsvr");

    BenchWorld world;
    g_env = world.env;
    g_env.remove(QStringLiteral("ULX_INSTALL_CONFIG")); // the build tree's installation and catalogue
    g_log.setPath(world.logPath());

    QProcess server;
    server.setProcessEnvironment(g_env);
    server.start(g_service, {QStringLiteral("/run_plugin"), QStringLiteral("/plugin_name:kbubble"),
                             QStringLiteral("/plugin_local"), QStringLiteral("/plugin_type:dll"), QStringLiteral("warm")});
    server.waitForStarted();
    // The runner is loaded and the plugins are installed before measuring.
    if (!waitForLog("kbubble::run params: warm")) {
        std::fprintf(stderr, "the service did not run kbubble\n");
        return 1;
    }

    std::vector<qint64> forward, runPlugin;
    for (int i = 0; i < rounds; ++i) {
        const QString n = QString::number(i);
        forward.push_back(timeUntil({QStringLiteral("/bench_forward:") + n},
                                    "onIPCTransmission /bench_forward:" + n.toUtf8() + '\n'));
        runPlugin.push_back(timeUntil({QStringLiteral("/run_plugin"), QStringLiteral("/plugin_name:kbubble"),
                                       QStringLiteral("/plugin_local"), QStringLiteral("/plugin_type:dll"),
                                       QStringLiteral("r") + n},
                                      "kbubble::run params: r" + n.toUtf8() + '\n'));
    }
    const double f = median(forward) / 1e6;
    const double r = median(runPlugin) / 1e6;
    std::printf("median of %d: run_plugin until kbubble ran %.2f ms, forward alone %.2f ms, ratio %.3f\n", rounds, r, f,
                r / f);

    QProcess stop;
    stop.setProcessEnvironment(g_env);
    stop.start(g_service, {QStringLiteral("/force_exit")});
    stop.waitForFinished(10000);
    server.waitForFinished(5000);
    return 0;
}
