#include "reportcore/knettransfer.h"

#include "platform/registry/kregsettings.h"
#include "platform/xdgpaths.h"
#include "reportcore/kinfocollect.h"
#include "reportcore/koutbox.h"
#include "suite/krt.h"
#include "suite/kxlogger.h"

#include <QCoreApplication>
#include <QFileSystemWatcher>
#include <QString>

// Only the declarations: libcurl itself is opened at run time (CurlApi below).
#define CURL_DISABLE_TYPECHECK
#include <curl/curl.h>
#include <dlfcn.h>
#include <pthread.h>

#include <chrono>
#include <utility>

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

// The sender's one door to libcurl, opened on the first transfer: a process that
// sends nothing (a forwarding start, a service without endpoints) never maps
// libcurl and the thirty libraries it pulls in.
struct CurlApi
{
    static constexpr char Library[] = "libcurl.so.4";

    decltype(&curl_easy_init) easyInit = nullptr;
    decltype(&curl_easy_setopt) easySetopt = nullptr;
    decltype(&curl_easy_perform) easyPerform = nullptr;
    decltype(&curl_easy_cleanup) easyCleanup = nullptr;

    // Null when libcurl cannot be opened (logged once).
    static const CurlApi *get()
    {
        static const CurlApi *api = open();
        return api;
    }

private:
    static const CurlApi *open()
    {
        void *lib = ::dlopen(Library, RTLD_NOW | RTLD_LOCAL);
        const auto globalInit = lib ? reinterpret_cast<decltype(&curl_global_init)>(::dlsym(lib, "curl_global_init")) : nullptr;
        auto *api = new CurlApi;
        if (lib) {
            api->easyInit = reinterpret_cast<decltype(&curl_easy_init)>(::dlsym(lib, "curl_easy_init"));
            api->easySetopt = reinterpret_cast<decltype(&curl_easy_setopt)>(::dlsym(lib, "curl_easy_setopt"));
            api->easyPerform = reinterpret_cast<decltype(&curl_easy_perform)>(::dlsym(lib, "curl_easy_perform"));
            api->easyCleanup = reinterpret_cast<decltype(&curl_easy_cleanup)>(::dlsym(lib, "curl_easy_cleanup"));
        }
        if (!globalInit || !api->easyInit || !api->easySetopt || !api->easyPerform || !api->easyCleanup) {
            KxLogger::writeError(LogCategory, QStringLiteral("NetTransferThread cannot open %1 (%2); events wait in the outbox")
                                                  .arg(QLatin1String(Library), QString::fromLocal8Bit(::dlerror())));
            delete api;
            return nullptr;
        }
        globalInit(CURL_GLOBAL_DEFAULT);
        return api;
    }
};

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
    return m_idle.wait_for(lock, std::chrono::milliseconds(ms), [this] {
        return m_cannotSend || (m_queue.empty() && m_inFlight.isEmpty() && !m_refilling);
    });
}

QList<QByteArray> NetTransferThread::takeUnsent()
{
    QList<QByteArray> out;
    int dropped = 0;
    {
        std::unique_lock lock(m_mutex);
        // A refill in progress holds spools it has claimed but not yet queued: let it
        // queue them (it reads a few local files), so that they are spooled here with
        // the rest instead of by a worker that the process's end may cut short.
        m_idle.wait_for(lock, std::chrono::milliseconds(RefillSettleMs), [this] { return !m_refilling; });
        m_closed = true;
        if (!m_inFlight.isEmpty())
            out.append(m_inFlight); // it may have arrived; a duplicate beats a loss
        for (QByteArray &url : m_queue)
            out.append(std::move(url));
        m_queue.clear();
        m_wake.notify_all();
        dropped = std::exchange(m_dropped, 0);
    }
    // Only now, with everything unsent taken: an abort before the queue is closed
    // would end the worker's transfers one after the other, each a URL lost.
    m_abort.store(true);
    // Drops not yet told (the log says them at most once a minute) are told now.
    if (dropped > 0)
        KxLogger::writeWarning(LogCategory, QStringLiteral("NetTransferThread::enqueue queue full (%1 URLs), %2 URLs dropped")
                                                .arg(QueueBound)
                                                .arg(dropped));
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

void NetTransferThread::feedFromOutbox()
{
    std::lock_guard lock(m_mutex);
    m_feedFromOutbox = true;
    m_outboxWaiting = true;
    m_wake.notify_one();
}

void NetTransferThread::outboxChanged()
{
    std::lock_guard lock(m_mutex);
    if (!m_feedFromOutbox)
        return;
    m_outboxWaiting = true;
    m_wake.notify_one();
}

bool NetTransferThread::refillDue() const
{
    return m_feedFromOutbox && m_outboxWaiting && !m_closed && m_queue.size() < size_t(OutboxRefillBelow);
}

void NetTransferThread::refill(qsizetype room)
{
    // Read off the main thread, in pieces, and only what the queue takes. The
    // claimed files go only once their URLs are in the queue (whose rest is spooled
    // at the end) or spooled again: a process ending in between leaves them claimed
    // for the next serving process, never lost.
    QStringList taken;
    QList<QByteArray> urls = ulx::outbox::claim(room, &taken);
    {
        std::lock_guard lock(m_mutex);
        m_refilling = false;
        m_idle.notify_all(); // takeUnsent() may wait for this
        if (!m_closed) {
            const bool full = urls.size() >= room;
            for (QByteArray &url : urls)
                m_queue.push_back(std::move(url));
            ulx::outbox::release(taken);
            // A full take: more may wait.
            m_outboxWaiting = m_outboxWaiting || full;
            return;
        }
    }
    // Closed meanwhile: the claim goes back for the next serving process.
    if (ulx::outbox::spool(urls))
        ulx::outbox::release(taken);
}

unsigned NetTransferThread::run()
{
    if (krt::isVldTurnedOn())
        return 0;
    const CurlApi *api = nullptr;
    CURL *curl = nullptr;
    size_t received = 0;
    const auto openCurl = [&] {
        api = CurlApi::get();
        curl = api ? api->easyInit() : nullptr;
        if (!curl)
            return false;
        api->easySetopt(curl, CURLOPT_WRITEFUNCTION, &discardBody);
        api->easySetopt(curl, CURLOPT_WRITEDATA, &received);
        api->easySetopt(curl, CURLOPT_NOSIGNAL, 1L);
        api->easySetopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
        api->easySetopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
        api->easySetopt(curl, CURLOPT_NOPROGRESS, 0L);
        api->easySetopt(curl, CURLOPT_XFERINFOFUNCTION, &NetTransferThread::onProgress);
        api->easySetopt(curl, CURLOPT_XFERINFODATA, this);
        const QByteArray caFile = krt::serverinfo::caFile().toLocal8Bit();
        if (!caFile.isEmpty())
            api->easySetopt(curl, CURLOPT_CAINFO, caFile.constData());
        return true;
    };

    for (;;) {
        QByteArray url;
        qsizetype room = 0;
        {
            std::unique_lock lock(m_mutex);
            m_inFlight.clear();
            if (m_queue.empty() && !refillDue())
                m_idle.notify_all();
            m_wake.wait(lock, [this] { return stopRequested() || m_closed || !m_queue.empty() || refillDue(); });
            if (stopRequested() || m_closed)
                break;
            if (refillDue()) {
                room = qsizetype(OutboxShare) - qsizetype(m_queue.size());
                m_outboxWaiting = false;
                m_refilling = true;
            } else if (!curl && !openCurl()) {
                // Nothing can be sent: the queue stays for takeUnsent and the outbox.
                m_cannotSend = true;
                break;
            } else {
                url = std::move(m_queue.front());
                m_queue.pop_front();
                m_inFlight = url;
            }
        }
        if (room > 0) {
            refill(room);
            continue;
        }
        received = 0;
        api->easySetopt(curl, CURLOPT_URL, url.constData());
        api->easySetopt(curl, CURLOPT_TIMEOUT_MS, long(m_timeoutMs.load()));
        api->easyPerform(curl); // the outcome is not looked at: nothing is retried
    }
    if (curl)
        api->easyCleanup(curl);
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
        startWorker();
    return 0;
}

void NetTransferService::startWorker()
{
    std::call_once(m_started, [this] { m_worker.start("ulx-sender"); });
}

namespace {
std::atomic<bool> g_spoolOnly{false};
} // namespace

void sendInfoUrl(const char *url)
{
    if (!url || krt::product::isDisableGlobalInfocollect() || !isHttpUrl(QByteArray::fromRawData(url, qstrlen(url))))
        return;
    if (g_spoolOnly.load()) {
        const QByteArray line(url);
        if (!line.contains('\n') && !line.contains('\r') && !krt::isVldTurnedOn())
            ulx::outbox::spool({line});
        return;
    }
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

void spoolFromNowOn()
{
    g_spoolOnly.store(true);
}

void spoolUnsent()
{
    if (NetTransferService *service = NetTransferService::existing())
        ulx::outbox::spool(service->worker().takeUnsent());
}

void deliverOutbox()
{
    // A serving process that ended in the middle of a claim left it claimed.
    ulx::outbox::recoverClaimed();
    if (!QCoreApplication::instance() || !ulx::outbox::ensureDir())
        return;
    NetTransferService &service = NetTransferService::instance();
    service.worker().feedFromOutbox();
    if (ulx::outbox::hasWaiting())
        service.startWorker();
    // inotify: no wake-up until another process spools; the worker does the reading.
    auto *watcher = new QFileSystemWatcher({ulx::outbox::dir()}, QCoreApplication::instance());
    QObject::connect(watcher, &QFileSystemWatcher::directoryChanged, watcher, [&service] {
        if (ulx::outbox::hasWaiting()) {
            service.worker().outboxChanged();
            service.startWorker();
        }
    });
}

} // namespace ulx::report
