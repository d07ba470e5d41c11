#pragma once

#include <pthread.h>

#include <cstddef>
#include <functional>

// A thread of the service's own, used like std::thread but created with a name
// (what /proc/<pid>/task/*/comm and debuggers show; 15 characters at most) and
// a stack sized for its work instead of the process default (8 MiB of address
// space, and as much kept in glibc's cache of stacks after it ends).
// Like std::thread it must be joined or detached before it is destroyed.
class KNamedThread
{
public:
    // What the service's threads use: small loops and waits, a log line, a file.
    static constexpr std::size_t SmallStack = 256 * 1024;
    // Threads that build records, write files through Qt or start programs.
    static constexpr std::size_t WorkerStack = 512 * 1024;

    // `bytes` as a stack must be in this build: sanitizers' instrumented frames
    // are several times larger. For QThread::setStackSize as well.
    static std::size_t stackSize(std::size_t bytes);

    KNamedThread() = default;
    ~KNamedThread();
    KNamedThread(const KNamedThread &) = delete;
    KNamedThread &operator=(const KNamedThread &) = delete;

    // Starts `run`; false (and nothing started) when the system refuses the thread.
    // Not while a thread is joinable.
    bool start(const char *name, std::size_t stackBytes, std::function<void()> run);
    bool joinable() const { return m_started; }
    void join();
    void detach();
    // True on the thread itself.
    bool isCurrentThread() const;

private:
    pthread_t m_thread{};
    bool m_started = false;
};
