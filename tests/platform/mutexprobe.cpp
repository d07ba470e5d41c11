// A process of some user asking about a named mutex:
//   mutexprobe present NAME   asks twice, prints "present" or "absent"
//   mutexprobe trylock NAME   prints "locked PATH" or "failed REASON", then holds
//                             the mutex until stdin closes
#include "platform/namedmutex.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 3)
        return 2;
    const QString &name = args.at(2);
    if (args.at(1) == QLatin1String("present")) {
        ulx::namedmutex::isPresent(name); // a refusal is logged once, however often asked
        std::printf("%s\n", ulx::namedmutex::isPresent(name) ? "present" : "absent");
        return 0;
    }
    ulx::namedmutex::NamedMutex mutex(name);
    if (mutex.lock(ulx::filelock::Wait::No))
        std::printf("locked %s\n", qPrintable(mutex.path()));
    else
        std::printf("failed %s\n", qPrintable(mutex.errorString()));
    std::fflush(stdout);
    char line[16];
    while (std::fgets(line, sizeof line, stdin)) {
    }
    return 0;
}
