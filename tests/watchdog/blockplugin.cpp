// A suite plugin for the watchdog's tests: blocks the main thread on command.
// The test writes "block <ms>" into the file named by ULX_TEST_BLOCK_FILE; the plugin,
// watching that file from the main thread, sleeps that long on it; "crash" makes it
// store into a page that allows no access (a real SIGSEGV).
#include "platform/export.h"
#include "suite/kxlogger.h"

#include <QFile>
#include <QFileSystemWatcher>
#include <QThread>

#include <sys/mman.h>

extern "C" ULX_EXPORT void ulxPluginInit(QObject *application)
{
    const QString path = qEnvironmentVariable("ULX_TEST_BLOCK_FILE");
    auto *watcher = new QFileSystemWatcher({path}, application);
    QObject::connect(watcher, &QFileSystemWatcher::fileChanged, watcher, [path] {
        QFile f(path);
        f.open(QIODevice::ReadOnly); // one that cannot be read holds no command
        const QList<QByteArray> command = f.readAll().trimmed().split(' ');
        if (command.first() == "crash")
            *static_cast<volatile int *>(::mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)) = 1;
        if (command.first() != "block")
            return;
        const int ms = command.value(1).toInt();
        KxLogger::writeInfo(QStringLiteral("ulxblockplugin"),
                            QStringLiteral("blocking the main thread for %1 ms").arg(ms));
        QThread::msleep(ulong(ms));
        KxLogger::writeInfo(QStringLiteral("ulxblockplugin"), QStringLiteral("main thread free again"));
    });
    KxLogger::writeInfo(QStringLiteral("ulxblockplugin"), QStringLiteral("ready"));
}
