#include "report/knettransfer.h"

#include "platform/registry/kregsettings.h"
#include "platform/xdgpaths.h"
#include "report/kinfocollect.h"
#include "report/koutbox.h"
#include "suite/krt.h"
#include "suite/kxlogger.h"

#include <QCoreApplication>
#include <QFileSystemWatcher>
#include <QString>

#include <curl/curl.h>
#include <pthread.h>

#include <chrono>

namespace {

const QString LogCategory = QStringLiteral("NetTransferService");
constexpr qint64 DropLogIntervalMs = 60 * 1000;
// Answers are discarded; one that goes on past this is cut off.
constexpr size_t MaxBodyBytes = 1024 * 1024;

qint64 monotonicMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool isHttpUrl(const QByteArray &url)
{
    const QByteArray lower = url.left(8).toLower();
    return lower.startsWith("http://") || lower.startsWith("https://");
}

size_t discardBody(char *, size_t size, size_t count, void *userdata)
{
    size_t &received = *static_cast<size_t *>(userdata);
    received += size * count;
    return received > MaxBodyBytes ? 0 : size * count;
}

} // namespace

// ---------------------------------------------------------------- CThread

CThread::~CThread()
{
    CThread::stop(-1);
}

bool CThread::start(const char *name)
{
    if (m_thread.joinable())
        return true;
    m_stop.store(false);
    m_ended = false;
    const std::string threadName = name ? name : "";
    m_thread = std::thread([this, threadName] {
        if (!threadName.empty())
            pthread_setname_np(pthread_self(), threadName.substr(0, 15).c_str());
        run();
        m_stop.store(true);
        std::lock_guard lock(m_endMutex);
        m_ended = true;
        m_endCv.notify_all();
    });
    return true;
}

bool CThread::stop(int waitMs)
{
    m_stop.store(true);
    if (!m_thread.joinable())
        return true;
    if (m_thread.get_id() == std::this_thread::get_id()) {
        m_thread.detach();
        return false;
    }
    std::unique_lock lock(m_endMutex);
    if (waitMs < 0)
        m_endCv.wait(lock, [this] { return m_ended; });
    else if (!m_endCv.wait_for(lock, std::chrono::milliseconds(waitMs), [this] { return m_ended; }))
        return false;
    lock.unlock();
    m_thread.join();
    return true;
}

// ---------------------------------------------------------------- NetTransferThread

NetTransferThread::~NetTransferThread()
{
    stop(-1);
}

bool NetTransferThread::enqueue(const QByteArray &url)
{
    if (krt::isVldTurnedOn() || !isHttpUrl(url) || url.contains('\n') || url.contains('\r'))
        return false;
    {
        std::lock_guard lock(m_mutex);
        if (m_closed)
            return false;
        if (m_queue.size() < size_t(QueueBound)) {
            m_queue.push_back(url);
            // Only an empty queue can have the worker asleep.
            if (m_queue.size() == 1)
                m_wake.notify_one();
            return true;
        }
        ++m_dropped;
    }
    noteDropped();
    return false;
}

void NetTransferThread::noteDropped()
{
    int dropped = 0;
    {
        std::lock_guard lock(m_mutex);
        const qint64 now = monotonicMs();
        if (m_lastDropLogMs >= 0 && now - m_lastDropLogMs < DropLogIntervalMs)
            return;
        m_lastDropLogMs = now;
        dropped = m_dropped;
        m_dropped = 0;
    }
    KxLogger::writeWarning(LogCategory, QStringLiteral("NetTransferThread::enqueue queue full (%1 URLs), %2 URLs dropped")
                                            .arg(QueueBound)
                                            .arg(dropped));
}

int NetTransferThread::droppedCount()
{
    std::lock_guard lock(m_mutex);
    return m_dropped;
}

bool NetTransferThread::waitIdle(int ms)
{
    std::unique_lock lock(m_mutex);
    return m_idle.wait_for(lock, std::chrono::milliseconds(ms),
                           [this] { return m_queue.empty() && m_inFlight.isEmpty(); });
}

QList<QByteArray> NetTransferThread::takeUnsent()
{
    m_abort.store(true);
    std::lock_guard lock(m_mutex);
    m_closed = true;
    QList<QByteArray> out;
    if (!m_inFlight.isEmpty())
        out.append(m_inFlight); // it may have arrived; a duplicate beats a loss
    for (QByteArray &url : m_queue)
        out.append(std::move(url));
    m_queue.clear();
    m_wake.notify_all();
    return out;
}

bool NetTransferThread::stop(int waitMs)
{
    m_abort.store(true);
    {
        std::lock_guard lock(m_mutex);
        m_closed = true;
        m_wake.notify_all();
    }
    return CThread::stop(waitMs);
}

int NetTransferThread::onProgress(void *self, long long, long long, long long, long long)
{
    return static_cast<NetTransferThread *>(self)->m_abort.load() ? 1 : 0;
}

unsigned NetTransferThread::run()
{
    if (krt::isVldTurnedOn())
        return 0;
    static std::once_flag global;
    std::call_once(global, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    CURL *curl = curl_easy_init();
    if (!curl)
        return 0;

    size_t received = 0;
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &discardBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &received);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &NetTransferThread::onProgress);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, this);
    const QByteArray caFile = krt::serverinfo::caFile().toLocal8Bit();
    if (!caFile.isEmpty())
        curl_easy_setopt(curl, CURLOPT_CAINFO, caFile.constData());

    for (;;) {
        QByteArray url;
        {
            std::unique_lock lock(m_mutex);
            m_inFlight.clear();
            if (m_queue.empty())
                m_idle.notify_all();
            m_wake.wait(lock, [this] { return stopRequested() || m_closed || !m_queue.empty(); });
            if (stopRequested() || m_closed)
                break;
            url = std::move(m_queue.front());
            m_queue.pop_front();
            m_inFlight = url;
        }
        received = 0;
        curl_easy_setopt(curl, CURLOPT_URL, url.constData());
        curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, long(m_timeoutMs.load()));
        curl_easy_perform(curl); // the outcome is not looked at: nothing is retried
    }
    curl_easy_cleanup(curl);
    std::lock_guard lock(m_mutex);
    m_idle.notify_all();
    return 0;
}

// ---------------------------------------------------------------- NetTransferService

NetTransferService::NetTransferService()
{
    KRegSettings plgpf(infoCommonKey() + QStringLiteral("\\plgpf"));
    m_feedbackServer = plgpf.value(QStringLiteral("feedbacksvr")).toString().toUtf8();
}

namespace {
std::atomic<NetTransferService *> g_service{nullptr};
std::once_flag g_serviceOnce;
} // namespace

NetTransferService &NetTransferService::instance()
{
    std::call_once(g_serviceOnce, [] { g_service.store(new NetTransferService); });
    return *g_service.load();
}

NetTransferService *NetTransferService::existing()
{
    return g_service.load();
}

const char *NetTransferService::feedbackServer()
{
    if (m_feedbackServer.isEmpty())
        m_feedbackServer = krt::serverinfo::feedbackSvr().toUtf8();
    return m_feedbackServer.constData();
}

int NetTransferService::setTimeout(int ms)
{
    m_worker.setTimeout(ms);
    return 0;
}

int NetTransferService::post(const char *url)
{
    if (m_worker.enqueue(QByteArray(url)))
        std::call_once(m_started, [this] { m_worker.start("ulx-sender"); });
    return 0;
}

void sendInfoUrl(const char *url)
{
    if (!url || krt::product::isDisableGlobalInfocollect() || !isHttpUrl(QByteArray::fromRawData(url, qstrlen(url))))
        return;
    NetTransferService::instance().post(url);
}

namespace ulx::report {

void finishSending(int graceMs)
{
    NetTransferService *service = NetTransferService::existing();
    if (!service)
        return;
    NetTransferThread &worker = service->worker();
    worker.waitIdle(graceMs);
    ulx::outbox::spool(worker.takeUnsent());
    // The aborted transfer notices within a second (libcurl's progress callback).
    worker.stop(2000);
}

void spoolUnsent()
{
    if (NetTransferService *service = NetTransferService::existing())
        ulx::outbox::spool(service->worker().takeUnsent());
}

void deliverOutbox()
{
    const auto deliver = [] {
        for (const QByteArray &url : ulx::outbox::claimAll())
            sendInfoUrl(url.constData());
    };
    deliver();
    const QString dir = ulx::outbox::dir();
    if (!QCoreApplication::instance() || !ulx::paths::ensureDir(dir))
        return;
    // inotify: no wake-up until another process spools.
    auto *watcher = new QFileSystemWatcher({dir}, QCoreApplication::instance());
    QObject::connect(watcher, &QFileSystemWatcher::directoryChanged, watcher, deliver);
}

} // namespace ulx::report
