#pragma once

#include "hdid/khdidsources.h"
#include "platform/namedthread.h"

#include <QString>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

// The hardware identifier of this machine, cached per user in the settings store
// under "HKEY_CURRENT_USER\Software\Corvanta\Office\6.0\Common":
//   "InfoHD2"   REG_SZ, the identifier (32 lowercase hexadecimal characters)
//   "InfoHD2t"  REG_DWORD, the UTC day of the month the last computation started
// A computation runs on a thread of its own at most once a day per process; reads
// of all processes of the user are serialised by the named mutex below.
namespace ulx::hdid {

constexpr char MutexName[] = "_KHDID2MGR_3E67DFEF-DF4E-4CC6-9413-5F71C7C96C04";
constexpr int WaitLimitMs = 5000;

class HdidManager
{
public:
    static HdidManager &instance();
    ~HdidManager();

    // The stored identifier; starts a computation when the stored day is not
    // today or nothing is stored, and waits up to `waitMs` for it when nothing is
    // stored. Empty when no identifier could be had in time.
    QString read(int waitMs);

    // Where computations read (tests lay out their own machine).
    void setSources(const Sources &sources);
    // Runs on the computation thread before the text is computed (tests count and
    // slow computations with it).
    void setComputeHook(std::function<void()> hook);
    // Computations this process started.
    int computationsStarted() const;

private:
    struct Job
    {
        std::mutex mutex;
        std::condition_variable cv;
        bool done = false;
    };
    void startComputation();

    mutable std::mutex m_mutex;
    Sources m_sources;
    std::function<void()> m_hook;
    std::shared_ptr<Job> m_job; // held from a computation's start until a read waits for it
    KNamedThread m_thread; // "ulx-hdid"
    int m_started = 0;
};

// Copies the identifier with its terminator into `buffer` (cut to `capacity`) and
// returns its length; 0 for a null buffer, a capacity of 0 or no identifier (the
// buffer is then left untouched). Waits up to WaitLimitMs on a first computation.
int getHdid(char16_t *buffer, int capacity);

} // namespace ulx::hdid
