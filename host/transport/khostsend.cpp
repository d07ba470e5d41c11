#include "host/transport/khostsend.h"

#include "host/transport/kchannelfiles.h"
#include "host/transport/kwireformat.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace ulx::hostsend {
namespace {

using Clock = std::chrono::steady_clock;

// How often a sender looks again while a server starts or a successor is awaited.
constexpr int RetryMs = 3;

int remainingMs(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return int(std::clamp<long long>(left, 0, 24LL * 3600 * 1000));
}

class Fd
{
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    ~Fd() { if (m_fd >= 0) ::close(m_fd); }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return m_fd; }
    void reset(int fd = -1) { if (m_fd >= 0) ::close(m_fd); m_fd = fd; }

private:
    int m_fd;
};

enum class Io { Done, Failed, TimedOut };

// Waits for `events` on `fd` until the deadline.
Io waitFor(int fd, short events, Clock::time_point deadline)
{
    for (;;) {
        pollfd p{fd, events, 0};
        const int ready = ::poll(&p, 1, remainingMs(deadline));
        if (ready > 0)
            return Io::Done;
        if (ready == 0)
            return Io::TimedOut;
        if (errno != EINTR)
            return Io::Failed;
    }
}

// Moves exactly `size` bytes to (POLLOUT) or from (POLLIN) the socket before the
// deadline; an early end of stream is a failure.
Io transferAll(int fd, unsigned char *data, std::size_t size, short direction, Clock::time_point deadline)
{
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = direction == POLLOUT ? ::send(fd, data + done, size - done, MSG_NOSIGNAL)
                                               : ::recv(fd, data + done, size - done, 0);
        if (n > 0) {
            done += std::size_t(n);
            continue;
        }
        if (n == 0)
            return Io::Failed;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            const Io waited = waitFor(fd, direction, deadline);
            if (waited != Io::Done)
                return waited;
            continue;
        }
        return Io::Failed;
    }
    return Io::Done;
}

Io writeAll(int fd, const unsigned char *data, std::size_t size, Clock::time_point deadline)
{
    // send() only reads the bytes.
    return transferAll(fd, const_cast<unsigned char *>(data), size, POLLOUT, deadline);
}

Io readAll(int fd, unsigned char *data, std::size_t size, Clock::time_point deadline)
{
    return transferAll(fd, data, size, POLLIN, deadline);
}

SendResult fail(std::string *problem, std::string text, SendResult result = SendResult::NotDelivered)
{
    if (problem)
        *problem = std::move(text);
    return result;
}

enum class Reach { Connected, Busy, NotListening, Failed };

// One non-blocking connection attempt.
Reach connectOnce(const sockaddr_un &address, Fd *fd, std::string *problem)
{
    fd->reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (fd->get() < 0) {
        *problem = std::string("socket: ") + std::strerror(errno);
        return Reach::Failed;
    }
    if (::connect(fd->get(), reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0)
        return Reach::Connected;
    const int error = errno;
    fd->reset();
    if (error == EAGAIN || error == EINTR)
        return Reach::Busy; // the backlog is full: served, but busy
    if (error == ENOENT || error == ECONNREFUSED)
        return Reach::NotListening;
    *problem = std::string("connect: ") + std::strerror(error);
    return Reach::Failed;
}

} // namespace

SendResult sendRequest(const std::vector<std::string> &runtimeDirs, std::u16string_view target,
                       std::u16string_view name, const void *payload, std::size_t payloadBytes,
                       std::vector<unsigned char> *reply, int timeoutMs, std::string *problem)
{
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(std::max(0, timeoutMs));
    if (!hostchannel::isValidChannelName(target))
        return fail(problem, "invalid channel name");
    const std::vector<unsigned char> frame = hostwire::encodeRequest(name, payload, payloadBytes);
    if (frame.empty())
        return fail(problem, "message outside the frame's bounds");
    const std::string stem = hostchannel::fileStem(target);

    // Where the channel is served: the first directory whose socket answers, or
    // where somebody is about to listen (a server between its election and its
    // bind, or the successor of a process that handed over).
    std::unique_ptr<hostchannel::KRuntimeDir> dir;
    sockaddr_un address;
    Fd fd;
    bool connected = false;
    std::string unusable;
    for (const std::string &path : runtimeDirs) {
        auto candidate = std::make_unique<hostchannel::KRuntimeDir>(path);
        const hostchannel::DirState state = candidate->open(false);
        if (state != hostchannel::DirState::Ready) {
            if (state == hostchannel::DirState::Unsafe)
                unusable = candidate->problem();
            continue;
        }
        if (!hostchannel::socketAddress(candidate->fd(), path, stem + ".sock", &address))
            return fail(problem, "socket path too long in " + path);
        std::string why;
        const Reach reach = connectOnce(address, &fd, &why);
        if (reach == Reach::Failed)
            return fail(problem, why);
        if (reach == Reach::NotListening && !hostchannel::locks::isHeld(candidate->fd(), stem + ".lock")
            && !hostchannel::locks::isHeld(candidate->fd(), stem + ".handover"))
            continue;
        connected = reach == Reach::Connected;
        dir = std::move(candidate);
        break;
    }
    if (!dir)
        return fail(problem, unusable.empty() ? std::string("nobody serves the channel") : unusable);

    while (!connected) {
        const int left = remainingMs(deadline);
        if (left == 0)
            return fail(problem, "the channel's server did not listen in time", SendResult::TimedOut);
        ::poll(nullptr, 0, std::min(left, RetryMs));
        std::string why;
        const Reach reach = connectOnce(address, &fd, &why);
        if (reach == Reach::Failed)
            return fail(problem, why);
        if (reach == Reach::NotListening && !hostchannel::locks::isHeld(dir->fd(), stem + ".lock")
            && !hostchannel::locks::isHeld(dir->fd(), stem + ".handover"))
            return fail(problem, "the channel's server ended before it answered");
        connected = reach == Reach::Connected;
    }

    // Our command line goes to no other user's process.
    struct ucred server;
    socklen_t length = sizeof server;
    if (::getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &server, &length) != 0 || server.uid != ::geteuid())
        return fail(problem, "channel socket served by another user");

    // From here on nothing is sent twice: a failure after connecting is final.
    const auto ioFailure = [problem](Io io, const char *what) {
        return io == Io::TimedOut ? fail(problem, std::string("no answer in time (") + what + ")", SendResult::TimedOut)
                                  : fail(problem, std::string("the server dropped the connection (") + what + ")");
    };
    if (const Io io = writeAll(fd.get(), frame.data(), frame.size(), deadline); io != Io::Done)
        return ioFailure(io, "sending");
    unsigned char header[hostwire::HeaderBytes];
    if (const Io io = readAll(fd.get(), header, sizeof header, deadline); io != Io::Done)
        return ioFailure(io, "waiting for the reply");
    const long long replyBytes = hostwire::replyPayloadBytes(header);
    if (replyBytes < 0)
        return fail(problem, "malformed reply");
    std::vector<unsigned char> body(static_cast<std::size_t>(replyBytes));
    if (const Io io = readAll(fd.get(), body.data(), body.size(), deadline); io != Io::Done)
        return ioFailure(io, "reading the reply");
    if (hostwire::replyStatus(header) != hostwire::Answered)
        return fail(problem, "refused by the server: " + hostwire::refusalReason(body), SendResult::Refused);
    if (reply)
        *reply = std::move(body);
    return SendResult::Delivered;
}

} // namespace ulx::hostsend
