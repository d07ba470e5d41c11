#include "platform/process.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QFile>
#include <QList>
#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace ulx::process {
namespace {

struct Args
{
    Args()
    {
        QFile f(QStringLiteral("/proc/self/cmdline"));
        if (f.open(QIODevice::ReadOnly))
            storage = f.readAll();
        if (storage.isEmpty() || !storage.endsWith('\0'))
            storage.append('\0');
        // Every argument ends with a NUL; the position after the last one starts nothing.
        for (qsizetype i = 0; i < storage.size(); ++i) {
            if (i == 0 || storage.at(i - 1) == '\0')
                pointers.append(storage.data() + i);
        }
        count = int(pointers.size());
        pointers.append(nullptr);
    }
    QByteArray storage;
    QList<char *> pointers;
    int count = 0;
};

Args &args()
{
    static Args *a = new Args; // lives as long as the application that holds argv
    return *a;
}

int g_signalPipe[2] = {-1, -1};

void onTerminationSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &byte, 1);
}

} // namespace

int &argc()
{
    return args().count;
}

char **argv()
{
    return args().pointers.data();
}

void terminateSelf(int exitCode)
{
    ::_exit(exitCode);
}

void quitOnTerminationSignals()
{
    if (g_signalPipe[0] >= 0 || ::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto *notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [] {
        char buf[16];
        while (::read(g_signalPipe[0], buf, sizeof buf) > 0) {}
        QCoreApplication::quit();
    });
    struct sigaction sa{};
    sa.sa_handler = onTerminationSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);
}

} // namespace ulx::process
