#include "host/transport/khosttransport.h"

#include "host/transport/kchannelfiles.h"
#include "host/transport/khostreceiver.h"
#include "host/transport/khostsend.h"
#include "host/transport/kratelimiter.h"
#include "host/transport/kwireformat.h"
#include "ipc/kmembuffer.h"
#include "platform/xdgpaths.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr std::size_t MaxMessageNameUnits = ulx::hostwire::MaxNameBytes / sizeof(char16_t);
// Generous enough for any backlog the kernel grants; waiting senders sit there
// while the handler table is still empty or every connection slot is busy.
constexpr int ListenBacklog = 4096;
constexpr std::int64_t DiagnosticIntervalMs = 1000;

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

std::string narrow(const QString &text)
{
    return text.toLocal8Bit().toStdString();
}

} // namespace

KHostTransport::KHostTransport(const QString &channelName, const Options &options)
    : KHostTransport(channelName.toStdU16String(), options)
{
}

KHostTransport::KHostTransport(std::u16string channelName, const Options &options)
    : m_channel(std::move(channelName))
    , m_options(options)
    , m_runtimeDir(narrow(ulx::paths::runtimeDir()))
    , m_stem(isValidChannelName(m_channel) ? ulx::hostchannel::fileStem(m_channel) : std::string())
    , m_socketPath(m_runtimeDir + '/' + m_stem + ".sock")
{
    if (m_options.diagnostics)
        m_diagnosticLimiter = std::make_unique<KRateLimiter>(DiagnosticIntervalMs);
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
    if (m_listenFd >= 0)
        ::close(m_listenFd);
    // Released only after the socket file is gone: a successor never binds a
    // file that we could still remove.
    if (m_lockFd >= 0)
        ::close(m_lockFd);
    if (m_handoverFd >= 0)
        ::close(m_handoverFd);
    m_listenFd = m_lockFd = m_handoverFd = -1;
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
    // Whoever clears the flag removes the file; nobody removes it twice, so a
    // successor's socket of the same name is never taken away.
    if (!m_socketFileOurs.exchange(false))
        return false;
    ::unlink(m_socketPath.c_str());
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
        diagnose("invalid channel name");
        return false;
    }
    if (m_exiting.load())
        return false;
    ulx::hostchannel::KRuntimeDir dir(m_runtimeDir);
    if (dir.open(true) != ulx::hostchannel::DirState::Ready) {
        diagnose("not serving: " + (dir.problem().empty() ? m_runtimeDir + " cannot be created" : dir.problem()));
        return false;
    }
    sockaddr_un address;
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (m_socketPath.size() >= sizeof address.sun_path) {
        diagnose("not serving: socket path too long: " + m_socketPath);
        return false;
    }
    std::memcpy(address.sun_path, m_socketPath.c_str(), m_socketPath.size() + 1);

    const int lockFd = ulx::hostchannel::locks::tryExclusive(dir.fd(), m_stem + ".lock");
    if (lockFd < 0)
        return false; // another process serves, or is about to
    // Holding the lock, any socket file of this name is a dead server's.
    ::unlinkat(dir.fd(), (m_stem + ".sock").c_str(), 0);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        diagnose(std::string("not serving: bind: ") + std::strerror(errno));
        if (fd >= 0)
            ::close(fd);
        ::close(lockFd);
        return false;
    }
    m_socketFileOurs.store(true);
    ::fchmodat(dir.fd(), (m_stem + ".sock").c_str(), 0600, 0);
    if (::listen(fd, ListenBacklog) != 0) {
        diagnose(std::string("not serving: listen: ") + std::strerror(errno));
        unlinkSocketOnce();
        ::close(fd);
        ::close(lockFd);
        return false;
    }
    m_lockFd = lockFd;
    m_listenFd = fd;
    m_serving.store(true);
    return true;
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
    m_listenFd = -1; // the receiver owns it now
    if (!receiver->start()) {
        diagnose("receive thread did not start");
        return; // the receiver closes the listener: senders see a served channel that never answers
    }
    m_liveReceiver.store(receiver.get());
    m_receiver = std::move(receiver);
    // prepareExit() may have come between the check above and the store.
    if (m_exiting.load())
        m_receiver->abandon();
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
    ulx::hostchannel::KRuntimeDir dir(m_runtimeDir);
    // First announce the successor, so that a sender never sees the channel
    // unserved and without a hand-over in between.
    if (m_handoverFd < 0 && dir.open(false) == ulx::hostchannel::DirState::Ready)
        m_handoverFd = ulx::hostchannel::locks::holdShared(dir.fd(), m_stem + ".handover");
    if (m_handoverFd < 0)
        diagnose("hand-over lock not taken; senders may fail until the successor serves");
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
    const auto result = ulx::hostsend::sendRequest(m_runtimeDir, *targetName, *name, request->data(), bytes,
                                                   &answer, timeout, &problem);
    if (result == ulx::hostsend::SendResult::TimedOut) {
        if (onTimeout)
            onTimeout(this, target, messageName, timeoutMs);
        return 0;
    }
    if (result != ulx::hostsend::SendResult::Delivered) {
        if (!problem.empty())
            diagnose("send: " + problem);
        return 0;
    }
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
    diagnose(std::string("refused a peer: ") + reason);
}

void KHostTransport::diagnose(const std::string &text)
{
    std::uint64_t heldBack = 0;
    if (!m_diagnosticLimiter || !m_diagnosticLimiter->admit(&heldBack))
        return;
    const std::string channel = m_stem.empty() ? std::string("?") : m_stem;
    if (heldBack)
        std::fprintf(stderr, "ulxcloudsvr transport %s: %s (%llu similar lines held back)\n", channel.c_str(),
                     text.c_str(), (unsigned long long)heldBack);
    else
        std::fprintf(stderr, "ulxcloudsvr transport %s: %s\n", channel.c_str(), text.c_str());
}
