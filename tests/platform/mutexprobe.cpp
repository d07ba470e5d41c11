// A process of some user with a lock, or asking about one:
//   mutexprobe present NAME         asks twice, prints "present" or "absent"
//   mutexprobe trylock NAME         prints "locked PATH" or "failed REASON"
//   mutexprobe hold PATH KIND MODE  takes a file lock (Kind and Mode as numbers), prints "held" or "failed"
// A lock taken is held until stdin closes.
#include "platform/namedmutex.h"

#include <QCoreApplication>

#include <cstdio>
#include <optional>

using namespace ulx;

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const QString verb = args.value(1);
    std::optional<namedmutex::NamedMutex> mutex;
    std::optional<filelock::FileLock> file;
    if (verb == QLatin1String("present") && args.size() == 3) {
        namedmutex::isPresent(args.at(2)); // a refusal is logged once, however often asked
        std::printf("%s\n", namedmutex::isPresent(args.at(2)) ? "present" : "absent");
        return 0;
    } else if (verb == QLatin1String("trylock") && args.size() == 3) {
        mutex.emplace(args.at(2));
        if (mutex->lock(filelock::Wait::No))
            std::printf("locked %s\n", qPrintable(mutex->path()));
        else
            std::printf("failed %s\n", qPrintable(mutex->errorString()));
    } else if (verb == QLatin1String("hold") && args.size() == 5) {
        file.emplace(args.at(2), filelock::Kind(args.at(3).toInt()), filelock::Mode(args.at(4).toInt()));
        std::puts(file->isLocked() ? "held" : "failed");
    } else {
        return 2;
    }
    std::fflush(stdout);
    char line[16];
    while (std::fgets(line, sizeof line, stdin)) {
    }
    return 0;
}
