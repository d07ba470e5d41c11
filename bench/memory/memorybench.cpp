// ulxbench_memory [seconds]: idle memory of the serving process with the plugin
// runner and the demonstration plugins loaded, against a bare QApplication, both
// after `seconds` (default 60) in a private world; then what malloc_trim(0) (the
// service's working-set trim) gives back after a burst of small allocations.
#include "tests/common/testenv.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QThread>

#include <cstdio>
#include <malloc.h>
#include <vector>

namespace {

long rssKiB(qint64 pid)
{
    QFile f(pid ? QStringLiteral("/proc/%1/status").arg(pid) : QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? QString::fromLocal8Bit(argv[1]).toInt() : 60;
    KTestEnv env({{QStringLiteral("Installation/PluginCatalog"), KTestEnv::binPath(QStringLiteral("plugins/catalogue.json"))}});

    QProcess service;
    service.setProcessEnvironment(env.environment());
    service.start(KTestEnv::binPath(QStringLiteral("ulxcloudsvr")),
                  {QStringLiteral("/run_plugin"), QStringLiteral("/plugin_name:kbubble"), QStringLiteral("/plugin_local"),
                   QStringLiteral("/plugin_type:dll")});
    QProcess bare;
    bare.setProcessEnvironment(env.environment());
    bare.start(KTestEnv::binPath(QStringLiteral("ulxbench_idleapp")));
    if (!service.waitForStarted() || !bare.waitForStarted())
        return 1;
    // Everything the suite side runs at start: the broadcast reaches the launcher plugins too.
    QProcess::execute(KTestEnv::binPath(QStringLiteral("ulxcloudsvr")), {QStringLiteral("/broadcast"), QStringLiteral("/start_from:bench")});
    QThread::sleep(seconds);
    const long serviceKiB = rssKiB(service.processId());
    const long bareKiB = rssKiB(bare.processId());
    const bool ranBubble = env.logText().contains(QStringLiteral("kbubble::run"));
    std::printf("idle RSS after %d s: service %ld KiB (kbubble ran: %s), bare QApplication %ld KiB, ratio %.2f\n",
                seconds, serviceKiB, ranBubble ? "yes" : "no", bareKiB, bareKiB > 0 ? double(serviceKiB) / bareKiB : 0.0);
    QProcess::execute(KTestEnv::binPath(QStringLiteral("ulxcloudsvr")), {QStringLiteral("/force_exit")});
    bare.terminate();
    service.waitForFinished(5000);
    bare.waitForFinished(5000);

    // A burst: 64 MiB in small blocks, freed again except one block in 64, which
    // pins the heap's top as long-lived objects of a real process do.
    const long before = rssKiB(0);
    std::vector<char *> blocks;
    for (int i = 0; i < 64 * 1024 * 1024 / 256; ++i) {
        blocks.push_back(static_cast<char *>(std::malloc(256)));
        blocks.back()[0] = char(i);
    }
    const long peak = rssKiB(0);
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        if (i % 64 != 63)
            std::free(blocks[i]);
    }
    const long afterFree = rssKiB(0);
    QElapsedTimer t;
    t.start();
    malloc_trim(0);
    const qint64 trimUs = t.nsecsElapsed() / 1000;
    const long afterTrim = rssKiB(0);
    std::printf("burst of 64 MiB in 256-byte blocks, 1 in 64 kept: RSS %ld KiB before, %ld KiB at the peak, %ld KiB "
                "after free, %ld KiB after malloc_trim(0) (%lld us)\n",
                before, peak, afterFree, afterTrim, static_cast<long long>(trimUs));
    return 0;
}
