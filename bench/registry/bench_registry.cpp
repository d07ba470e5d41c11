// Prints the time of 1000 reads and 1000 writes through KRegSettings on a store
// of realistic size (a few dozen values in a few keys), in a private temporary
// configuration directory.
//   bench_registry [VALUES]   VALUES: values in the store beforehand (default 60)

#include "platform/registry/kregsettings.h"
#include "platform/registry/kregstore.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstdio>
#include <ctime>

namespace {

constexpr int kRounds = 1000;

// CPU time of this process: on a busy machine it varies less than the wall clock,
// and next to it shows how much of a write is waiting for the disk.
qint64 cpuNs()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void report(const char *what, qint64 wallNs, qint64 cpuNs)
{
    std::printf("%-24s wall %8.1f ms (%7.1f us each)   cpu %8.1f ms (%7.1f us each)\n", what, double(wallNs) / 1e6,
                double(wallNs) / 1e3 / kRounds, double(cpuNs) / 1e6, double(cpuNs) / 1e3 / kRounds);
}

} // namespace

int main(int argc, char **argv)
{
    const int prefill = argc > 1 ? QString::fromLocal8Bit(argv[1]).toInt() : 60;
    QTemporaryDir dir;
    if (!dir.isValid())
        return 1;
    qputenv("XDG_CONFIG_HOME", dir.path().toLocal8Bit());

    const QString base = QStringLiteral("HKEY_CURRENT_USER\\Software\\Corvanta\\Office\\6.0");
    const QStringList keys{"ulxcloudsvr\\Application Settings", "ulxcloudsvr\\OnlineConfig", "plugins\\ulxcloudsvrimp",
                           "Common", "Common\\PluginMgr"};
    for (int i = 0; i < prefill; ++i) {
        KRegSettings s(base + QLatin1Char('\\') + keys.at(i % keys.size()));
        if (i % 2)
            s.setValue(QStringLiteral("value%1").arg(i), i);
        else
            s.setValue(QStringLiteral("value%1").arg(i), QStringLiteral("some text of value %1").arg(i));
    }

    KRegSettings settings(base + QStringLiteral("\\ulxcloudsvr"));
    settings.beginGroup(QStringLiteral("Application Settings"));
    settings.setValue(QStringLiteral("Period"), 1800);

    QElapsedTimer timer;
    timer.start();
    qint64 cpu = cpuNs();
    qlonglong sum = 0;
    for (int i = 0; i < kRounds; ++i)
        sum += settings.value(QStringLiteral("period")).toLongLong();
    const qint64 readNs = timer.nsecsElapsed();
    const qint64 readCpuNs = cpuNs() - cpu;

    QStringList names;
    timer.restart();
    cpu = cpuNs();
    for (int i = 0; i < kRounds; ++i)
        names = settings.childKeys();
    const qint64 listNs = timer.nsecsElapsed();
    const qint64 listCpuNs = cpuNs() - cpu;

    timer.restart();
    cpu = cpuNs();
    for (int i = 0; i < kRounds; ++i)
        settings.setValue(QStringLiteral("Counter"), i);
    const qint64 writeNs = timer.nsecsElapsed();
    const qint64 writeCpuNs = cpuNs() - cpu;

    if (sum != 1800LL * kRounds || !names.contains(QStringLiteral("Period")) || settings.value(QStringLiteral("Counter")).toInt() != kRounds - 1
        || settings.status() != KRegSettings::NoError) {
        std::fprintf(stderr, "bench_registry: the store gave wrong answers\n");
        return 1;
    }
    std::printf("store: %d values, %lld bytes\n", prefill + 2,
                qlonglong(QFileInfo(KRegStore::filePath(KRegHive::CurrentUser)).size()));
    report("1000 reads (value)", readNs, readCpuNs);
    report("1000 childKeys()", listNs, listCpuNs);
    report("1000 writes (setValue)", writeNs, writeCpuNs);
    return 0;
}
