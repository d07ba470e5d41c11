#pragma once

#include "ipc/ikcloudsvrhost.h"

#include <QObject>

#include <chrono>
#include <memory>

class KCommandInbox;

// The service side of the single-instance channel. Every start of the process
// sends its command line as the message "_TRANSMISSION_" to the channel; the
// process that serves the channel receives it (its own included) and hands it
// to the application through ipcTransmission().
class KxUlxCloudSvrIpc : public QObject
{
    Q_OBJECT
public:
    static constexpr std::uint32_t StartUpTimeoutMs = 30000;
    static constexpr std::uint32_t SendCommandTimeoutMs = 2000;

    explicit KxUlxCloudSvrIpc(QObject *parent = nullptr);
    ~KxUlxCloudSvrIpc() override;

    // Serves the channel if nobody does, and sends `cmdLine` to whoever serves it.
    // A process that does not serve, or cannot deliver, is asked to end through
    // quickExit() before this returns. False only when the host offers no channel.
    bool startUp(const char16_t *cmdLine);
    // Sends one command line to the process serving the channel (2000 ms time-out);
    // true when it was delivered.
    bool sendCommand(const QString &cmdLine, const QString &reply);
    // Gives the channel up so that a new process can serve it while this one still runs.
    void releaseChannel();

    IKCloudSvrHost *host() const { return m_host; }

    // The lines this process acknowledged and has not run, taken out: from now on
    // a line still acknowledged goes to the command spool (ipc/kcommandspool.h).
    QStringList takeUndispatched();
    // The same for the serving channel object of this process, from any thread,
    // into the command spool: the process is ending. The number handed on (-1:
    // they could not be kept; 0 also when this process serves no channel).
    static int spoolUndispatched();

    // How long the start-up time-out handler pauses before the start gives up
    // (10 s): the time a hung service gets to be dumped and ended before this
    // process ends too. Tests shorten it.
    static std::chrono::milliseconds startUpTimeoutPause();
    static void setStartUpTimeoutPause(std::chrono::milliseconds pause);

    // "UlxCloudSvr", or "UlxCloudSvr_Uwp" on store installations.
    static QString target();

Q_SIGNALS:
    void ipcTransmission(const QString &cmdLine);
    void quickExit();

private:
    // Runs the oldest acknowledged line (one per line received, on the main thread).
    void deliverOne();

    static void STDMETHODCALLTYPE onReceive(void *context, const char16_t *messageName, std::uintptr_t reserved,
                                            IKMemBuffer *request, IKMemBuffer *reply);
    static void STDMETHODCALLTYPE onStartUpTimeout(void *host, const char16_t *target,
                                                   const char16_t *messageName, std::uintptr_t timeoutMs);

    IKCloudSvrHost *m_host = nullptr;
    std::shared_ptr<KCommandInbox> m_inbox;
};
