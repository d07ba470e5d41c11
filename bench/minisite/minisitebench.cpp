// Two figures of the minisite, in one private world (temporary HOME, XDG and
// runtime directories):
//  1. the cost of a refused minisite line (inside the 600 s window: parsed, checked,
//     one log line; and "start_from:tavinseload": parsed and checked only), against
//     a bare KxCommandLine::parse of the same text;
//  2. the relay latency from the push bubble's signal to the minisite program's log
//     (the program "ulxminisite" serving its channel; the send returns once the
//     program has logged and answered), against a plain send of the same text over
//     the same transport.
// Usage: ulxbench_minisite [rounds=2000] [relay rounds=300]

#include "platform/cmdline/kxcommandline.h"
#include "bench/common/benchstats.h"
#include "host/transport/khosttransport.h"
#include "innerplugins/kinnerclock.h"
#include "innerplugins/minisite/kminisite.h"
#include "ipc/kmembuffer.h"
#include "platform/export.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>
#include <vector>

namespace {
KHostTransport *g_transport = nullptr;
}

// The service library looks its host up in the running program, as in ulxcloudsvr.
extern "C" ULX_EXPORT BOOL GetHostInterface(IKCloudSvrHost **host)
{
    if (!host || !g_transport)
        return 0;
    *host = g_transport;
    return 1;
}

int main(int argc, char **argv)
{
    QTemporaryDir world;
    for (const char *var : {"HOME", "XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_DATA_HOME", "XDG_RUNTIME_DIR"}) {
        const QString dir = world.path() + '/' + QString::fromLatin1(var);
        QDir().mkpath(dir);
        QFile::setPermissions(dir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        qputenv(var, QFile::encodeName(dir));
    }
    qputenv("ULX_INSTALL_CONFIG", QFile::encodeName(world.path() + "/none.ini"));
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 2000;
    const int relayRounds = argc > 2 ? std::atoi(argv[2]) : 300;

    // 1. Refused lines.
    const QString line = QStringLiteral("/start_from:bubble /from:tray \"C:/some path/file.docx\"");
    const QString seload = QStringLiteral("/start_from:tavinseload /from:tray \"C:/some path/file.docx\"");
    const QDateTime fixed(QDate(2026, 3, 2), QTime(10, 0));
    kinnerclock::setSource([fixed] { return fixed; });
    KMinisite plugin;
    plugin.exec(line); // accepted: the later ones fall inside the window
    std::vector<qint64> parse, refusedWindow, refusedSeload;
    for (int i = 0; i < rounds; ++i) {
        QElapsedTimer t;
        t.start();
        KxCommandLine cmd;
        cmd.parse(line, true);
        parse.push_back(t.nsecsElapsed());
        t.restart();
        plugin.exec(line);
        refusedWindow.push_back(t.nsecsElapsed());
        t.restart();
        plugin.exec(seload);
        refusedSeload.push_back(t.nsecsElapsed());
    }
    std::printf("refused minisite line, median of %d (ns):\n", rounds);
    std::printf("  KxCommandLine::parse alone          %10.0f\n", median(parse));
    std::printf("  refused, tavinseload (no log line)  %10.0f\n", median(refusedSeload));
    std::printf("  refused, 600 s window (log line)    %10.0f\n", median(refusedWindow));

    // 2. Relay latency.
    QProcess minisite;
    minisite.setProcessChannelMode(QProcess::ForwardedChannels);
    minisite.start(QCoreApplication::applicationDirPath() + QStringLiteral("/ulxminisite"), {});
    if (!minisite.waitForStarted(5000)) {
        std::fprintf(stderr, "ulxminisite does not start\n");
        return 1;
    }
    g_transport = new KHostTransport(QStringLiteral("UlxCloudSvr"));
    QElapsedTimer wait;
    wait.start();
    const QString logPath = QString::fromLocal8Bit(qgetenv("XDG_STATE_HOME")) + QStringLiteral("/ulxcloudsvr/ulxcloudsvr.log");
    while (wait.elapsed() < 10000) {
        QFile log(logPath);
        if (log.open(QIODevice::ReadOnly) && log.readAll().contains("ulxminisite::start"))
            break;
        QThread::msleep(10);
    }
    std::vector<qint64> relay, plain;
    int lost = 0;
    for (int i = 0; i < relayRounds; ++i) {
        const QString text = QStringLiteral("https://example.invalid/page?round=%1").arg(i);
        QElapsedTimer t;
        t.start();
        QMetaObject::invokeMethod(&plugin, "__OnBubbleLogicEx", Qt::DirectConnection,
                                  Q_ARG(QString, QStringLiteral("browsetheweb")), Q_ARG(QString, text));
        relay.push_back(t.nsecsElapsed());
        _KSimpleMemBuffer request(text), reply;
        t.restart();
        if (!g_transport->sendMessage(u"ulxminisite", u"_TRANSMISSION_", &request, &reply, 2000, nullptr))
            ++lost;
        plain.push_back(t.nsecsElapsed());
    }
    QFile log(logPath);
    log.open(QIODevice::ReadOnly);
    const int received = int(log.readAll().count("ulxminisite::receive https://example.invalid/page?round="));
    std::printf("relay to the minisite program, median of %d (us), until it has logged and answered:\n", relayRounds);
    std::printf("  plain channel send                  %10.1f\n", median(plain) / 1000.0);
    std::printf("  bubble signal -> relay -> program   %10.1f\n", median(relay) / 1000.0);
    std::printf("  lines logged by the program: %d of %d (plain sends not delivered: %d)\n", received, 2 * relayRounds, lost);

    minisite.terminate();
    minisite.waitForFinished(5000);
    delete g_transport;
    return 0;
}
