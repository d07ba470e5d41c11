// What a second start of the service costs against a bare QApplication that
// starts, runs its event loop once and ends, in the same run and the same
// private world (a serving process, nothing configured):
//   1. pairs, one start at a time: a bare run, then a second start with
//      "/broadcast /x" until it has ended; median, min and max of each, and the
//      ratio of the medians;
//   2. 100 second starts at once against 100 bare runs at once, the wall time
//      until the last has ended, alternating for `batches` rounds.
// Usage: ulxbench_startup [pairs=25] [concurrent=100] [batches=5]
// Offscreen unless ULX_BENCH_DISPLAY names an X display (bench/common/benchworld.h).

#include "bench/common/benchstats.h"
#include "bench/common/benchworld.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>

#include <cstdio>
#include <memory>
#include <vector>

namespace {

QProcessEnvironment g_env;
int g_failures = 0;

void check(QProcess &p, const QString &program)
{
    if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        ++g_failures;
        std::fprintf(stderr, "%s ended with %d (%s)\n", qPrintable(program), p.exitCode(),
                     p.exitStatus() == QProcess::NormalExit ? "exit" : "crash");
    }
}

qint64 runOnce(const QString &program, const QStringList &args)
{
    QProcess p;
    p.setProcessEnvironment(g_env);
    QElapsedTimer t;
    t.start();
    p.start(program, args);
    p.waitForFinished(30000);
    const qint64 ns = t.nsecsElapsed();
    check(p, program);
    return ns;
}

qint64 runConcurrently(const QString &program, const QStringList &args, int count)
{
    std::vector<std::unique_ptr<QProcess>> procs;
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < count; ++i) {
        auto p = std::make_unique<QProcess>();
        p->setProcessEnvironment(g_env);
        p->start(program, args);
        procs.push_back(std::move(p));
    }
    for (auto &p : procs)
        p->waitForFinished(120000);
    const qint64 ns = t.nsecsElapsed();
    for (auto &p : procs)
        check(*p, program);
    return ns;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int pairs = argc > 1 ? std::max(1, atoi(argv[1])) : 25;
    const int concurrent = argc > 2 ? std::max(1, atoi(argv[2])) : 100;
    const int batches = argc > 3 ? std::max(1, atoi(argv[3])) : 5;
    const QString bin = QCoreApplication::applicationDirPath();
    const QString service = bin + QStringLiteral("/ulxcloudsvr");
    const QString bare = bin + QStringLiteral("/ulxbench_bareapp");
    const QStringList second{QStringLiteral("/broadcast"), QStringLiteral("/x")};

    BenchWorld world;
    g_env = world.env;
    useBenchDisplay(g_env);
    BenchLogTail log;
    log.setPath(world.logPath());

    QProcess server;
    server.setProcessEnvironment(g_env);
    server.start(service, {QStringLiteral("/start_from:bench")});
    if (!server.waitForStarted() || !log.waitFor("onIPCTransmission /start_from:bench")) {
        std::fprintf(stderr, "the service did not start\n");
        return 1;
    }

    // Both programs' pages in the cache before anything is timed.
    runOnce(bare, {});
    runOnce(service, second);

    std::vector<qint64> secondNs, bareNs;
    for (int i = 0; i < pairs; ++i) {
        bareNs.push_back(runOnce(bare, {}));
        secondNs.push_back(runOnce(service, second));
    }
    std::printf("one at a time, %d pairs:\n", pairs);
    const BenchSpread b = BenchSpread::of(bareNs, 1e-6);
    printSpread("  bare QApplication", b, "ms");
    printSpread("  second start /broadcast /x", BenchSpread::of(secondNs, 1e-6), "ms", &b);

    std::vector<qint64> manySecond, manyBare;
    for (int i = 0; i < batches; ++i) {
        manyBare.push_back(runConcurrently(bare, {}, concurrent));
        manySecond.push_back(runConcurrently(service, second, concurrent));
    }
    std::printf("%d at once, %d rounds (until the last has ended):\n", concurrent, batches);
    const BenchSpread cb = BenchSpread::of(manyBare, 1e-6);
    printSpread("  bare QApplications", cb, "ms");
    printSpread("  second starts /broadcast /x", BenchSpread::of(manySecond, 1e-6), "ms", &cb);

    QProcess stop;
    stop.setProcessEnvironment(g_env);
    stop.start(service, {QStringLiteral("/force_exit")});
    stop.waitForFinished(10000);
    if (!server.waitForFinished(10000))
        server.kill();
    if (g_failures)
        std::fprintf(stderr, "%d runs did not end with exit code 0\n", g_failures);
    return g_failures ? 1 : 0;
}
