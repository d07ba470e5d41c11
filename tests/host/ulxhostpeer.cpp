// ulxhostpeer: one process owning one KHostTransport, for the multi-process tests of the host transport.
//   start <channel> [<text>]  elect as the service does: a server sends <text> to itself and serves, a client
//                           sends it; without <text>, exit 4 when another process serves
//   send <channel> <text>   exit 0 when delivered (printing "reply <text>"), 2 when not
//   raw <socket> <hex> <pause-ms>  the bytes straight over the socket, the rest <pause-ms> after the first 20
//                           (then "sent"): exit 0 answered, 1 refused, 5 closed, 6 not connected
// start prints "server" or "client" first. A server prints "msg<TAB><text>" per message and echoes it;
// SIGTERM (also the transport's own on losing the channel) ends it, printing "refused <count>"; "release"
// releases the channel ("released"); "exit" calls prepareExit(0) in the handler, then _exit(0).
// ULXHOSTPEER_DEADLINE_MS sets the per-connection deadline of a server; ULXHOSTPEER_UID the user raw sends as.

#include "host/transport/khosttransport.h"
#include "host/transport/kwireformat.h"
#include "ipc/kmembuffer.h"

#include <QByteArray>
#include <QString>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <grp.h>
#include <unistd.h>

namespace {

const char16_t Transmission[] = u"_TRANSMISSION_";
KHostTransport *g_transport = nullptr;

void printLine(const QString &line)
{
    std::printf("%s\n", line.toUtf8().constData());
    std::fflush(stdout);
}

void STDMETHODCALLTYPE onMessage(void *, const char16_t *, std::uintptr_t, IKMemBuffer *request, IKMemBuffer *reply)
{
    const QString text = _KSimpleMemBuffer::text(request);
    printLine(QStringLiteral("msg\t") + text);
    _KSimpleMemBuffer::setText(reply, text);
    if (text == QLatin1String("release"))
        ::kill(::getpid(), SIGUSR1);
    else if (text == QLatin1String("exit")) {
        g_transport->prepareExit(0);
        ::_exit(0);
    }
}

int send(KHostTransport &transport, const QString &text)
{
    _KSimpleMemBuffer request(text), reply;
    if (!transport.sendMessage(transport.channelName(), Transmission, &request, &reply, 30000, nullptr))
        return 2;
    printLine(QStringLiteral("reply ") + _KSimpleMemBuffer::text(&reply));
    return 0;
}

// Writes `bytes` straight over the socket, the first 20 of them, then after `pauseMs` the rest.
int sendRaw(const QByteArray &socketPath, const QByteArray &bytes, int pauseMs)
{
    const qsizetype split = qMin<qsizetype>(20, bytes.size());
    const uid_t uid = uid_t(qEnvironmentVariableIntValue("ULXHOSTPEER_UID"));
    if (uid != 0 && (::setgroups(0, nullptr) != 0 || ::setgid(gid_t(uid)) != 0 || ::setuid(uid) != 0))
        return 7;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.constData(), sizeof address.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
        return 6;
    ::send(fd, bytes.constData(), std::size_t(split), MSG_NOSIGNAL);
    printLine(QStringLiteral("sent"));
    ::poll(nullptr, 0, pauseMs);
    ::send(fd, bytes.constData() + split, std::size_t(bytes.size() - split), MSG_NOSIGNAL);
    unsigned char header[ulx::hostwire::HeaderBytes];
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 10000) <= 0 || ::recv(fd, header, sizeof header, MSG_WAITALL) != ssize_t(sizeof header))
        return 5;
    return ulx::hostwire::replyStatus(header) == ulx::hostwire::Answered ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    const QString mode = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    if (mode == QLatin1String("raw") && argc == 5)
        return sendRaw(argv[2], QByteArray::fromHex(argv[3]), std::atoi(argv[4]));
    if (argc < 3 || argc > 4 || (mode != QLatin1String("start") && (mode != QLatin1String("send") || argc != 4)))
        return 64; // usage: see above
    const QString text = QString::fromLocal8Bit(argv[argc - 1]);

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
        return argc == 4 ? send(transport, text) : 4;
    }
    printLine(QStringLiteral("server")); // before the receive thread starts: always the first line
    transport.registerReceiver(Transmission, nullptr, onMessage);
    if (argc == 4 && send(transport, text) != 0)
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
