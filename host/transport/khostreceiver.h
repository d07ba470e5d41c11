#pragma once

#include "host/transport/kwireformat.h"
#include "ipc/ikcloudsvrhost.h"
#include "platform/namedthread.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// The receive side of a served channel: one thread running one poll() loop over
// the listening socket and every open connection, all non-blocking. Each
// connection has a deadline from its accept and the number of open connections
// is capped (the listen backlog holds the rest), so a peer that sends garbage,
// announces too much or falls silent costs one slot for a bounded time and
// never holds up the others. A request that is refused gets a refusal reply; a
// request whose sender hung up before it was dispatched is dropped unexecuted.
// The loop also watches one more descriptor (the channel's directory) and calls
// back on the receive thread once changes to it have settled.
class KHostReceiver
{
public:
    struct Limits
    {
        // Covers the longest time-out a sender uses (30 s at start-up): a slow
        // but valid sender is never dropped. Peers are of our own user only, and
        // the connection cap bounds what silent ones can hold.
        int connectionDeadlineMs = 30000;
        int maxConnections = 64;
    };
    // Something to watch besides the connections: `fd` readable (drained by the
    // loop, which reads and discards) or, with fd -1, every `pollMs`, calls
    // `check` on the receive thread, after `settleMs` without further events.
    struct Watch
    {
        int fd = -1;
        int pollMs = 0;
        int settleMs = 100;
        std::function<void()> check;
    };
    // Answers one complete request by filling `reply`; runs on the receive thread.
    using Dispatch = std::function<void(const std::u16string &name, IKMemBuffer *request, IKMemBuffer *reply)>;
    // A peer was turned away; `reason` is a short constant text.
    using Refusal = std::function<void(const char *reason)>;

    // Takes over `listenFd`, a listening, non-blocking socket.
    KHostReceiver(int listenFd, Limits limits, Dispatch dispatch, Refusal refusal);
    // Stops and joins. Must not run on the receive thread.
    ~KHostReceiver();
    KHostReceiver(const KHostReceiver &) = delete;
    KHostReceiver &operator=(const KHostReceiver &) = delete;

    // Before start().
    void setWatch(Watch watch) { m_watch = std::move(watch); }
    bool start();
    // Receive thread only (from the watch's check): serve from this listening
    // socket from now on; the old one is closed.
    void replaceListener(int listenFd);
    // The channel was handed over: take what the backlog already holds, answer
    // it and end the thread. No new peer can arrive once the socket file is gone.
    void stopAccepting();
    // The process is about to end: drop everything at the next wake-up and park
    // the thread. Callable from any thread, the receive thread included; waits for nothing.
    void abandon();
    // Normal end: stop after the current step, close everything, join.
    void stopAndJoin();

private:
    struct Connection;
    enum Mode : int { Serving, Released, Stopping, Abandoned };

    void run();
    void wake();
    void acceptQueued(bool handingOver);
    bool readRequest(Connection &c);
    bool writeReply(Connection &c);
    void answer(Connection &c);
    void refuse(Connection &c, const char *reason);
    void drainWatch();
    void closeAll();

    int m_listenFd;
    int m_wakeFd = -1;
    Limits m_limits;
    Dispatch m_dispatch;
    Refusal m_refusal;
    std::atomic<int> m_mode{Serving};
    std::atomic<bool> m_joinRequested{false};
    std::int64_t m_acceptPausedUntil = 0;
    Watch m_watch;
    std::int64_t m_watchDue = -1; // when the watch's check runs next; -1: not scheduled
    std::vector<std::unique_ptr<Connection>> m_connections; // receive thread only
    KNamedThread m_thread; // "ulx-receive"
};
