// ulxbench_memory [settle=60] [rounds=3] [quiet=250]: the idle serving process
// against a bare idle QApplication started beside it, each in a private world:
//   - "nothing configured": the build's installation, no endpoint;
//   - "every endpoint": every server of the installation on a loopback test
//     server, measured once the live event has arrived there.
// After `settle` seconds it reads RSS, PSS and private dirty memory
// (/proc/<pid>/smaps_rollup), and the voluntary context switches of every thread
// (/proc/<pid>/task/*/status) from a quarter of `settle` to its end. Medians with
// min and max over the rounds, and the ratio of the medians to the bare
// application's.
// Then one service with nothing configured and the watchdog off, alone: its
// wake-ups in the 130 s after `quiet` seconds (longer than the working-set
// trim's 120 s), when whatever start-up left to do (the trims after the last
// command line) is done. With the watchdog's probes gone, every wake-up left is
// one too many.
// Offscreen unless ULX_BENCH_DISPLAY names an X display (bench/common/benchworld.h).
// Last, what malloc_trim(0) (the service's working-set trim) gives back after a
// burst of small allocations in this process.

#include "bench/common/benchstats.h"
#include "bench/common/benchworld.h"
#include "platform/registry/kregsettings.h"
#include "tests/common/ktestserver.h"
#include "tests/common/testenv.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QThread>

#include <cstdio>
#include <malloc.h>
#include <memory>
#include <vector>

namespace {

struct Memory
{
    qint64 rss = -1, pss = -1, privateDirty = -1; // KiB
};

Memory memoryOf(qint64 pid)
{
    Memory m;
    QFile f(pid ? QStringLiteral("/proc/%1/smaps_rollup").arg(pid) : QStringLiteral("/proc/self/smaps_rollup"));
    if (!f.open(QIODevice::ReadOnly))
        return m;
    for (const QByteArray &line : f.readAll().split('\n')) {
        const QList<QByteArray> parts = line.simplified().split(' ');
        if (parts.size() < 2)
            continue;
        if (parts[0] == "Rss:")
            m.rss = parts[1].toLongLong();
        else if (parts[0] == "Pss:")
            m.pss = parts[1].toLongLong();
        else if (parts[0] == "Private_Dirty:")
            m.privateDirty = parts[1].toLongLong();
    }
    return m;
}

// Voluntary context switches per thread, by thread id ("name" and count).
QMap<QString, QPair<QString, qint64>> switchesOf(qint64 pid)
{
    QMap<QString, QPair<QString, qint64>> result;
    const QString taskDir = QStringLiteral("/proc/%1/task").arg(pid);
    for (const QString &tid : QDir(taskDir).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile status(taskDir + QLatin1Char('/') + tid + QStringLiteral("/status"));
        if (!status.open(QIODevice::ReadOnly))
            continue;
        QString name;
        qint64 count = 0;
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("Name:"))
                name = QString::fromUtf8(line.mid(5).trimmed());
            else if (line.startsWith("voluntary_ctxt_switches:"))
                count = line.mid(24).trimmed().toLongLong();
        }
        result.insert(tid, {name, count});
    }
    return result;
}

// Wake-ups between two readings, summed by thread name; a thread born in
// between counts from 0.
QMap<QString, qint64> wakeups(const QMap<QString, QPair<QString, qint64>> &before,
                              const QMap<QString, QPair<QString, qint64>> &after)
{
    QMap<QString, qint64> byName;
    for (auto it = after.cbegin(); it != after.cend(); ++it)
        byName[it->first] += it->second - before.value(it.key(), {it->first, 0}).second;
    return byName;
}

struct Config
{
    const char *label;
    bool endpoints;
    bool watchdog;
    bool withBare;
    int fromSeconds = 0; // the wake-ups counted; 0: from settle/4 to settle
    int toSeconds = 0;
};

struct Series
{
    std::vector<qint64> rss, pss, dirty, bareRss, barePss, bareDirty;
    QMap<QString, std::vector<qint64>> wakeupsByThread;
    std::vector<qint64> bareWakeups;
};

bool waitUntil(const std::function<bool()> &done, int ms)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > ms)
            return false;
        QThread::msleep(20);
    }
    return true;
}

bool runRound(const Config &config, int settleSeconds, Series &series)
{
    KTestEnv world;
    std::unique_ptr<KTestServer> server;
    QMap<QString, QString> install{{QStringLiteral("Installation/PluginCatalog"),
                                    KTestEnv::binPath(QStringLiteral("plugins/catalogue.json"))}};
    if (config.endpoints) {
        server = std::make_unique<KTestServer>(world.root() + QStringLiteral("/server"));
        if (!server->isRunning())
            return false;
        const QString base = server->url(QString());
        install.insert(QStringLiteral("Installation/Features"), QStringLiteral("UseUlxCloudSvrInfoXa"));
        for (const char *key : {"InfoCollectSvr", "InfoCollectSvr_IC", "DefaultInfoCollectSvr", "CrashReportSvr",
                                "CrashUploadSvr", "FeedbackSvr"})
            install.insert(QStringLiteral("Servers/") + QLatin1String(key), server->url(QStringLiteral("/infos")));
        for (const char *key : {"DynReportSvr", "GeoSvr", "NexaSwitchSvr"})
            install.insert(QStringLiteral("Servers/") + QLatin1String(key), base);
        install.insert(QStringLiteral("Auth/Server/OnlineAllParamURL"), server->url(QStringLiteral("/params")));
    }
    world.writeInstallConfig(install);
    if (!config.watchdog) {
        KRegSettings s(QStringLiteral("HKEY_CURRENT_USER\\SOFTWARE\\Corvanta\\Office\\6.0\\ulxcloudsvr"));
        s.beginGroup(QStringLiteral("Application Settings"));
        s.setValue(QStringLiteral("DisableThreadResponseSample"), 1);
    }
    QProcessEnvironment env = world.environment();
    useBenchDisplay(env);
    for (const char *name : {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "all_proxy"})
        env.remove(QLatin1String(name));

    QProcess service;
    service.setProcessEnvironment(env);
    QProcess bare;
    bare.setProcessEnvironment(env);
    QElapsedTimer since;
    since.start();
    service.start(KTestEnv::binPath(QStringLiteral("ulxcloudsvr")), {QStringLiteral("/start_from:bench")});
    if (config.withBare)
        bare.start(KTestEnv::binPath(QStringLiteral("ulxbench_idleapp")));
    const bool serving = service.waitForStarted() && waitUntil([&] {
        return world.logText().contains(QStringLiteral("onIPCTransmission /start_from:bench"));
    }, 30000);
    const bool live = !config.endpoints || waitUntil([&] {
        return !server->eventValues(QStringLiteral("/ulx/client/app"), QStringLiteral("ulxcloudsvrlive")).isEmpty();
    }, 30000);
    if (!serving || !live)
        std::fprintf(stderr, "%s: %s\n", config.label, serving ? "no live event arrived" : "the service did not serve");

    const qint64 settleMs = qint64(settleSeconds) * 1000;
    const qint64 fromMs = config.toSeconds ? qint64(config.fromSeconds) * 1000 : settleMs / 4;
    const qint64 toMs = config.toSeconds ? qint64(config.toSeconds) * 1000 : settleMs;
    QThread::msleep(std::max<qint64>(0, fromMs - since.elapsed()));
    const auto serviceBefore = switchesOf(service.processId());
    const auto bareBefore = config.withBare ? switchesOf(bare.processId()) : decltype(serviceBefore)();
    QThread::msleep(std::max<qint64>(0, toMs - since.elapsed()));
    const Memory m = memoryOf(service.processId());
    const auto woken = wakeups(serviceBefore, switchesOf(service.processId()));
    for (auto it = woken.cbegin(); it != woken.cend(); ++it)
        series.wakeupsByThread[it.key()].push_back(it.value());
    series.rss.push_back(m.rss);
    series.pss.push_back(m.pss);
    series.dirty.push_back(m.privateDirty);
    if (config.withBare) {
        const Memory b = memoryOf(bare.processId());
        qint64 bareWoken = 0;
        for (const qint64 n : wakeups(bareBefore, switchesOf(bare.processId())))
            bareWoken += n;
        series.bareWakeups.push_back(bareWoken);
        series.bareRss.push_back(b.rss);
        series.barePss.push_back(b.pss);
        series.bareDirty.push_back(b.privateDirty);
    }

    QProcess::execute(KTestEnv::binPath(QStringLiteral("ulxcloudsvr")), {QStringLiteral("/force_exit")});
    bare.terminate();
    if (!service.waitForFinished(5000))
        service.kill();
    if (config.withBare && !bare.waitForFinished(5000))
        bare.kill();
    return serving && live;
}

void report(const Config &config, const Series &s, int rounds, int settleSeconds)
{
    std::printf("%s: %d rounds\n", config.label, rounds);
    constexpr double MiB = 1.0 / 1024;
    if (config.withBare) {
        std::printf("  memory after %d s:\n", settleSeconds);
        const BenchSpread rss = BenchSpread::of(s.bareRss, MiB), pss = BenchSpread::of(s.barePss, MiB),
                          dirty = BenchSpread::of(s.bareDirty, MiB);
        printSpread("  RSS, bare QApplication", rss, "MiB");
        printSpread("  RSS, service", BenchSpread::of(s.rss, MiB), "MiB", &rss);
        printSpread("  PSS, bare QApplication", pss, "MiB");
        printSpread("  PSS, service", BenchSpread::of(s.pss, MiB), "MiB", &pss);
        printSpread("  private dirty, bare QApplication", dirty, "MiB");
        printSpread("  private dirty, service", BenchSpread::of(s.dirty, MiB), "MiB", &dirty);
        printSpread("  wake-ups, bare QApplication", BenchSpread::of(s.bareWakeups), "");
    }
    std::printf("  wake-ups from %d s to %d s, by thread:\n", config.toSeconds ? config.fromSeconds : settleSeconds / 4,
                config.toSeconds ? config.toSeconds : settleSeconds);
    qint64 total = 0;
    for (auto it = s.wakeupsByThread.cbegin(); it != s.wakeupsByThread.cend(); ++it) {
        printSpread(qPrintable(QStringLiteral("    ") + it.key()), BenchSpread::of(it.value()), "");
        total += qint64(BenchSpread::of(it.value()).median);
    }
    std::printf("    (sum of the medians: %lld)\n", static_cast<long long>(total));
}

void trimBurst()
{
    // A burst: 64 MiB in small blocks, freed again except one block in 64, which
    // pins the heap's top as long-lived objects of a real process do.
    const qint64 before = memoryOf(0).rss;
    std::vector<char *> blocks;
    for (int i = 0; i < 64 * 1024 * 1024 / 256; ++i) {
        blocks.push_back(static_cast<char *>(std::malloc(256)));
        blocks.back()[0] = char(i);
    }
    const qint64 peak = memoryOf(0).rss;
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        if (i % 64 != 63)
            std::free(blocks[i]);
    }
    const qint64 afterFree = memoryOf(0).rss;
    QElapsedTimer t;
    t.start();
    malloc_trim(0);
    const qint64 trimUs = t.nsecsElapsed() / 1000;
    std::printf("burst of 64 MiB in 256-byte blocks, 1 in 64 kept: RSS %lld KiB before, %lld KiB at the peak, %lld KiB "
                "after free, %lld KiB after malloc_trim(0) (%lld us)\n",
                before, peak, afterFree, memoryOf(0).rss, static_cast<long long>(trimUs));
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int settle = argc > 1 ? std::max(4, atoi(argv[1])) : 60;
    const int rounds = argc > 2 ? std::max(1, atoi(argv[2])) : 3;
    const int quiet = argc > 3 ? std::max(0, atoi(argv[3])) : 250;
    const Config configs[] = {{"nothing configured", false, true, true},
                              {"every endpoint configured, after the live event", true, true, true},
                              {"nothing configured, watchdog off", false, false, false, quiet, quiet + 130}};
    bool ok = true;
    for (const Config &config : configs) {
        Series series;
        const int n = config.withBare ? rounds : 1;
        for (int i = 0; i < n; ++i)
            ok = runRound(config, settle, series) && ok;
        report(config, series, n, settle);
        std::fflush(stdout);
    }
    trimBurst();
    return ok ? 0 : 1;
}
