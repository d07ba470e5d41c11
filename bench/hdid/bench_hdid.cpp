// The hardware identifier on this machine, in a private world: a cached read and a
// full computation (the sources alone, and a read that computes: thread, digest,
// store, lock), against one stat(2) of a sysfs file, in the same run.
// Usage: ulxbench_hdid [rounds=200]

#include "bench/common/benchstats.h"
#include "hdid/khdidmanager.h"
#include "platform/registry/kregsettings.h"
#include "tests/common/testenv.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <cstdio>
#include <sys/stat.h>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 200;
    KTestEnv world;
    using namespace ulx::hdid;
    KRegSettings common(QStringLiteral("HKEY_CURRENT_USER\\Software\\Corvanta\\Office\\6.0\\Common"));

    const char *sysfsFile = "/sys/class/net/lo/address";
    std::vector<qint64> statNs, sourcesNs, computeNs, cachedNs;
    QElapsedTimer t;
    for (int i = 0; i < rounds; ++i) {
        struct stat st;
        t.start();
        ::stat(sysfsFile, &st);
        statNs.push_back(t.nsecsElapsed());

        t.start();
        const QString id = digest(identifierText(Sources{}));
        sourcesNs.push_back(t.nsecsElapsed());

        common.remove(QStringLiteral("InfoHD2"));
        t.start();
        const QString computed = HdidManager::instance().read(WaitLimitMs);
        computeNs.push_back(t.nsecsElapsed());
        if (computed != id)
            std::fprintf(stderr, "computed %s, sources give %s\n", qPrintable(computed), qPrintable(id));

        t.start();
        HdidManager::instance().read(WaitLimitMs);
        cachedNs.push_back(t.nsecsElapsed());
    }
    std::printf("rounds %d (medians)\n", rounds);
    std::printf("stat(%s)            %8.1f us\n", sysfsFile, median(statNs) / 1000.0);
    std::printf("cached read                              %8.1f us  (x%.0f the stat)\n", median(cachedNs) / 1000.0,
                median(cachedNs) / median(statNs));
    std::printf("computation: sources and digest          %8.1f us\n", median(sourcesNs) / 1000.0);
    std::printf("computation: read with nothing stored    %8.1f us  (x%.0f the stat)\n", median(computeNs) / 1000.0,
                median(computeNs) / median(statNs));
    return 0;
}
