#include "hdid/khdidmanager.h"

#include "platform/namedmutex.h"
#include "platform/registry/kregsettings.h"

#include <QDateTime>

#include <algorithm>
#include <chrono>

namespace ulx::hdid {

namespace {

const QString CommonKey = QStringLiteral("HKEY_CURRENT_USER\\Software\\Corvanta\\Office\\6.0\\Common");
const QString ValueId = QStringLiteral("InfoHD2");
const QString ValueDay = QStringLiteral("InfoHD2t");

QString storedIdentifier()
{
    return KRegSettings(CommonKey).value(ValueId).toString();
}

} // namespace

HdidManager &HdidManager::instance()
{
    static HdidManager manager;
    return manager;
}

HdidManager::~HdidManager()
{
    // A computation still running at exit is short (file reads): let it store its result.
    if (m_thread.joinable())
        m_thread.join();
}

void HdidManager::setSources(const Sources &sources)
{
    std::lock_guard lock(m_mutex);
    m_sources = sources;
}

void HdidManager::setComputeHook(std::function<void()> hook)
{
    std::lock_guard lock(m_mutex);
    m_hook = std::move(hook);
}

int HdidManager::computationsStarted() const
{
    std::lock_guard lock(m_mutex);
    return m_started;
}

void HdidManager::startComputation()
{
    // Called with m_mutex held.
    if (m_thread.joinable())
        m_thread.join(); // a finished computation nobody waited for
    auto job = std::make_shared<Job>();
    m_job = job;
    ++m_started;
    m_thread.start("ulx-hdid", KNamedThread::WorkerStack, [job, sources = m_sources, hook = m_hook]() {
        if (hook)
            hook();
        const QString id = digest(identifierText(sources));
        KRegSettings(CommonKey).setValue(ValueId, id);
        std::lock_guard lock(job->mutex);
        job->done = true;
        job->cv.notify_all();
    });
}

QString HdidManager::read(int waitMs)
{
    namedmutex::NamedMutex machineLock(QString::fromLatin1(MutexName));
    if (!machineLock.lock(filelock::Wait::Yes))
        return storedIdentifier();

    std::unique_lock lock(m_mutex);
    if (m_job) {
        // A computation that has ended is no longer one in progress.
        bool done = false;
        {
            std::lock_guard jobLock(m_job->mutex);
            done = m_job->done;
        }
        if (done) {
            m_thread.join();
            m_job.reset();
        }
    }
    KRegSettings common(CommonKey);
    const int today = QDateTime::currentDateTimeUtc().date().day();
    bool ok = false;
    const int stamp = common.value(ValueDay).toInt(&ok);
    QString id = common.value(ValueId).toString();
    // An empty cache is computed whatever the day says: a computation killed
    // half-way, or a deleted value, must not leave the rest of the day without one.
    if (!ok || stamp != today || id.isEmpty()) {
        common.setValue(ValueDay, int(today)); // from int: stored as REG_DWORD
        if (!m_job)
            startComputation();
    }
    if (!id.isEmpty())
        return id;

    if (std::shared_ptr<Job> job = m_job) {
        bool done = false;
        {
            std::unique_lock jobLock(job->mutex);
            done = job->cv.wait_for(jobLock, std::chrono::milliseconds(std::max(0, waitMs)),
                                    [&] { return job->done; });
        }
        if (done)
            m_thread.join();
        else
            m_thread.detach(); // it still stores its result for later reads
        m_job.reset();
    }
    return common.value(ValueId).toString();
}

int getHdid(char16_t *buffer, int capacity)
{
    if (!buffer || capacity <= 0)
        return 0;
    const QString id = HdidManager::instance().read(WaitLimitMs);
    if (id.isEmpty())
        return 0;
    const int n = std::min(int(id.size()), capacity - 1);
    std::copy_n(reinterpret_cast<const char16_t *>(id.utf16()), n, buffer);
    buffer[n] = 0;
    return int(id.size());
}

} // namespace ulx::hdid
