#pragma once

#include "host/transport/kwireformat.h"
#include "ipc/ikcloudsvrhost.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

// The receive side of a served channel: one thread running one poll() loop over
// the listening socket and every open connection, all non-blocking. Each
// connection has a deadline from its accept and the number of open connections
// is capped (the listen backlog holds the rest), so a peer that sends garbage,
// announces too much or falls silent costs one slot for a bounded time and
// never holds up the others.
class KHostReceiver
{
public:
    struct Limits
    {
        int connectionDeadlineMs = 2000;
        int maxConnections = 64;
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

    bool start();
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
    void closeAll();

    int m_listenFd;
    int m_wakeFd = -1;
    Limits m_limits;
    Dispatch m_dispatch;
    Refusal m_refusal;
    std::atomic<int> m_mode{Serving};
    std::atomic<bool> m_joinRequested{false};
    std::int64_t m_acceptPausedUntil = 0;
    std::vector<std::unique_ptr<Connection>> m_connections; // receive thread only
    std::thread m_thread;
};
