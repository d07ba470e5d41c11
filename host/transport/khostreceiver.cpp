#include "host/transport/khostreceiver.h"

#include "ipc/kmembuffer.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <system_error>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

std::int64_t nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A file-descriptor shortage must not turn the loop into a busy one.
constexpr std::int64_t AcceptPauseMs = 50;

} // namespace

struct KHostReceiver::Connection
{
    int fd = -1;
    std::int64_t deadline = 0;
    bool answered = false; // the handler ran; the reply is being written
    std::vector<unsigned char> out;
    std::size_t sent = 0;
    ulx::hostwire::KRequestReader reader;
};

KHostReceiver::KHostReceiver(int listenFd, Limits limits, Dispatch dispatch, Refusal refusal)
    : m_listenFd(listenFd)
    , m_limits(limits)
    , m_dispatch(std::move(dispatch))
    , m_refusal(std::move(refusal))
{
    m_limits.maxConnections = std::max(1, m_limits.maxConnections);
    m_limits.connectionDeadlineMs = std::max(1, m_limits.connectionDeadlineMs);
    m_wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

KHostReceiver::~KHostReceiver()
{
    stopAndJoin();
    closeAll();
    if (m_wakeFd >= 0)
        ::close(m_wakeFd);
}

void KHostReceiver::replaceListener(int listenFd)
{
    if (m_listenFd >= 0) {
        // Senders that connected before the old socket file went are still answered.
        acceptQueued(false);
        if (m_listenFd >= 0)
            ::close(m_listenFd);
    }
    m_listenFd = listenFd;
    m_acceptPausedUntil = 0;
}

void KHostReceiver::drainWatch()
{
    alignas(inotify_event) char sink[4096];
    while (::read(m_watch.fd, sink, sizeof sink) > 0) {
    }
}

bool KHostReceiver::start()
{
    if (m_wakeFd < 0 || m_thread.joinable())
        return false;
    return m_thread.start("ulx-receive", KNamedThread::SmallStack, [this] { run(); });
}

void KHostReceiver::wake()
{
    const std::uint64_t one = 1;
    // write() on an eventfd is async-signal-safe and never blocks here (non-blocking, counter far from full).
    [[maybe_unused]] const ssize_t n = ::write(m_wakeFd, &one, sizeof one);
}

void KHostReceiver::stopAccepting()
{
    int expected = Serving;
    m_mode.compare_exchange_strong(expected, Released);
    wake();
}

void KHostReceiver::abandon()
{
    m_mode.store(Abandoned);
    wake();
}

void KHostReceiver::stopAndJoin()
{
    m_joinRequested.store(true);
    int mode = m_mode.load();
    while (mode != Abandoned && mode != Stopping && !m_mode.compare_exchange_weak(mode, Stopping)) {
    }
    wake();
    if (m_thread.joinable())
        m_thread.join();
}

void KHostReceiver::closeAll()
{
    for (const auto &c : m_connections)
        ::close(c->fd);
    m_connections.clear();
    if (m_listenFd >= 0)
        ::close(m_listenFd);
    m_listenFd = -1;
}

void KHostReceiver::acceptQueued(bool handingOver)
{
    while (int(m_connections.size()) < m_limits.maxConnections) {
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                if (handingOver) { // the backlog is empty and nobody can join it any more
                    ::close(m_listenFd);
                    m_listenFd = -1;
                }
                return;
            }
            m_acceptPausedUntil = nowMs() + AcceptPauseMs;
            return;
        }
        struct ucred peer;
        socklen_t length = sizeof peer;
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 || peer.uid != ::geteuid()) {
            ::close(fd);
            m_refusal("peer of another user");
            continue;
        }
        auto c = std::make_unique<Connection>();
        c->fd = fd;
        c->deadline = nowMs() + m_limits.connectionDeadlineMs;
        m_connections.push_back(std::move(c));
    }
}

// False when the connection is finished (answered, refused or gone).
bool KHostReceiver::readRequest(Connection &c)
{
    using ulx::hostwire::ReadStatus;
    for (;;) {
        const ssize_t n = ::recv(c.fd, c.reader.writePtr(), c.reader.room(), 0);
        if (n > 0) {
            const ReadStatus status = c.reader.commit(std::size_t(n));
            if (status == ReadStatus::Malformed) {
                refuse(c, c.reader.problem());
                return false;
            }
            if (status == ReadStatus::Complete) {
                // A sender that already gave up has told its caller the line was
                // lost (a frozen server thawed late): running it now would run
                // something reported as failed.
                pollfd p{c.fd, POLLRDHUP, 0};
                if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR))) {
                    m_refusal("sender gave up before its request was dispatched");
                    return false;
                }
                answer(c);
                return writeReply(c);
            }
            continue;
        }
        if (n == 0) {
            if (c.reader.received() > 0)
                m_refusal("peer left mid-request");
            return false;
        }
        if (errno == EINTR)
            continue;
        return errno == EAGAIN || errno == EWOULDBLOCK;
    }
}

void KHostReceiver::refuse(Connection &c, const char *reason)
{
    m_refusal(reason);
    // Best effort, never waiting: the refusal is short and the socket buffer empty.
    const auto frame = ulx::hostwire::encodeRefusal(reason);
    [[maybe_unused]] const ssize_t n = ::send(c.fd, frame.data(), frame.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

void KHostReceiver::answer(Connection &c)
{
    _KSimpleMemBuffer request;
    _KSimpleMemBuffer reply;
    // The reader refused a payload past the area and a full area without a terminator.
    request.setPayload(c.reader.payload(), c.reader.payloadBytes());

    m_dispatch(c.reader.name(), &request, &reply);

    c.out = ulx::hostwire::encodeReply(reply.data(), std::min<std::uint32_t>(reply.size(), IKMemBuffer::Capacity));
    c.sent = 0;
    c.answered = true;
}

bool KHostReceiver::writeReply(Connection &c)
{
    while (c.sent < c.out.size()) {
        const ssize_t n = ::send(c.fd, c.out.data() + c.sent, c.out.size() - c.sent, MSG_NOSIGNAL);
        if (n > 0) {
            c.sent += std::size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        // A sender that gave up is no fault of ours: its request was answered.
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
    return false;
}

void KHostReceiver::run()
{
    std::vector<pollfd> fds;
    for (;;) {
        const int mode = m_mode.load();
        if (mode == Stopping || mode == Abandoned)
            break;
        if (mode == Released && m_listenFd >= 0)
            acceptQueued(true);
        if (mode == Released && m_listenFd < 0 && m_connections.empty())
            break;

        std::int64_t now = nowMs();
        fds.clear();
        fds.push_back({m_wakeFd, POLLIN, 0});
        const bool listening = mode == Serving && m_listenFd >= 0
            && int(m_connections.size()) < m_limits.maxConnections && now >= m_acceptPausedUntil;
        const std::size_t listenIndex = fds.size();
        if (listening)
            fds.push_back({m_listenFd, POLLIN, 0});
        const bool watching = mode == Serving && m_watch.check && m_watch.fd >= 0;
        const std::size_t watchIndex = fds.size();
        if (watching)
            fds.push_back({m_watch.fd, POLLIN, 0});
        else if (mode == Serving && m_watch.check && m_watch.pollMs > 0 && m_watchDue < 0)
            m_watchDue = now + m_watch.pollMs;
        const std::size_t first = fds.size();
        std::int64_t wait = m_acceptPausedUntil > now ? m_acceptPausedUntil - now : -1;
        if (mode == Serving && m_watchDue >= 0) {
            const std::int64_t left = std::max<std::int64_t>(0, m_watchDue - now);
            wait = wait < 0 ? left : std::min(wait, left);
        }
        for (const auto &c : m_connections) {
            fds.push_back({c->fd, short(c->answered ? POLLOUT : POLLIN), 0});
            const std::int64_t left = std::max<std::int64_t>(0, c->deadline - now);
            wait = wait < 0 ? left : std::min(wait, left);
        }

        const int ready = ::poll(fds.data(), nfds_t(fds.size()), int(std::min<std::int64_t>(wait, INT_MAX)));
        if (ready < 0 && errno != EINTR) {
            // Only a resource shortage gets here; try again shortly rather than spin.
            ::poll(nullptr, 0, int(AcceptPauseMs));
            continue;
        }
        if (ready > 0 && fds[0].revents) {
            std::uint64_t count;
            [[maybe_unused]] const ssize_t n = ::read(m_wakeFd, &count, sizeof count);
        }
        if (m_mode.load() == Abandoned)
            break;
        if (ready > 0 && watching && fds[watchIndex].revents) {
            drainWatch();
            m_watchDue = nowMs() + m_watch.settleMs;
        }
        if (m_mode.load() == Serving && m_watchDue >= 0 && nowMs() >= m_watchDue) {
            m_watchDue = -1;
            m_watch.check(); // may replace the listener or hand the channel over
        }
        if (ready > 0 && listening && fds[listenIndex].revents && m_mode.load() == Serving && m_listenFd >= 0
            && fds[listenIndex].fd == m_listenFd)
            acceptQueued(false);

        // Backwards, so that closing one keeps the indices of those not yet visited;
        // connections accepted just now stand beyond the polled range.
        const std::size_t polled = fds.size() - first;
        for (std::size_t i = polled; i-- > 0;) {
            Connection &c = *m_connections[i];
            const short events = ready > 0 ? fds[first + i].revents : 0;
            bool keep = true;
            if (events)
                keep = c.answered ? writeReply(c) : readRequest(c);
            if (keep && nowMs() >= c.deadline) {
                if (c.answered)
                    m_refusal("reply not taken in time");
                else
                    refuse(c, "request not complete in time");
                keep = false;
            }
            if (!keep) {
                ::close(c.fd);
                m_connections.erase(m_connections.begin() + std::ptrdiff_t(i));
            }
        }
    }
    closeAll();
    // An abandoned thread stays parked instead of ending: the process ends any
    // moment, and nobody will join it unless the transport is destroyed after all.
    if (m_mode.load() == Abandoned) {
        while (!m_joinRequested.load()) {
            pollfd p{m_wakeFd, POLLIN, 0};
            if (::poll(&p, 1, -1) > 0) {
                std::uint64_t count;
                [[maybe_unused]] const ssize_t n = ::read(m_wakeFd, &count, sizeof count);
            }
        }
    }
}
