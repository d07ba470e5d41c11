// ulxhostpeer: one process owning one KHostTransport, for the multi-process tests of the host transport.
//   start <channel> <text>    elect as the service does: a server sends <text> to itself and serves, a client sends it
//   serve <channel>           elect and serve; exit 4 when another process serves
//   send <channel> <text>     exit 0 when delivered (printing "reply <text>"), 2 when not
//   raw <socket-path> <text>  one request frame straight over the socket: exit 0 answered, 5 closed, 6 not connected
// start/serve print "server" or "client" first. A server prints "msg<TAB><text>" per message and echoes the text;
// "quit" ends it as SIGTERM does (printing "refused <count>"), "release" releases the channel ("released"),
// "exit-handler" / "exit-thread" call prepareExit(0) in the handler / a new thread, then _exit(0).
// A server that loses its channel to another process ends as on SIGTERM. ULXHOSTPEER_DEADLINE_MS sets the
// per-connection deadline of a server.

#include "host/transport/khosttransport.h"
#include "host/transport/kwireformat.h"
#include "ipc/kmembuffer.h"

#include <QStringList>

#include <cstdio>
#include <cstring>
#include <thread>

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

const char16_t Transmission[] = u"_TRANSMISSION_";
KHostTransport *g_transport = nullptr;

void printLine(const QString &line)
{
    std::printf("%s\n", line.toUtf8().constData());
    std::fflush(stdout);
}

[[noreturn]] void exitNow()
{
    g_transport->prepareExit(0);
    std::fflush(stdout);
    ::_exit(0);
}

void STDMETHODCALLTYPE onMessage(void *, const char16_t *, std::uintptr_t, IKMemBuffer *request, IKMemBuffer *reply)
{
    const QString text = _KSimpleMemBuffer::text(request);
    printLine(QStringLiteral("msg\t") + text);
    _KSimpleMemBuffer::setText(reply, text);
    if (text == QLatin1String("quit"))
        ::kill(::getpid(), SIGTERM);
    else if (text == QLatin1String("release"))
        ::kill(::getpid(), SIGUSR1);
    else if (text == QLatin1String("exit-handler"))
        exitNow();
    else if (text == QLatin1String("exit-thread"))
        std::thread(exitNow).detach();
}

int send(KHostTransport &transport, const QString &text)
{
    _KSimpleMemBuffer request(text), reply;
    if (!transport.sendMessage(transport.channelName(), Transmission, &request, &reply, 30000, nullptr))
        return 2;
    printLine(QStringLiteral("reply ") + _KSimpleMemBuffer::text(&reply));
    return 0;
}

int sendRaw(const QByteArray &socketPath, const QString &text)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.constData(), sizeof address.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
        return 6;
    _KSimpleMemBuffer request(text);
    const auto frame = ulx::hostwire::encodeRequest(Transmission, request.data(), request.size());
    unsigned char header[ulx::hostwire::HeaderBytes];
    pollfd p{fd, POLLIN, 0};
    const bool answered = ::send(fd, frame.data(), frame.size(), MSG_NOSIGNAL) == ssize_t(frame.size())
        && ::poll(&p, 1, 3000) > 0 && ::recv(fd, header, sizeof header, MSG_WAITALL) == ssize_t(sizeof header);
    return answered ? 0 : 5;
}

} // namespace

int main(int argc, char **argv)
{
    const QString mode = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    const bool withText = QStringList{"start", "send", "raw"}.contains(mode);
    if (argc != (withText ? 4 : mode == QLatin1String("serve") ? 3 : 0)) {
        std::fprintf(stderr, "usage: see the head of ulxhostpeer.cpp\n");
        return 64;
    }
    const QString text = withText ? QString::fromLocal8Bit(argv[3]) : QString();
    if (mode == QLatin1String("raw"))
        return sendRaw(argv[2], text);

    // Every thread, the receive thread included, inherits this mask: the signals reach only sigwait() below.
    sigset_t waited;
    sigemptyset(&waited);
    sigaddset(&waited, SIGTERM);
    sigaddset(&waited, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &waited, nullptr);

    KHostTransport::Options options;
    if (const int deadline = qEnvironmentVariableIntValue("ULXHOSTPEER_DEADLINE_MS"); deadline > 0)
        options.connectionDeadlineMs = deadline;
    KHostTransport transport(QString::fromLocal8Bit(argv[2]), options);
    g_transport = &transport;
    if (mode == QLatin1String("send"))
        return send(transport, text);
    if (!transport.isChannelServer()) {
        printLine(QStringLiteral("client"));
        return mode == QLatin1String("start") ? send(transport, text) : 4;
    }
    printLine(QStringLiteral("server")); // before the receive thread starts: always the first line
    transport.registerReceiver(Transmission, nullptr, onMessage);
    if (mode == QLatin1String("start") && send(transport, text) != 0)
        return 2;
    for (int signal = 0; signal != SIGTERM;) {
        if (::sigwait(&waited, &signal) == 0 && signal == SIGUSR1) {
            transport.releaseChannel();
            printLine(QStringLiteral("released"));
        }
    }
    printLine(QStringLiteral("refused %1").arg(transport.refusedCount()));
    return 0;
}
