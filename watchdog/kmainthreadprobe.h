#pragma once

#include <QObject>

#include <chrono>
#include <condition_variable>
#include <mutex>

// The watchdog's probe of the main thread: a QObject of the main thread to which
// a worker posts a high-priority event; the main thread answers when its event loop
// delivers it. At most one probe is outstanding: a worker that finds one pending
// waits for that same answer, and one pending for HungAfterMs or more counts as no
// answer at once (the thread is taken as hung). Every wait is on the monotonic clock
// and ends as soon as stop() is called.
class KMainThreadProbe : public QObject
{
    Q_OBJECT
public:
    enum Result { Answered, NoAnswer, Stopped };
    static constexpr int HungAfterMs = 5000;

    // Construct on the main thread: the answer comes from the thread the object lives in.
    explicit KMainThreadProbe(QObject *parent = nullptr);

    // From a worker thread: probes and waits up to `timeoutMs` for the answer.
    Result probe(int timeoutMs);
    // An interruptible pause; false when stop() ended it.
    bool pause(int ms);
    void stop();
    bool isStopped();

protected:
    void customEvent(QEvent *event) override;

private:
    using Clock = std::chrono::steady_clock;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    quint64 m_posted = 0;
    quint64 m_answered = 0;
    Clock::time_point m_postedAt;
    bool m_stopped = false;
};
