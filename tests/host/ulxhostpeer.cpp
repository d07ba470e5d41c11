// ulxhostpeer: one process owning one KHostTransport, for the multi-process tests
// of the host transport.
//
//   ulxhostpeer start <channel> <text>    as the service starts: elect; the server registers
//                                         its receivers, sends <text> to its own channel and
//                                         serves; a client sends <text> and ends
//   ulxhostpeer serve <channel>           elect and serve; exit 4 when another process serves
//   ulxhostpeer send <channel> <message-name> <text>
//   ulxhostpeer raw <socket-path> <text>  one "_TRANSMISSION_" frame straight over the socket,
//                                         past every check of the transport
// Options: --timeout MS (sends; default 5000), --deadline MS, --max-conn N, --diag.
//
// First line of start/serve: "server <election µs>" or "client <election µs>".
// Sends exit 0 when delivered (printing "reply <text>"), 2 when not delivered,
// 3 when the time-out handler ran; they print "elapsed <ms>" on stderr.
// raw exits 0 when answered, 5 when the server closed without a reply, 6 without a connection.
//
// A server prints "msg<TAB><name><TAB><receiver|main><TAB><text>" per message and replies
// "ok" (to the message name "echo": the request's text). Texts with a meaning:
//   quit          end like on SIGTERM: print "refused <count>", destroy the transport, exit 0
//   release       the main thread releases the channel, prints "released" and lives on
//   exit-main     the main thread calls prepareExit(0), then _exit(0)
//   exit-handler  the handler calls prepareExit(0), then _exit(0)
//   exit-thread   a new thread calls prepareExit(0), then _exit(0)
//   exit-linger   the main thread calls prepareExit(0), prints "exiting", lives 600 ms more, _exit(0)

#include "host/transport/khosttransport.h"
#include "host/transport/kwireformat.h"
#include "ipc/kmembuffer.h"

#include <QString>
#include <QStringList>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

const char16_t TransmissionName[] = u"_TRANSMISSION_";
const char16_t EchoName[] = u"echo";

std::atomic<bool> g_timedOut{false};
std::atomic<bool> g_linger{false};
std::thread::id g_mainThread;
KHostTransport *g_transport = nullptr;

void printLine(const QString &line)
{
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

void STDMETHODCALLTYPE onTimeout(void *, const char16_t *, const char16_t *, std::uintptr_t)
{
    g_timedOut = true;
}

[[noreturn]] void exitNow()
{
    g_transport->prepareExit(0);
    std::fflush(stdout);
    ::_exit(0);
}

void STDMETHODCALLTYPE onMessage(void *, const char16_t *name, std::uintptr_t, IKMemBuffer *request,
                                 IKMemBuffer *reply)
{
    const QString messageName = QString::fromUtf16(name);
    const QString text = _KSimpleMemBuffer::text(request);
    const bool onMain = std::this_thread::get_id() == g_mainThread;
    printLine(QStringLiteral("msg\t%1\t%2\t%3").arg(messageName, onMain ? "main" : "receiver", text));
    _KSimpleMemBuffer::setText(reply, messageName == QLatin1String("echo") ? text : QStringLiteral("ok"));

    if (text == QLatin1String("quit"))
        ::kill(::getpid(), SIGTERM);
    else if (text == QLatin1String("release"))
        ::kill(::getpid(), SIGUSR1);
    else if (text == QLatin1String("exit-main") || text == QLatin1String("exit-linger")) {
        g_linger = text == QLatin1String("exit-linger");
        ::kill(::getpid(), SIGUSR2);
    } else if (text == QLatin1String("exit-handler"))
        exitNow();
    else if (text == QLatin1String("exit-thread"))
        std::thread([] { exitNow(); }).detach();
}

struct Options
{
    int timeoutMs = 5000;
    KHostTransport::Options transport;
    QStringList positional;
};

Options parse(int argc, char **argv)
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        const QString arg = QString::fromLocal8Bit(argv[i]);
        const bool hasValue = i + 1 < argc;
        if (arg == QLatin1String("--timeout") && hasValue)
            o.timeoutMs = QString::fromLocal8Bit(argv[++i]).toInt();
        else if (arg == QLatin1String("--deadline") && hasValue)
            o.transport.connectionDeadlineMs = QString::fromLocal8Bit(argv[++i]).toInt();
        else if (arg == QLatin1String("--max-conn") && hasValue)
            o.transport.maxConnections = QString::fromLocal8Bit(argv[++i]).toInt();
        else if (arg == QLatin1String("--diag"))
            o.transport.diagnostics = true;
        else
            o.positional << arg;
    }
    return o;
}

// 0 delivered, 2 not delivered, 3 timed out.
int send(KHostTransport &transport, const QString &target, const char16_t *name, const QString &text, int timeoutMs)
{
    _KSimpleMemBuffer request(text);
    _KSimpleMemBuffer reply;
    const auto started = std::chrono::steady_clock::now();
    const BOOL delivered = transport.sendMessage(target.toStdU16String().c_str(), name, &request, &reply,
                                                 std::uint32_t(timeoutMs), onTimeout);
    const auto ms =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started).count()
        / 1000.0;
    std::fprintf(stderr, "elapsed %.3f\n", ms);
    if (delivered) {
        printLine(QStringLiteral("reply ") + _KSimpleMemBuffer::text(&reply));
        return 0;
    }
    return g_timedOut ? 3 : 2;
}

int serveUntilEnd(KHostTransport &transport, const sigset_t &waited)
{
    for (;;) {
        int signal = 0;
        if (::sigwait(&waited, &signal) != 0)
            continue;
        if (signal == SIGTERM)
            break;
        if (signal == SIGUSR1) {
            transport.releaseChannel();
            printLine(QStringLiteral("released"));
        } else if (signal == SIGUSR2) {
            transport.prepareExit(0);
            if (g_linger) {
                printLine(QStringLiteral("exiting"));
                std::this_thread::sleep_for(std::chrono::milliseconds(600));
            }
            ::_exit(0);
        }
    }
    printLine(QStringLiteral("refused %1").arg(transport.refusedCount()));
    return 0;
}

int runRaw(const QString &socketPath, const QString &text)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address;
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    const QByteArray path = socketPath.toLocal8Bit();
    if (fd < 0 || std::size_t(path.size()) >= sizeof address.sun_path)
        return 6;
    std::memcpy(address.sun_path, path.constData(), std::size_t(path.size()));
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
        return 6;
    _KSimpleMemBuffer request(text);
    const auto frame = ulx::hostwire::encodeRequest(TransmissionName, request.data(), request.size());
    if (::send(fd, frame.data(), frame.size(), MSG_NOSIGNAL) != ssize_t(frame.size()))
        return 5;
    pollfd p{fd, POLLIN, 0};
    unsigned char header[ulx::hostwire::HeaderBytes];
    if (::poll(&p, 1, 3000) <= 0 || ::recv(fd, header, sizeof header, MSG_WAITALL) != ssize_t(sizeof header))
        return 5;
    printLine(QStringLiteral("answered"));
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    const Options options = parse(argc, argv);
    const QStringList &args = options.positional;
    const QString mode = args.value(0);
    if (mode == QLatin1String("raw") && args.size() == 3)
        return runRaw(args[1], args[2]);
    if (!(mode == QLatin1String("start") && args.size() == 3) && !(mode == QLatin1String("serve") && args.size() == 2)
        && !(mode == QLatin1String("send") && args.size() == 4)) {
        std::fprintf(stderr, "usage: see the head of ulxhostpeer.cpp\n");
        return 64;
    }

    // Every thread, the receive thread included, inherits this mask: the
    // signals reach only the main thread's sigwait().
    sigset_t waited;
    sigemptyset(&waited);
    sigaddset(&waited, SIGTERM);
    sigaddset(&waited, SIGUSR1);
    sigaddset(&waited, SIGUSR2);
    pthread_sigmask(SIG_BLOCK, &waited, nullptr);
    g_mainThread = std::this_thread::get_id();

    KHostTransport transport(args[1].toStdU16String(), options.transport);
    g_transport = &transport;
    if (mode == QLatin1String("send"))
        return send(transport, args[1], args[2].toStdU16String().c_str(), args[3], options.timeoutMs);

    const auto started = std::chrono::steady_clock::now();
    const bool server = transport.isChannelServer();
    const auto micros =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started).count();
    if (!server) {
        printLine(QStringLiteral("client %1").arg(micros));
        return mode == QLatin1String("start") ? send(transport, args[1], TransmissionName, args[2], options.timeoutMs)
                                              : 4;
    }
    // The first registration opens the channel: the name that peers may already
    // be waiting with comes first.
    transport.registerReceiver(TransmissionName, nullptr, onMessage);
    transport.registerReceiver(EchoName, nullptr, onMessage);
    // Only now: a test that sees this line may send under either name.
    printLine(QStringLiteral("server %1").arg(micros));
    if (mode == QLatin1String("start") && send(transport, args[1], TransmissionName, args[2], options.timeoutMs) != 0)
        return 2;
    return serveUntilEnd(transport, waited);
}
