// Reads the hardware identifier once and prints it: hdidreader <root> [<log> <delay ms>].
// With a log, every computation this process starts appends one line to it and
// takes at least the delay, so that several readers overlap.
#include "hdid/khdidmanager.h"

#include <QCoreApplication>
#include <QFile>
#include <QThread>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    ulx::hdid::Sources sources;
    sources.root = args.value(1, QStringLiteral("/"));
    ulx::hdid::HdidManager::instance().setSources(sources);
    if (args.size() > 3) {
        const QString log = args.at(2);
        const int delayMs = args.at(3).toInt();
        ulx::hdid::HdidManager::instance().setComputeHook([log, delayMs] {
            QFile f(log);
            if (f.open(QIODevice::Append))
                f.write(QByteArray::number(QCoreApplication::applicationPid()) + '\n');
            f.close();
            QThread::msleep(delayMs);
        });
    }
    char16_t buffer[260] = {};
    const int n = ulx::hdid::getHdid(buffer, 260);
    std::printf("%d %s\n", n, QString::fromUtf16(buffer).toLatin1().constData());
    return 0;
}
