// A package of many empty members (1,000,000 by default, a few MiB gzipped) from the
// loopback test server through KPluginDownloader with the default limits: prints
// how it ended, how long it took, and the peak resident memory of this process
// (the downloader, as in the service). Writing the package takes python a few minutes.
// Usage: ulxbench_package [members=1000000]

#include "suite/plugins/kplugindownloader.h"
#include "tests/common/ktestserver.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>
#include <sys/resource.h>

namespace {
long peakKiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int members = argc > 1 ? std::atoi(argv[1]) : 1000000;
    QTemporaryDir dir;
    QProcess python;
    python.start(QStringLiteral("python3"), {QStringLiteral(ULX_PACKAGE_FIXTURES), dir.path(), QStringLiteral("--members"),
                                             QString::number(members)});
    if (!python.waitForFinished(-1) || python.exitCode() != 0) {
        std::fprintf(stderr, "cannot write the package\n");
        return 1;
    }
    const QString name = QStringLiteral("members-%1.tar.gz").arg(members);
    KTestServer server(dir.path(), {QStringLiteral("/p=file:%1/%2").arg(dir.path(), name)});
    if (!server.isRunning())
        return 1;
    const long before = peakKiB();

    KPluginDownloader downloader(QUrl(server.url(QStringLiteral("/p"))), -1, QString(), dir.path() + QStringLiteral("/plugin"),
                                 30000);
    downloader.setLimits(KPackageLimits());
    QString outcome;
    QEventLoop loop;
    QObject::connect(&downloader, &KPluginDownloader::finished, &loop, [&](bool ok, const QString &problem) {
        outcome = ok ? QStringLiteral("installed") : problem;
        loop.quit();
    });
    QElapsedTimer timer;
    timer.start();
    downloader.start();
    loop.exec();
    std::printf("members %d, package %lld bytes\n", members, QFileInfo(dir.path() + QLatin1Char('/') + name).size());
    std::printf("outcome: %s\n", qPrintable(outcome));
    std::printf("time to the outcome: %lld ms\n", timer.elapsed());
    std::printf("peak RSS of this process: %ld KiB (%ld KiB before the download)\n", peakKiB(), before);
    return 0;
}
