// What run_app of an installed app costs until the app's main runs, against its
// parts done directly: the forward of a second start (until the service logged
// the line) plus "ulx Run <entry> <marker>" started by this program (until the
// app's main ran). Interleaved in one run, in one private world; median of the
// rounds. Goal: run_app no more than 10 ms above the sum.
// Usage: ulxbench_runapp [rounds=30]

#include "bench/common/benchstats.h"
#include "bench/common/benchworld.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>
#include <vector>

namespace {

QProcessEnvironment g_env;
QString g_service;
BenchLogTail g_log;

bool waitFor(const std::function<bool()> &done, int timeoutMs = 20000)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < timeoutMs) {
        if (done())
            return true;
        QThread::usleep(200);
    }
    return false;
}

bool logHas(const QByteArray &text)
{
    return g_log.has(text);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 30;
    const QString bin = QCoreApplication::applicationDirPath();
    g_service = bin + QStringLiteral("/ulxcloudsvr");

    BenchWorld world({"plugins/benchapp/bin", "marks"});
    const QString root = world.root();
    const QString entry = root + QStringLiteral("/plugins/benchapp/bin/app");
    QFile::copy(bin + QStringLiteral("/ulxbench_runapp_app"), entry);
    {
        QFile ini(root + QStringLiteral("/plugins/benchapp/app.ini"));
        ini.open(QIODevice::WriteOnly);
        ini.write("[runinfo]\nentry=bin/app\n");
        QSettings config(root + QStringLiteral("/ulxinstall.ini"), QSettings::IniFormat);
        config.setValue(QStringLiteral("Installation/OfficeDir"), bin);
        config.setValue(QStringLiteral("Installation/PluginsDir"), root + QStringLiteral("/plugins"));
        config.setValue(QStringLiteral("Installation/PluginCatalog"), root + QStringLiteral("/none.json"));
    }
    g_env = world.env;
    g_env.insert(QStringLiteral("ULX_INSTALL_CONFIG"), root + QStringLiteral("/ulxinstall.ini"));
    g_log.setPath(world.logPath());
    const QString marks = root + QStringLiteral("/marks/");

    QProcess server;
    server.setProcessEnvironment(g_env);
    server.start(g_service, {QStringLiteral("/run_app"), QStringLiteral("/plugin_name:benchapp"),
                             QStringLiteral("/plugin_params:") + marks + QStringLiteral("warm")});
    server.waitForStarted();
    if (!waitFor([&] { return QFile::exists(marks + QStringLiteral("warm")); })) {
        std::fprintf(stderr, "the service did not start the app\n");
        return 1;
    }

    std::vector<qint64> forward, direct, runApp;
    for (int i = 0; i < rounds; ++i) {
        const QString n = QString::number(i);
        QElapsedTimer t;
        {
            QProcess p;
            p.setProcessEnvironment(g_env);
            t.start();
            p.start(g_service, {QStringLiteral("/bench_forward:") + n});
            if (!waitFor([&] { return logHas("onIPCTransmission /bench_forward:" + n.toUtf8() + '\n'); }))
                std::fprintf(stderr, "no forward %d\n", i);
            forward.push_back(t.nsecsElapsed());
            p.waitForFinished(10000);
        }
        {
            const QString mark = marks + QStringLiteral("d") + n;
            QProcess p;
            p.setProcessEnvironment(g_env);
            t.start();
            p.start(bin + QStringLiteral("/ulx"), {QStringLiteral("Run"), entry, mark});
            if (!waitFor([&] { return QFile::exists(mark); }))
                std::fprintf(stderr, "no direct start %d\n", i);
            direct.push_back(t.nsecsElapsed());
            p.waitForFinished(10000);
        }
        {
            const QString mark = marks + QStringLiteral("r") + n;
            QProcess p;
            p.setProcessEnvironment(g_env);
            t.start();
            p.start(g_service, {QStringLiteral("/run_app"), QStringLiteral("/plugin_name:benchapp"),
                                QStringLiteral("/plugin_params:") + mark});
            if (!waitFor([&] { return QFile::exists(mark); }))
                std::fprintf(stderr, "no run_app start %d\n", i);
            runApp.push_back(t.nsecsElapsed());
            p.waitForFinished(10000);
        }
    }
    const double f = median(forward) / 1e6, d = median(direct) / 1e6, r = median(runApp) / 1e6;
    std::printf("median of %d: run_app until the app's main ran %.2f ms; forward %.2f ms + ulx Run directly %.2f ms "
                "= %.2f ms; run_app above the sum: %.2f ms (goal <= 10)\n",
                rounds, r, f, d, f + d, r - (f + d));

    QProcess stop;
    stop.setProcessEnvironment(g_env);
    stop.start(g_service, {QStringLiteral("/force_exit")});
    stop.waitForFinished(10000);
    server.waitForFinished(5000);
    return 0;
}
