#pragma once

#include <QByteArray>
#include <QList>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

// A thread with a stop flag: the base of the sender's worker.
class CThread
{
public:
    CThread() = default;
    CThread(const CThread &) = delete;
    CThread &operator=(const CThread &) = delete;
    virtual ~CThread();

    // Starts run() on a new thread named `name` (as /proc/<pid>/task/*/comm shows it).
    bool start(const char *name);
    // Asks the thread to stop; with `waitMs` >= 0 waits that long for it to end.
    // True when the thread is not running any more.
    virtual bool stop(int waitMs);
    bool isRunning() const { return m_thread.joinable(); }

protected:
    virtual unsigned run() = 0;
    bool stopRequested() const { return m_stop.load(); }

private:
    std::atomic<bool> m_stop{true};
    std::thread m_thread;
    std::mutex m_endMutex;
    std::condition_variable m_endCv;
    bool m_ended = false;
};

// The worker of the info-collection sender: takes queued URLs one by one and
// fetches each with one GET on one reused libcurl handle, discarding the answer.
// Idle, it sleeps on a condition variable (no wake-ups); nothing is retried.
// In the serving process it also feeds its queue from the outbox, never more than
// the queue can take: what does not fit stays on disk for later.
class NetTransferThread : public CThread
{
public:
    static constexpr int DefaultTimeoutMs = 20000;
    static constexpr int QueueBound = 4096;
    // The outbox fills the queue up to this many URLs, so that the process's own
    // events still find room, and refills it once fewer than OutboxRefillBelow wait.
    static constexpr int OutboxShare = QueueBound * 3 / 4;
    static constexpr int OutboxRefillBelow = QueueBound / 4;
    // How long takeUnsent() lets a refill in progress queue what it has claimed.
    static constexpr int RefillSettleMs = 1000;

    ~NetTransferThread() override;

    // Queues a copy of `url` (http or https only) behind the others; false when dropped.
    bool enqueue(const QByteArray &url);
    void setTimeout(int ms) { m_timeoutMs.store(ms); }
    int timeout() const { return m_timeoutMs.load(); }

    // From now on the worker also sends what waits in the outbox.
    void feedFromOutbox();
    // More may wait in the outbox (any thread): wakes the worker.
    void outboxChanged();

    // Waits up to `ms` for the queue to empty and the transfer in flight to end.
    bool waitIdle(int ms);
    // Ends all sending: the transfer in flight is aborted, and what was not sent
    // (the queue, and the aborted transfer) is handed back for the outbox.
    QList<QByteArray> takeUnsent();
    bool stop(int waitMs) override;

    // URLs dropped because the queue was full, since the last log line about them.
    int droppedCount();

protected:
    unsigned run() override;

private:
    static int onProgress(void *self, long long, long long, long long, long long);
    void noteDropped();
    bool refillDue() const;
    void refill(qsizetype room);

    std::mutex m_mutex;
    std::condition_variable m_wake; // the worker waits here for URLs
    std::condition_variable m_idle; // waitIdle() waits here
    std::deque<QByteArray> m_queue;
    QByteArray m_inFlight;
    bool m_closed = false;
    bool m_feedFromOutbox = false;
    bool m_outboxWaiting = false;
    bool m_refilling = false;
    bool m_cannotSend = false; // libcurl is missing: the queue waits for the outbox
    int m_dropped = 0;
    qint64 m_lastDropLogMs = -1;
    std::atomic<bool> m_abort{false};
    std::atomic<int> m_timeoutMs{DefaultTimeoutMs};
};

// The process's info-collection sender (created on the first sendInfoUrl, and
// kept to the process's last moment, so that no exit path races its thread).
class NetTransferService
{
public:
    static NetTransferService &instance();
    // The service if the process has one, else null (exit paths do not create it).
    static NetTransferService *existing();

    // The feedback endpoint: Common\plgpf "feedbacksvr", else [Servers] FeedbackSvr.
    const char *feedbackServer();
    int setTimeout(int ms);
    int post(const char *url);

    NetTransferThread &worker() { return m_worker; }
    // Starts the worker once.
    void startWorker();

private:
    NetTransferService();
    NetTransferThread m_worker;
    QByteArray m_feedbackServer;
    std::once_flag m_started;
};

// Queues one finished URL (NUL-terminated UTF-8) for sending; never waits for the network.
// Nothing happens when global info collection is disabled, or for anything but http(s).
// Once spoolFromNowOn() was called, the URL goes straight to the outbox instead.
void sendInfoUrl(const char *url);

namespace ulx::report {
// This process sends nothing itself from now on: every event goes straight to the
// outbox, which the serving process sends. A forwarding start never opens a
// connection (nor maps libcurl), and an event is never both sent and spooled.
void spoolFromNowOn();
// Normal shutdown: gives the queue up to `graceMs`, then aborts the transfer in
// flight and writes what is left to the outbox.
void finishSending(int graceMs = 2000);
// Quick exit: writes everything unsent to the outbox at once.
void spoolUnsent();
// In the serving process: sends what other processes left in the outbox, now and
// whenever more arrives (inotify on the outbox, watched from the event loop).
void deliverOutbox();
} // namespace ulx::report
