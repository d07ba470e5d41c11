#include "host/transport/khosttransport.h"

#include "host/transport/kchannelfiles.h"
#include "host/transport/khostreceiver.h"
#include "host/transport/khostsend.h"
#include "host/transport/kratelimiter.h"
#include "host/transport/kwireformat.h"
#include "ipc/kmembuffer.h"

#include <QLoggingCategory>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <optional>

#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcHostTransport, "ulx.host.transport", QtWarningMsg)

namespace {

using ulx::hostchannel::FileId;

constexpr std::size_t MaxMessageNameUnits = ulx::hostwire::MaxNameBytes / sizeof(char16_t);
// Generous enough for any backlog the kernel grants; waiting senders sit there
// while the handler table is still empty or every connection slot is busy.
constexpr int ListenBacklog = 4096;
// A flood of refused peers costs one log line a second.
constexpr std::int64_t RefusalLogIntervalMs = 1000;
// Removals and renames in the directory, and the directory's own end.
constexpr std::uint32_t WatchMask = IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF;

// The text of a NUL-terminated string of at most `limit` units; nothing for a
// null or longer one (the terminator is looked for no further than the limit).
std::optional<std::u16string_view> boundedView(const char16_t *text, std::size_t limit)
{
    if (!text)
        return std::nullopt;
    std::size_t n = 0;
    while (n <= limit && text[n] != u'\0')
        ++n;
    if (n > limit)
        return std::nullopt;
    return std::u16string_view(text, n);
}

// "KHostTransport::<operation> <channel>: <text>", as every line of the service names its operation.
QString logLine(const char *operation, const std::string &channel, const std::string &text)
{
    return QStringLiteral("KHostTransport::%1 %2: %3")
        .arg(QLatin1String(operation), QString::fromStdString(channel.empty() ? "?" : channel),
             QString::fromStdString(text));
}

std::string errorText(const char *what)
{
    return std::string(what) + ": " + std::strerror(errno);
}

// A listening socket bound to `name` in the directory; -1 with `problem` set.
// The caller holds the channel's lock, so whatever lies at that name is stale.
int bindSocket(int dirFd, const std::string &dirPath, const std::string &name, FileId *id, std::string *problem)
{
    sockaddr_un address;
    if (!ulx::hostchannel::socketAddress(dirFd, dirPath, name, &address)) {
        *problem = "socket path too long: " + dirPath + '/' + name;
        return -1;
    }
    ::unlinkat(dirFd, name.c_str(), 0);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *problem = errorText("socket");
        return -1;
    }
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        *problem = errorText("bind");
        ::close(fd);
        return -1;
    }
    *id = ulx::hostchannel::idOf(dirFd, name);
    ::fchmodat(dirFd, name.c_str(), 0600, 0);
    if (::listen(fd, ListenBacklog) != 0) {
        *problem = errorText("listen");
        if (ulx::hostchannel::idOf(dirFd, name) == *id)
            ::unlinkat(dirFd, name.c_str(), 0);
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

// What a process holds while it serves from one directory.
struct KHostTransport::Place
{
    std::string path;
    int dirFd = -1;
    FileId dirId;
    int lockFd = -1;
    FileId lockId;
    int listenFd = -1;
    FileId socketId;
    bool contended = false; // another process holds the lock

    ~Place() { clear(); }
    void clear()
    {
        for (int *fd : {&listenFd, &lockFd, &dirFd}) {
            if (*fd >= 0)
                ::close(*fd);
            *fd = -1;
        }
    }
};

KHostTransport::KHostTransport(const QString &channelName, const Options &options)
    : KHostTransport(channelName.toStdU16String(), options)
{
}

KHostTransport::KHostTransport(std::u16string channelName, const Options &options)
    : m_channel(std::move(channelName))
    , m_options(options)
    , m_stem(isValidChannelName(m_channel) ? ulx::hostchannel::fileStem(m_channel) : std::string())
    , m_lockName(m_stem + ".lock")
    , m_socketName(m_stem + ".sock")
    , m_handoverName(m_stem + ".handover")
    , m_refusalLimiter(std::make_unique<KRateLimiter>(RefusalLogIntervalMs))
{
}

KHostTransport::~KHostTransport()
{
    std::unique_ptr<KHostReceiver> receiver;
    {
        std::lock_guard<std::mutex> lock(m_stateMutex);
        // The socket file goes first: a sender arriving now finds no socket but
        // the election lock still held, and waits for it rather than for a
        // backlog about to be closed.
        unlinkSocketOnce();
        receiver = std::move(m_receiver);
    }
    // Joined without the state lock: the receive thread may be inside a handler.
    if (receiver)
        receiver->stopAndJoin();
    m_liveReceiver.store(nullptr);
    receiver.reset();

    std::lock_guard<std::mutex> lock(m_stateMutex);
    // Released only after the socket file is gone: a successor never binds a
    // file that we could still remove.
    for (int *fd : {&m_listenFd, &m_lockFd, &m_handoverFd, &m_watchFd}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
    std::lock_guard<std::mutex> socketLock(m_socketMutex);
    if (m_dirFd >= 0)
        ::close(m_dirFd);
    m_dirFd = -1;
}

bool KHostTransport::isValidChannelName(std::u16string_view name)
{
    return ulx::hostchannel::isValidChannelName(name);
}

const char16_t *KHostTransport::channelName()
{
    return m_channel.c_str();
}

bool KHostTransport::unlinkSocketOnce()
{
    // Whoever clears the flag removes the file, and only while it is still the
    // one we bound: a successor's socket of the same name is never taken away.
    std::lock_guard<std::mutex> lock(m_socketMutex);
    if (!m_socketFileOurs)
        return false;
    m_socketFileOurs = false;
    if (m_dirFd >= 0 && ulx::hostchannel::idOf(m_dirFd, m_socketName) == FileId{dev_t(m_socketDev), ino_t(m_socketIno)})
        ::unlinkat(m_dirFd, m_socketName.c_str(), 0);
    return true;
}

BOOL KHostTransport::isChannelServer()
{
    retakeAfterRelease();
    std::lock_guard<std::mutex> lock(m_stateMutex);
    if (!m_decided) {
        m_decided = true;
        if (elect()) {
            bool anyReceiver;
            {
                std::lock_guard<std::mutex> receiversLock(m_receiversMutex);
                anyReceiver = !m_receivers.empty();
            }
            if (anyReceiver)
                startReceiving();
        }
    }
    return m_serving.load() && !m_released && !m_exiting.load() ? 1 : 0;
}

// Caller holds m_stateMutex. Opens (making it) the directory, takes the lock and
// binds the socket; false when the directory is unusable or (`contended`)
// another process holds the lock.
bool KHostTransport::takePlace(const std::string &dirPath, Place *place)
{
    place->clear();
    place->path = dirPath;
    ulx::hostchannel::KRuntimeDir dir(dirPath);
    if (dir.open(true) != ulx::hostchannel::DirState::Ready) {
        warn("isChannelServer", "cannot use "
             + (dir.problem().empty() ? dirPath + ": it cannot be created" : dir.problem()));
        return false;
    }
    place->dirId = dir.id();
    place->dirFd = dir.take();
    place->lockFd = ulx::hostchannel::locks::tryExclusive(place->dirFd, m_lockName);
    if (place->lockFd < 0) {
        place->contended = true; // another process serves, or is about to
        return false;
    }
    place->lockId = ulx::hostchannel::idOfFd(place->lockFd);
    std::string problem;
    place->listenFd = bindSocket(place->dirFd, dirPath, m_socketName, &place->socketId, &problem);
    if (place->listenFd < 0) {
        warn("isChannelServer", "not serving: " + problem);
        place->contended = true; // holding the lock, no other directory is ours to try
        return false;
    }
    return true;
}

// Caller holds m_stateMutex: serve from `place` from now on (its descriptors
// become ours); the previous lock and directory are let go only now, so the
// channel is never without a lock.
void KHostTransport::adopt(Place &place)
{
    if (m_lockFd >= 0)
        ::close(m_lockFd);
    m_lockFd = std::exchange(place.lockFd, -1);
    m_lockDev = place.lockId.dev;
    m_lockIno = place.lockId.ino;
    m_dirPath = place.path;
    m_dirDev = place.dirId.dev;
    m_dirIno = place.dirId.ino;
    {
        std::lock_guard<std::mutex> lock(m_socketMutex);
        if (m_dirFd >= 0)
            ::close(m_dirFd);
        m_dirFd = std::exchange(place.dirFd, -1);
        m_socketDev = place.socketId.dev;
        m_socketIno = place.socketId.ino;
        m_socketFileOurs = true;
    }
    if (m_watchFd < 0)
        m_watchFd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_watchFd >= 0) {
        if (m_watchWd >= 0)
            ::inotify_rm_watch(m_watchFd, m_watchWd); // fails harmlessly when the directory is gone
        const std::string self = "/proc/self/fd/" + std::to_string(m_dirFd);
        m_watchWd = ::inotify_add_watch(m_watchFd, self.c_str(), WatchMask);
        if (m_watchWd < 0)
            m_watchWd = ::inotify_add_watch(m_watchFd, m_dirPath.c_str(), WatchMask | IN_ONLYDIR | IN_DONT_FOLLOW);
        if (m_watchWd < 0)
            debug("isChannelServer", "no inotify watch on " + m_dirPath + " (" + std::strerror(errno) + "): looking every "
                  + std::to_string(m_options.pollMs) + " ms");
    }
    m_serving.store(true);
}

void KHostTransport::retakeAfterRelease()
{
    std::unique_ptr<KHostReceiver> drained;
    {
        std::lock_guard<std::mutex> lock(m_stateMutex);
        if (!m_released || m_exiting.load())
            return;
        drained = std::move(m_receiver);
        m_liveReceiver.store(nullptr);
    }
    // The released receiver answers what it had accepted and ends by itself;
    // joined without the state lock, as it may be inside a handler.
    if (drained)
        drained->stopAndJoin();
    drained.reset();

    std::lock_guard<std::mutex> lock(m_stateMutex);
    if (!m_released || m_exiting.load() || m_receiver)
        return;
    if (!elect())
        return; // somebody serves, the successor after all or another start
    m_released = false;
    // No successor is expected any more.
    if (m_handoverFd >= 0)
        ::close(m_handoverFd);
    m_handoverFd = -1;
    bool anyReceiver;
    {
        std::lock_guard<std::mutex> receiversLock(m_receiversMutex);
        anyReceiver = !m_receivers.empty();
    }
    if (anyReceiver)
        startReceiving();
}

// Caller holds m_stateMutex.
bool KHostTransport::elect()
{
    if (m_stem.empty()) {
        warn("isChannelServer", "not serving: invalid channel name");
        return false;
    }
    if (m_exiting.load())
        return false;
    std::vector<std::string> notes;
    const std::vector<std::string> dirs = ulx::hostchannel::runtimeDirCandidates(&notes);
    for (const std::string &note : notes)
        warn("isChannelServer", note);
    // Served already in any of them (also one that another environment prefers)?
    for (const std::string &path : dirs) {
        ulx::hostchannel::KRuntimeDir dir(path);
        if (dir.open(false) == ulx::hostchannel::DirState::Ready && ulx::hostchannel::locks::isHeld(dir.fd(), m_lockName)) {
            debug("isChannelServer", "served from " + path);
            return false;
        }
    }
    Place place;
    for (const std::string &path : dirs) {
        if (takePlace(path, &place)) {
            adopt(place);
            m_listenFd = std::exchange(place.listenFd, -1);
            debug("isChannelServer", "serving from " + path);
            return true;
        }
        if (place.contended)
            return false;
    }
    warn("isChannelServer", "not serving: no usable runtime directory");
    return false;
}

// Caller holds m_stateMutex.
void KHostTransport::startReceiving()
{
    if (m_receiver || m_listenFd < 0 || m_released || m_exiting.load())
        return;
    KHostReceiver::Limits limits;
    limits.connectionDeadlineMs = m_options.connectionDeadlineMs;
    limits.maxConnections = m_options.maxConnections;
    auto receiver = std::make_unique<KHostReceiver>(
        m_listenFd, limits,
        [this](const std::u16string &name, IKMemBuffer *request, IKMemBuffer *reply) {
            dispatch(name, request, reply);
        },
        [this](const char *reason) { noteRefusal(reason); });
    KHostReceiver::Watch watch;
    watch.fd = m_watchWd >= 0 ? m_watchFd : -1;
    watch.pollMs = m_options.pollMs;
    watch.settleMs = m_options.settleMs;
    watch.check = [this] { checkChannel(); };
    receiver->setWatch(std::move(watch));
    m_listenFd = -1; // the receiver owns it now
    if (!receiver->start()) {
        warn("registerReceiver", "receive thread did not start: the channel is served but never answers");
        return; // the receiver closes the listener
    }
    m_liveReceiver.store(receiver.get());
    m_receiver = std::move(receiver);
    // prepareExit() may have come between the check above and the store.
    if (m_exiting.load())
        m_receiver->abandon();
}

// On the receive thread, after the directory changed: is the channel still ours?
void KHostTransport::checkChannel()
{
    bool lost = false;
    {
        std::lock_guard<std::mutex> lock(m_stateMutex);
        if (!m_serving.load() || m_released || m_exiting.load() || !m_receiver)
            return;
        struct stat st;
        const bool dirOk = ::lstat(m_dirPath.c_str(), &st) == 0 && st.st_dev == dev_t(m_dirDev)
            && st.st_ino == ino_t(m_dirIno);
        int dirFd;
        FileId socketId;
        {
            std::lock_guard<std::mutex> socketLock(m_socketMutex);
            dirFd = m_dirFd;
            socketId = FileId{dev_t(m_socketDev), ino_t(m_socketIno)};
        }
        const bool lockOk = dirOk && ulx::hostchannel::idOf(dirFd, m_lockName) == FileId{dev_t(m_lockDev), ino_t(m_lockIno)};
        const bool socketOk = dirOk && ulx::hostchannel::idOf(dirFd, m_socketName) == socketId;
        if (dirOk && lockOk && socketOk)
            return;

        if (lockOk) {
            // Still elected here: only the socket file went. Listen on a new one.
            std::string problem;
            FileId id;
            const int fd = bindSocket(dirFd, m_dirPath, m_socketName, &id, &problem);
            if (fd >= 0) {
                {
                    std::lock_guard<std::mutex> socketLock(m_socketMutex);
                    m_socketDev = id.dev;
                    m_socketIno = id.ino;
                    m_socketFileOurs = true;
                }
                m_receiver->replaceListener(fd);
                warn("checkChannel", m_dirPath + '/' + m_socketName
                     + " was removed or replaced: listening on a new socket");
                return;
            }
            warn("checkChannel", "cannot listen again: " + problem);
            lost = true;
        } else {
            warn("checkChannel", (dirOk ? m_dirPath + '/' + m_lockName : m_dirPath)
                 + " was removed or replaced: taking the channel back");
            // The old lock is still held (on a file nobody can reach) until a new
            // one is ours, so there is no moment without one.
            const std::vector<std::string> dirs = ulx::hostchannel::runtimeDirCandidates();
            for (const std::string &path : dirs) {
                ulx::hostchannel::KRuntimeDir dir(path);
                if (dir.open(false) == ulx::hostchannel::DirState::Ready
                    && ulx::hostchannel::locks::isHeld(dir.fd(), m_lockName)) {
                    lost = true;
                    break;
                }
            }
            Place place;
            for (std::size_t i = 0; !lost && i < dirs.size(); ++i) {
                if (takePlace(dirs[i], &place)) {
                    {
                        std::lock_guard<std::mutex> socketLock(m_socketMutex);
                        m_socketFileOurs = false; // the old socket file is nowhere we may remove it from now
                    }
                    adopt(place);
                    m_receiver->replaceListener(std::exchange(place.listenFd, -1));
                    warn("checkChannel", "serving again from " + m_dirPath);
                    return;
                }
                lost = place.contended;
            }
            lost = true;
        }
        // Another process serves now (or nothing can be served from here): hand over.
        m_serving.store(false);
        m_released = true;
        m_receiver->stopAccepting(); // what is already queued is still answered
        if (m_lockFd >= 0)
            ::close(m_lockFd);
        m_lockFd = -1;
    }
    unlinkSocketOnce();
    warn("checkChannel", "another process serves the channel now: this one ends");
    if (m_options.onChannelLost)
        m_options.onChannelLost();
    else
        ::kill(::getpid(), SIGTERM);
}

void KHostTransport::registerReceiver(const char16_t *messageName, void *context, KReceiveHandler handler)
{
    const auto name = boundedView(messageName, MaxMessageNameUnits);
    if (!name || name->empty())
        return;
    if (handler) {
        std::lock_guard<std::mutex> lock(m_receiversMutex);
        m_receivers[std::u16string(*name)] = Receiver{context, handler};
    } else {
        // Once this returns, no call of the withdrawn handler is in progress.
        std::lock_guard<std::recursive_mutex> calls(m_dispatchMutex);
        std::lock_guard<std::mutex> lock(m_receiversMutex);
        m_receivers.erase(std::u16string(*name));
    }
    std::lock_guard<std::mutex> lock(m_stateMutex);
    if (handler && m_serving.load())
        startReceiving();
}

void KHostTransport::dispatch(const std::u16string &name, IKMemBuffer *request, IKMemBuffer *reply)
{
    std::lock_guard<std::recursive_mutex> calls(m_dispatchMutex);
    Receiver receiver{nullptr, nullptr};
    {
        std::lock_guard<std::mutex> lock(m_receiversMutex);
        const auto it = m_receivers.find(name);
        if (it != m_receivers.end())
            receiver = it->second;
    }
    if (!receiver.handler) {
        _KSimpleMemBuffer::setText(reply, QStringLiteral("error"));
        return;
    }
    // Called without the receiver table locked: the handler may register receivers or send.
    receiver.handler(receiver.context, name.c_str(), 0, request, reply);
}

void KHostTransport::releaseChannel()
{
    std::lock_guard<std::mutex> lock(m_stateMutex);
    if (!m_serving.load() || m_released || m_exiting.load())
        return;
    // First announce the successor, so that a sender never sees the channel
    // unserved and without a hand-over in between.
    if (m_handoverFd < 0) {
        std::lock_guard<std::mutex> socketLock(m_socketMutex);
        m_handoverFd = ulx::hostchannel::locks::holdShared(m_dirFd, m_handoverName);
    }
    if (m_handoverFd < 0)
        warn("releaseChannel", "hand-over lock not taken; senders may fail until the successor serves");
    m_released = true;
    m_serving.store(false);
    if (!unlinkSocketOnce())
        return; // prepareExit() came first and keeps the lock until the end
    if (m_receiver)
        m_receiver->stopAccepting();
    if (m_listenFd >= 0)
        ::close(m_listenFd);
    m_listenFd = -1;
    ::close(m_lockFd);
    m_lockFd = -1;
}

BOOL KHostTransport::sendMessage(const char16_t *target, const char16_t *messageName, IKMemBuffer *request,
                                 IKMemBuffer *reply, std::uint32_t timeoutMs, KTimeoutHandler onTimeout)
{
    const auto targetName = boundedView(target, ulx::hostchannel::MaxChannelNameLength);
    const auto name = boundedView(messageName, MaxMessageNameUnits);
    if (!targetName || !name || !request || !request->data())
        return 0;
    const std::uint32_t bytes = request->size();
    if (bytes > IKMemBuffer::Capacity || bytes % 2 != 0)
        return 0;

    std::vector<unsigned char> answer;
    std::string problem;
    const int timeout = int(std::min<std::uint32_t>(timeoutMs, 0x7fffffff));
    std::vector<std::string> notes;
    const std::vector<std::string> dirs = ulx::hostchannel::runtimeDirCandidates(&notes);
    for (const std::string &note : notes)
        debug("sendMessage", note);
    const auto result =
        ulx::hostsend::sendRequest(dirs, *targetName, *name, request->data(), bytes, &answer, timeout, &problem);
    if (result != ulx::hostsend::SendResult::Delivered) {
        std::string channel;
        for (char16_t c : *targetName)
            channel.push_back(char(c));
        qCWarning(lcHostTransport).noquote() << logLine("sendMessage", channel, "not delivered: " + problem);
    }
    if (result == ulx::hostsend::SendResult::TimedOut) {
        if (onTimeout)
            onTimeout(this, target, messageName, timeoutMs);
        return 0;
    }
    if (result != ulx::hostsend::SendResult::Delivered)
        return 0;
    if (reply) {
        if (!reply->setSize(std::uint32_t(answer.size())) || (!answer.empty() && !reply->data()))
            return 0;
        if (!answer.empty())
            std::memcpy(reply->data(), answer.data(), answer.size());
    }
    return 1;
}

void KHostTransport::finishStartUp()
{
}

void KHostTransport::prepareExit(int)
{
    m_exiting.store(true);
    unlinkSocketOnce();
    if (KHostReceiver *receiver = m_liveReceiver.load())
        receiver->abandon();
}

std::uint32_t KHostTransport::refusedCount()
{
    return m_refused.load();
}

void KHostTransport::noteRefusal(const char *reason)
{
    m_refused.fetch_add(1);
    std::uint64_t heldBack = 0;
    if (!m_refusalLimiter->admit(&heldBack))
        return;
    std::string text = "refused a peer: " + std::string(reason);
    if (heldBack)
        text += " (" + std::to_string(heldBack) + " more refusals not logged)";
    warn("receive", text);
}

void KHostTransport::warn(const char *operation, const std::string &text)
{
    qCWarning(lcHostTransport).noquote() << logLine(operation, m_stem, text);
}

void KHostTransport::debug(const char *operation, const std::string &text)
{
    qCDebug(lcHostTransport).noquote() << logLine(operation, m_stem, text);
}
