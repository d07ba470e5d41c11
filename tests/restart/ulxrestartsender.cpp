// ulxrestartsender <channel> <prefix> <count> <pauseMs>: sends the command lines
// "/seq:<prefix>-<i>" one after the other over the channel, as many second starts
// of the service would, without their start-up cost. Prints "lost <i>" for each
// line not delivered; exits with the number lost (at most 100).
#include "host/transport/khosttransport.h"
#include "ipc/kmembuffer.h"

#include <QString>

#include <cstdio>
#include <cstdlib>
#include <thread>

int main(int argc, char **argv)
{
    if (argc != 5)
        return 101;
    KHostTransport transport(QString::fromLocal8Bit(argv[1]));
    const QString prefix = QString::fromLocal8Bit(argv[2]);
    const int count = std::atoi(argv[3]);
    const int pauseMs = std::atoi(argv[4]);
    int lost = 0;
    for (int i = 0; i < count; ++i) {
        _KSimpleMemBuffer request(QStringLiteral("/seq:%1-%2").arg(prefix).arg(i)), reply;
        if (!transport.sendMessage(transport.channelName(), u"_TRANSMISSION_", &request, &reply, 30000, nullptr)) {
            ++lost;
            std::printf("lost %d\n", i);
            std::fflush(stdout);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
    }
    return lost > 100 ? 100 : lost;
}
