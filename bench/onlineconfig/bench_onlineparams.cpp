// The parameter fetch and the atomic writes of both files for a 1 MiB body from the
// loopback test server, against `curl -s -o FILE` of the same URL, in the same run.
// Usage: ulxbench_onlineparams [rounds=20]

#include "bench/common/benchstats.h"
#include "onlineparams/konlineparamsmanager.h"
#include "suite/krt.h"
#include "tests/common/ktestserver.h"
#include "tests/common/testenv.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 20;
    for (const char *name : {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "all_proxy"})
        qunsetenv(name);
    KTestEnv world;
    const QString body = world.root() + QStringLiteral("/body.json");
    {
        QFile f(body);
        f.open(QIODevice::WriteOnly);
        QByteArray bytes = "{\"params\":[{\"funcName\":\"global\",\"extras\":[]}],\"pad\":\"";
        bytes += QByteArray(1024 * 1024 - bytes.size() - 2, 'x');
        bytes += "\"}";
        f.write(bytes);
    }
    KTestServer server(world.root() + QStringLiteral("/server"), {QStringLiteral("/params=file:") + body});
    const QString online = world.root() + QStringLiteral("/out/online.json");
    const QString local = world.root() + QStringLiteral("/out/local.json");
    world.writeInstallConfig({{"Auth/Server/OnlineAllParamURL", server.url(QStringLiteral("/params"))},
                              {"OnlineParams/OnlineParamPath", online},
                              {"OnlineParams/LocalParamPath", local}});
    krt::reload();
    const qint64 size = QFileInfo(body).size();

    std::vector<qint64> managerNs, curlNs;
    QElapsedTimer t;
    for (int i = 0; i < rounds; ++i) {
        QFile::remove(online);
        QFile::remove(local);
        QObject parent;
        auto *manager = new KOnlineParamsManager(&parent);
        t.start();
        manager->start();
        while (QFileInfo(local).size() != size && t.elapsed() < 10000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
        managerNs.push_back(t.nsecsElapsed());

        const QString out = world.root() + QStringLiteral("/curl.out");
        t.start();
        QProcess::execute(QStringLiteral("curl"), {QStringLiteral("-s"), QStringLiteral("-o"), out,
                                                   server.url(QStringLiteral("/params")) + QStringLiteral("?version=x")});
        curlNs.push_back(t.nsecsElapsed());
    }
    std::printf("rounds %d, body %lld bytes (medians)\n", rounds, size);
    std::printf("manager: fetch, online file, local file  %8.2f ms\n", median(managerNs) / 1e6);
    std::printf("curl -s -o (process included)            %8.2f ms\n", median(curlNs) / 1e6);
    return 0;
}
