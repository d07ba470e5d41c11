#pragma once

#include "ipc/ikcloudsvrhost.h"

#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

class KHostReceiver;
class KRateLimiter;

struct KHostTransportOptions
{
    // Time a peer has from its connection until its request is complete and its
    // reply taken: at least the longest time-out a sender uses (30 s at start-up).
    int connectionDeadlineMs = 30000;
    // Connections served at the same time; more wait in the listen backlog.
    int maxConnections = 64;
    // How long the channel's files must have been quiet after a change before it
    // is looked at (a removal of the directory comes as a burst of events).
    int settleMs = 100;
    // How often the files are looked at when the kernel offers no watch.
    int pollMs = 2000;
    // Called on the receive thread when another process took the channel over
    // while this one served (its directory or lock was taken away); this process
    // serves no more. By default the process ends as on SIGTERM.
    std::function<void()> onChannelLost;
};

// The host executable's single-instance transport: one process per user serves
// a channel over a Unix socket in the per-user runtime directory, every other
// process sends its messages there. Files of channel N, in the first usable of
// ulx::hostchannel::runtimeDirCandidates():
//   N.lock      open-file-description lock held exclusively by the serving process
//               (the kernel drops it with the process, however it ends)
//   N.sock      the server's listening socket (a stale one is replaced by the next server)
//   N.handover  lock held shared by each process that released N and still lives,
//               telling senders that a successor is coming
// The handler of a message runs on the transport's own receive thread.
//
// The serving process watches its directory (inotify): when the directory, the
// lock or the socket is removed or replaced (logind removes the runtime
// directory at the end of the user's last session, tmpfiles ages /tmp), it takes
// the channel back under a new lock and socket, or, when another process was
// elected in the meantime, hands over and ends. A process removes only files
// that still carry the device and inode it recorded when it made them.
//
// Messages go to the logging category "ulx.host.transport": warnings (a refused
// election or send, with its reason; refused peers, at most one line a second)
// are on, debug lines off by default (QT_LOGGING_RULES="ulx.host.transport.debug=true").
class KHostTransport final : public IKCloudSvrHost
{
public:
    using Options = KHostTransportOptions;

    explicit KHostTransport(const QString &channelName, const Options &options = Options());
    explicit KHostTransport(std::u16string channelName, const Options &options = Options());
    // Stops and joins the receive thread, removes the socket file, releases the locks.
    ~KHostTransport();
    KHostTransport(const KHostTransport &) = delete;
    KHostTransport &operator=(const KHostTransport &) = delete;

    const char16_t *STDMETHODCALLTYPE channelName() override;
    // Remembers the handler for this message name (a null handler forgets it). The
    // first registration of a serving process starts the receive thread; until
    // then connections wait in the backlog. From then on a message under a name
    // without a handler is answered "error", so the name that early senders use
    // is registered first.
    void STDMETHODCALLTYPE registerReceiver(const char16_t *messageName, void *context,
                                            KReceiveHandler handler) override;
    // The first call elects: nonzero when this process took the channel. Later
    // calls give the same answer, until releaseChannel() or prepareExit(). After
    // releaseChannel() (and before prepareExit()) a call elects again: a process
    // whose successor never came serves again when nobody else does, and the
    // hand-over mark goes.
    BOOL STDMETHODCALLTYPE isChannelServer() override;
    // Hands the channel over: marks a successor as expected for as long as this
    // process lives, removes the socket file and lets the next process serve.
    // Requests already queued at this moment are still answered; later ones go
    // to the successor.
    void STDMETHODCALLTYPE releaseChannel() override;
    BOOL STDMETHODCALLTYPE sendMessage(const char16_t *target, const char16_t *messageName, IKMemBuffer *request,
                                       IKMemBuffer *reply, std::uint32_t timeoutMs,
                                       KTimeoutHandler onTimeout) override;
    // Nothing to do: the channel is served from the election on.
    void STDMETHODCALLTYPE finishStartUp() override;
    // The process ends itself right after this: the socket file goes, the receive
    // thread drops everything at its next wake-up and parks, the election lock
    // stays until the process is gone (senders wait for it, then fail). Any
    // thread, the receive thread included; joins and locks nothing. Must not
    // race the destructor.
    void STDMETHODCALLTYPE prepareExit(int reserved) override;
    std::uint32_t STDMETHODCALLTYPE refusedCount() override;

    static bool isValidChannelName(std::u16string_view name);

private:
    struct Receiver
    {
        void *context;
        KReceiveHandler handler;
    };

    struct Place;

    bool elect();
    bool takePlace(const std::string &dirPath, Place *place);
    void adopt(Place &place);
    void retakeAfterRelease();
    void startReceiving();
    void checkChannel();
    void loseChannel();
    void dispatch(const std::u16string &name, IKMemBuffer *request, IKMemBuffer *reply);
    void noteRefusal(const char *reason);
    void warn(const char *operation, const std::string &text);
    void debug(const char *operation, const std::string &text);
    bool unlinkSocketOnce();

    const std::u16string m_channel;
    const Options m_options;
    const std::string m_stem; // file-name stem of the channel
    const std::string m_lockName, m_socketName, m_handoverName;

    std::mutex m_stateMutex; // election, release, thread start, take-back; never held across a wait
    bool m_decided = false;
    bool m_released = false;
    std::string m_dirPath;
    std::uint64_t m_dirDev = 0, m_dirIno = 0;
    std::uint64_t m_lockDev = 0, m_lockIno = 0;
    int m_lockFd = -1;
    int m_listenFd = -1; // until the receiver takes it
    int m_handoverFd = -1;
    int m_watchFd = -1; // inotify, watching m_dirPath
    int m_watchWd = -1;
    std::unique_ptr<KHostReceiver> m_receiver;

    std::atomic<bool> m_serving{false};
    std::atomic<bool> m_exiting{false};
    std::atomic<KHostReceiver *> m_liveReceiver{nullptr};

    // The socket file we made and the directory it lies in (changed under both
    // this and m_stateMutex; prepareExit() takes only this one, held for a stat
    // and an unlink).
    std::mutex m_socketMutex;
    bool m_socketFileOurs = false;
    int m_dirFd = -1;
    std::uint64_t m_socketDev = 0, m_socketIno = 0;

    std::mutex m_receiversMutex; // the handler table only
    // Held by the receive thread for each handler call: withdrawing a receiver
    // waits on it, so the withdrawn handler's context may be destroyed afterwards.
    std::recursive_mutex m_dispatchMutex;
    std::map<std::u16string, Receiver> m_receivers;

    std::atomic<std::uint32_t> m_refused{0};
    std::unique_ptr<KRateLimiter> m_refusalLimiter;
};
