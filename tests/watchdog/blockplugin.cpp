// A suite plugin for the watchdog's tests: blocks the main thread on command.
// The test writes "block <ms>" into the file named by ULX_TEST_BLOCK_FILE; the
// plugin, watching that file from the main thread, sleeps that long on it;
// "crash" makes it write through a null pointer.
#include "platform/export.h"
#include "suite/kxlogger.h"

#include <QFile>
#include <QFileSystemWatcher>
#include <QThread>

extern "C" ULX_EXPORT void ulxPluginInit(QObject *application)
{
    const QString path = qEnvironmentVariable("ULX_TEST_BLOCK_FILE");
    if (!application || path.isEmpty())
        return;
    auto *watcher = new QFileSystemWatcher({path}, application);
    QObject::connect(watcher, &QFileSystemWatcher::fileChanged, watcher, [path] {
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly))
            return;
        const QByteArray command = f.readAll().trimmed();
        if (command == "crash") {
            KxLogger::writeInfo(QStringLiteral("ulxblockplugin"), QStringLiteral("crashing"));
            volatile int *nowhere = nullptr;
            *nowhere = 1; // a real SIGSEGV
        }
        if (!command.startsWith("block "))
            return;
        const int ms = command.mid(6).toInt();
        KxLogger::writeInfo(QStringLiteral("ulxblockplugin"), QStringLiteral("blocking the main thread for %1 ms").arg(ms));
        QThread::msleep(ulong(ms));
        KxLogger::writeInfo(QStringLiteral("ulxblockplugin"), QStringLiteral("main thread free again"));
    });
    KxLogger::writeInfo(QStringLiteral("ulxblockplugin"), QStringLiteral("ready"));
}
