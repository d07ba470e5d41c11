// ulxrestartsender <prefix>: sends the command lines "/seq:<prefix>-<i>" (i from 0 to 49),
// 100 ms apart, over the service's channel, as many second starts of the service would,
// without their start-up cost. Exits with the number of lines not delivered.
#include "host/transport/khosttransport.h"
#include "ipc/kmembuffer.h"

#include <thread>

int main(int, char **argv)
{
    KHostTransport transport(QStringLiteral("UlxCloudSvr"));
    int lost = 0;
    for (int i = 0; i < 50; ++i) {
        _KSimpleMemBuffer request(QStringLiteral("/seq:%1-%2").arg(QString::fromLocal8Bit(argv[1])).arg(i)), reply;
        if (!transport.sendMessage(transport.channelName(), u"_TRANSMISSION_", &request, &reply, 30000, nullptr))
            ++lost;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return lost;
}
