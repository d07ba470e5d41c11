// Downloading a 64 MiB package (tar of random bytes) from a loopback responder of
// our own (sendfile, far faster than either client) through the plugin manager,
// against "curl -o" of the same URL. Prints the medians, the throughput ratio
// (curl time / our time; goal >= 0.5), with and without the catalogue's size and SHA-256 checks, and the worst gap of a 5 ms timer of the
// downloading event loop (goal < 50 ms).
// Usage: ulxbench_download [rounds=5] [MiB=64]

#include "bench/common/benchstats.h"
#include "suite/krt.h"
#include "suite/plugins/kplugin.h"
#include "suite/plugins/kpluginmanager.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// Serves `path` to every request on `listener`, one connection at a time.
[[noreturn]] void serve(int listener, const char *path)
{
    for (;;) {
        const int c = ::accept(listener, nullptr, nullptr);
        if (c < 0)
            continue;
        char buf[4096];
        std::string request;
        while (request.find("\r\n\r\n") == std::string::npos) {
            const ssize_t n = ::read(c, buf, sizeof buf);
            if (n <= 0)
                break;
            request.append(buf, std::size_t(n));
        }
        const int fd = ::open(path, O_RDONLY);
        struct stat st{};
        ::fstat(fd, &st);
        const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: "
            + std::to_string(st.st_size) + "\r\nConnection: close\r\n\r\n";
        [[maybe_unused]] ssize_t w = ::write(c, head.data(), head.size());
        off_t offset = 0;
        while (offset < st.st_size && ::sendfile(c, fd, &offset, std::size_t(st.st_size - offset)) > 0) {
        }
        ::close(fd);
        ::shutdown(c, SHUT_WR);
        while (::read(c, buf, sizeof buf) > 0) {
        }
        ::close(c);
    }
}

} // namespace

int main(int argc, char **argv)
{
    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 5;
    const qint64 mib = argc > 2 ? std::max(1, atoi(argv[2])) : 64;
    QTemporaryDir world;
    const QString root = world.path();
    const QString stage = root + QStringLiteral("/stage");
    QDir().mkpath(stage);
    {
        QFile data(stage + QStringLiteral("/data.bin"));
        data.open(QIODevice::WriteOnly);
        std::vector<quint32> block(1 << 18);
        for (qint64 i = 0; i < mib; ++i) {
            QRandomGenerator::global()->fillRange(block.data(), block.size());
            data.write(reinterpret_cast<const char *>(block.data()), qint64(block.size() * 4));
        }
        QFile ini(stage + QStringLiteral("/app.ini"));
        ini.open(QIODevice::WriteOnly);
        ini.write("[runinfo]\nentry=data.bin\n");
    }
    const QString package = root + QStringLiteral("/package.tar");
    if (QProcess::execute(QStringLiteral("tar"), {QStringLiteral("-cf"), package, QStringLiteral("-C"), stage, QStringLiteral(".")}) != 0)
        return 1;

    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(listener, reinterpret_cast<sockaddr *>(&addr), len) != 0 || ::listen(listener, 8) != 0
        || ::getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
        return 1;
    const QByteArray packagePath = QFile::encodeName(package);
    const pid_t responder = ::fork();
    if (responder == 0)
        serve(listener, packagePath.constData());
    ::close(listener);
    const QString url = QStringLiteral("http://127.0.0.1:%1/package.tar").arg(ntohs(addr.sin_port));

    // Half the rounds with the size and hash checks of a catalogue that gives them.
    QString sha256;
    {
        QFile f(package);
        QCryptographicHash hash(QCryptographicHash::Sha256);
        if (f.open(QIODevice::ReadOnly) && hash.addData(&f))
            sha256 = QString::fromLatin1(hash.result().toHex());
    }
    QJsonArray plugins;
    for (int i = 0; i < rounds; ++i) {
        QJsonObject entry{{"name", QStringLiteral("big%1").arg(i)}, {"url", url}};
        entry.insert("size", double(QFileInfo(package).size()));
        entry.insert("sha256", sha256);
        plugins.append(entry);
        plugins.append(QJsonObject{{"name", QStringLiteral("plain%1").arg(i)}, {"url", url}});
    }
    {
        QFile catalogue(root + QStringLiteral("/catalogue.json"));
        catalogue.open(QIODevice::WriteOnly);
        catalogue.write(QJsonDocument(QJsonObject{{"plugins", plugins}}).toJson());
        QSettings config(root + QStringLiteral("/ulxinstall.ini"), QSettings::IniFormat);
        config.setValue(QStringLiteral("Installation/PluginCatalog"), root + QStringLiteral("/catalogue.json"));
        config.setValue(QStringLiteral("Installation/PluginsDir"), root + QStringLiteral("/plugins"));
    }
    qputenv("ULX_INSTALL_CONFIG", QFile::encodeName(root + QStringLiteral("/ulxinstall.ini")));

    QCoreApplication app(argc, argv);
    krt::reload();
    KPluginManager manager;
    manager.start();
    {
        QEventLoop loop;
        QObject::connect(&manager, &KPluginManager::loadFinished, &loop, &QEventLoop::quit);
        loop.exec();
    }

    std::vector<qint64> curl, download, whole, checked, checkedWhole;
    qint64 worstGap = 0;
    for (int i = 0; i < 2 * rounds; ++i) {
        const bool check = i % 2 == 0;
        const QString name = (check ? QStringLiteral("big%1") : QStringLiteral("plain%1")).arg(i / 2);
        QElapsedTimer t;
        t.start();
        QProcess::execute(QStringLiteral("curl"), {QStringLiteral("-s"), QStringLiteral("-o"),
                                                   root + QStringLiteral("/curl.out"), url});
        curl.push_back(t.nsecsElapsed());
        QFile::remove(root + QStringLiteral("/curl.out"));

        KPlugin *plugin = manager.getPlugin(name);
        QEventLoop loop;
        QElapsedTimer gap;
        QTimer tick;
        tick.setTimerType(Qt::PreciseTimer);
        tick.setInterval(5);
        QObject::connect(&tick, &QTimer::timeout, [&] {
            worstGap = std::max(worstGap, gap.restart());
        });
        qint64 downloaded = 0;
        QObject::connect(plugin, &KPlugin::loadProgress, [&](qint64 total, qint64 received) {
            if (total > 0 && received == total && downloaded == 0)
                downloaded = t.nsecsElapsed();
        });
        bool ok = false;
        QObject::connect(plugin, &KPlugin::loadSuccess, &loop, [&] { ok = true; loop.quit(); });
        QObject::connect(plugin, &KPlugin::loadFailed, &loop, &QEventLoop::quit);
        t.start();
        gap.start();
        tick.start();
        plugin->load(0);
        loop.exec();
        tick.stop();
        if (!ok) {
            std::fprintf(stderr, "download %d failed\n", i);
            break;
        }
        (check ? checked : download).push_back(downloaded);
        (check ? checkedWhole : whole).push_back(t.nsecsElapsed());
        QDir(root + QStringLiteral("/plugins/") + name).removeRecursively();
    }
    ::kill(responder, SIGTERM);
    ::waitpid(responder, nullptr, 0);
    const double c = median(curl) / 1e6, d = median(download) / 1e6, w = median(whole) / 1e6;
    const double size = double(QFileInfo(package).size()) / (1024.0 * 1024.0);
    const double dc = median(checked) / 1e6, wc = median(checkedWhole) / 1e6;
    std::printf("median of %d, %.1f MiB: curl -o %.1f ms (%.0f MiB/s); plugin download %.1f ms (%.0f MiB/s), "
                "ratio %.2f (goal >= 0.5), until installed (tar) %.1f ms; with size and SHA-256 checks: download "
                "%.1f ms, ratio %.2f, until installed %.1f ms; worst gap of a 5 ms timer %lld ms (goal < 50)\n",
                int(download.size()), size, c, size / (c / 1000), d, size / (d / 1000), c / d, w, dc, c / dc, wc,
                static_cast<long long>(worstGap));
    return 0;
}
