// ulxminisite: the minisite program stand-in. Serves the channel "ulxminisite" and
// logs every text that reaches it ("ulxminisite::receive <text>", category
// "ulxminisite") until SIGTERM or SIGINT. A second start while one serves logs
// "ulxminisite::start already shown" and ends with 0.
#include "host/transport/khosttransport.h"
#include "ipc/kmembuffer.h"
#include "suite/kxlogger.h"

#include <QStringList>

#include <csignal>
#include <pthread.h>

namespace {

const QString Category = QStringLiteral("ulxminisite");

void log(const QString &message)
{
    KxLogger::writeMsg(KxLogger::Fixed(), Category, message);
}

void STDMETHODCALLTYPE onMessage(void *, const char16_t *, std::uintptr_t, IKMemBuffer *request, IKMemBuffer *reply)
{
    log(QStringLiteral("ulxminisite::receive ") + _KSimpleMemBuffer::text(request));
    _KSimpleMemBuffer::setText(reply, QStringLiteral("ok"));
}

} // namespace

int main(int argc, char **argv)
{
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);

    // The transport's thread inherits the mask: the stopSignals are taken here only.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    KHostTransport transport(QStringLiteral("ulxminisite"));
    if (!transport.isChannelServer()) {
        log(QStringLiteral("ulxminisite::start already shown"));
        return 0;
    }
    transport.registerReceiver(u"_TRANSMISSION_", nullptr, onMessage);
    log(QStringLiteral("ulxminisite::start ") + arguments.join(QLatin1Char(' ')));

    int received = 0;
    sigwait(&stopSignals, &received);
    log(QStringLiteral("ulxminisite::quit"));
    return 0;
}
