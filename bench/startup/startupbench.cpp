// Measures what a second start of the service costs against a bare QApplication
// start and exit, in the same run and the same private world:
//   1. one second start at a time (median of rounds), and the ratio to the bare run;
//   2. 100 second starts at once against 100 bare runs at once (wall time), and the ratio.
// Usage: ulxbench_startup [rounds=30] [concurrent=100]

#include "bench/common/benchstats.h"
#include "bench/common/benchworld.h"
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

QString g_bin;
QProcessEnvironment g_env;

qint64 runOnce(const QString &program, const QStringList &args)
{
    QElapsedTimer t;
    QProcess p;
    p.setProcessEnvironment(g_env);
    t.start();
    p.start(program, args);
    p.waitForFinished(30000);
    const qint64 ns = t.nsecsElapsed();
    if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        std::fprintf(stderr, "%s exited with %d\n", qPrintable(program), p.exitCode());
    return ns;
}

qint64 runConcurrently(const QString &program, int count, const QString &argPrefix)
{
    std::vector<std::unique_ptr<QProcess>> procs;
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < count; ++i) {
        auto p = std::make_unique<QProcess>();
        p->setProcessEnvironment(g_env);
        p->start(program, argPrefix.isEmpty() ? QStringList() : QStringList{argPrefix + QString::number(i)});
        procs.push_back(std::move(p));
    }
    for (auto &p : procs)
        p->waitForFinished(60000);
    return t.nsecsElapsed();
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 30;
    const int concurrent = argc > 2 ? std::max(1, atoi(argv[2])) : 100;
    g_bin = QCoreApplication::applicationDirPath();
    const QString service = g_bin + QStringLiteral("/ulxcloudsvr");
    const QString bare = g_bin + QStringLiteral("/ulxbench_bareapp");

    BenchWorld world;
    g_env = world.env;

    QProcess server;
    server.setProcessEnvironment(g_env);
    server.start(service, {QStringLiteral("/bench_server")});
    server.waitForStarted();
    QThread::msleep(500);

    // Warm the page cache for both programs before measuring.
    runOnce(bare, {});
    runOnce(service, {QStringLiteral("/warm")});

    std::vector<qint64> second, baseline;
    for (int i = 0; i < rounds; ++i) {
        baseline.push_back(runOnce(bare, {}));
        second.push_back(runOnce(service, {QStringLiteral("/run_plugin"), QStringLiteral("/plugin_name:kbench%1").arg(i)}));
    }
    const double s = median(second) / 1e6;
    const double b = median(baseline) / 1e6;
    std::printf("sequential (median of %d): second start %.1f ms, bare QApplication %.1f ms, ratio %.3f\n", rounds, s, b,
                s / b);

    const double cb = runConcurrently(bare, concurrent, QString()) / 1e6;
    const double cs = runConcurrently(service, concurrent, QStringLiteral("/n:")) / 1e6;
    std::printf("concurrent (%d at once): second starts %.1f ms, bare QApplication %.1f ms, ratio %.3f\n", concurrent, cs,
                cb, cs / cb);

    QProcess stop;
    stop.setProcessEnvironment(g_env);
    stop.start(service, {QStringLiteral("/force_exit")});
    stop.waitForFinished(10000);
    server.waitForFinished(5000);
    return 0;
}
