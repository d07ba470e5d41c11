#include "platform/namedthread.h"

#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <string>

namespace {

struct Start
{
    std::string name;
    std::function<void()> run;
};

void *threadMain(void *arg)
{
    std::unique_ptr<Start> start(static_cast<Start *>(arg));
    start->run();
    return nullptr;
}

} // namespace

std::size_t KNamedThread::stackSize(std::size_t bytes)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return bytes * 4;
#else
    return bytes;
#endif
}

KNamedThread::~KNamedThread()
{
    if (m_started)
        std::terminate(); // as std::thread: a thread nobody joined or let go is a fault
}

bool KNamedThread::start(const char *name, std::size_t stackBytes, std::function<void()> run)
{
    if (m_started)
        return false;
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0)
        return false;
    pthread_attr_setstacksize(&attr, stackSize(stackBytes));
    auto *start = new Start{name ? name : "", std::move(run)};
    const std::string shown = start->name.substr(0, 15);
    const bool ok = pthread_create(&m_thread, &attr, &threadMain, start) == 0;
    pthread_attr_destroy(&attr);
    if (ok)
        pthread_setname_np(m_thread, shown.c_str()); // named when start() returns, not when it first runs
    else
        delete start;
    m_started = ok;
    return ok;
}

void KNamedThread::join()
{
    if (!m_started)
        return;
    pthread_join(m_thread, nullptr);
    m_started = false;
}

void KNamedThread::detach()
{
    if (!m_started)
        return;
    pthread_detach(m_thread);
    m_started = false;
}

bool KNamedThread::isCurrentThread() const
{
    return m_started && pthread_equal(m_thread, pthread_self());
}
