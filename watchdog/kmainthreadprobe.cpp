#include "watchdog/kmainthreadprobe.h"

#include <QCoreApplication>
#include <QEvent>

namespace {
const QEvent::Type ProbeEvent = QEvent::Type(QEvent::registerEventType());
}

KMainThreadProbe::KMainThreadProbe(QObject *parent)
    : QObject(parent)
{
}

KMainThreadProbe::Result KMainThreadProbe::probe(int timeoutMs)
{
    quint64 target = 0;
    bool post = false;
    {
        std::lock_guard lock(m_mutex);
        if (m_stopped)
            return Stopped;
        if (m_answered == m_posted) {
            target = ++m_posted;
            m_postedAt = Clock::now();
            post = true;
        } else {
            target = m_posted;
            if (Clock::now() - m_postedAt >= std::chrono::milliseconds(HungAfterMs))
                return NoAnswer;
        }
    }
    if (post)
        QCoreApplication::postEvent(this, new QEvent(ProbeEvent), Qt::HighEventPriority);

    std::unique_lock lock(m_mutex);
    const bool done = m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                    [&] { return m_stopped || m_answered >= target; });
    if (m_stopped)
        return Stopped;
    return done ? Answered : NoAnswer;
}

bool KMainThreadProbe::pause(int ms)
{
    std::unique_lock lock(m_mutex);
    return !m_cv.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_stopped; });
}

void KMainThreadProbe::stop()
{
    std::lock_guard lock(m_mutex);
    m_stopped = true;
    m_cv.notify_all();
}

bool KMainThreadProbe::isStopped()
{
    std::lock_guard lock(m_mutex);
    return m_stopped;
}

void KMainThreadProbe::customEvent(QEvent *event)
{
    if (event->type() != ProbeEvent)
        return;
    {
        std::lock_guard lock(m_mutex);
        m_answered = m_posted;
    }
    // Woken after the lock is free, a worker takes it at once instead of waking
    // only to block on it again: one switch per answer, not two.
    m_cv.notify_all();
}
