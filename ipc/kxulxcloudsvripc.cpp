#include "ipc/kxulxcloudsvripc.h"

#include "ipc/kcommandspool.h"
#include "ipc/khostinterface.h"
#include "ipc/kmembuffer.h"
#include "reportcore/khostprocesses.h"
#include "reportcore/knettransfer.h"
#include "report/kreportevents.h"
#include "suite/krt.h"
#include "suite/kxlogger.h"

#include <QThread>

#include <atomic>
#include <mutex>
#include <string_view>
#include <thread>

namespace {

constexpr char16_t TransmissionMessage[] = u"_TRANSMISSION_";
const QString LogCategory = QStringLiteral("KxUlxCloudSvrApplication");

// The host's transport objects, by name; the transport may use them.
[[maybe_unused]] constexpr char16_t ChannelObjectName[] = u"{DEB796DA-F98E-48A4-AE1E-71411184820E}";
[[maybe_unused]] constexpr char16_t ChannelMutexName[] = u"shared_memory_mutex";
[[maybe_unused]] constexpr char16_t ChannelContentName[] = u"shared_memory_content";

std::atomic<std::chrono::milliseconds::rep> g_startUpTimeoutPauseMs{10000};

// The inbox of the channel object that serves in this process, for whoever ends
// the process from another thread (the watchdog).
std::mutex g_servingMutex;
std::shared_ptr<KCommandInbox> g_serving;

const char16_t *utf16(const QString &text)
{
    return reinterpret_cast<const char16_t *>(text.utf16());
}

} // namespace

KxUlxCloudSvrIpc::KxUlxCloudSvrIpc(QObject *parent)
    : QObject(parent)
    , m_host(lookupHostInterface())
    , m_inbox(std::make_shared<KCommandInbox>())
{
}

KxUlxCloudSvrIpc::~KxUlxCloudSvrIpc()
{
    // The host's receive thread outlives this object: withdraw the receiver so
    // that no message reaches a destroyed context. The interface itself stays
    // with the host.
    if (m_host)
        m_host->registerReceiver(TransmissionMessage, nullptr, nullptr);
    m_host = nullptr;
    {
        std::lock_guard lock(g_servingMutex);
        if (g_serving == m_inbox)
            g_serving.reset();
    }
    // Acknowledged after the event loop ended: the next serving process runs them.
    m_inbox->closeAndSpool();
}

QStringList KxUlxCloudSvrIpc::takeUndispatched()
{
    return m_inbox->close();
}

int KxUlxCloudSvrIpc::spoolUndispatched()
{
    std::shared_ptr<KCommandInbox> inbox;
    {
        std::lock_guard lock(g_servingMutex);
        inbox = g_serving;
    }
    return inbox ? inbox->closeAndSpool() : 0;
}

void KxUlxCloudSvrIpc::deliverOne()
{
    if (const std::optional<QString> line = m_inbox->take())
        Q_EMIT ipcTransmission(*line);
}

QString KxUlxCloudSvrIpc::target()
{
    return krt::product::isSupported(QStringLiteral("IsUwp")) ? QStringLiteral("UlxCloudSvr_Uwp")
                                                               : QStringLiteral("UlxCloudSvr");
}

bool KxUlxCloudSvrIpc::startUp(const char16_t *cmdLine)
{
    if (!m_host)
        return false;

    const bool server = m_host->isChannelServer() != 0;
    if (server) {
        // Lines an ended process acknowledged but did not run come first: they were
        // sent before anything this process can receive.
        const QStringList spooled = ulx::commandspool::takeAll();
        for (const QString &line : spooled) {
            m_inbox->push(line);
            QMetaObject::invokeMethod(this, &KxUlxCloudSvrIpc::deliverOne, Qt::QueuedConnection);
        }
        if (!spooled.isEmpty())
            KxLogger::writeInfo(LogCategory, QStringLiteral("KxUlxCloudSvrIpc::startUp %1 command line(s) handed on "
                                                            "by an ended process")
                                                 .arg(spooled.size()));
        {
            std::lock_guard lock(g_servingMutex);
            g_serving = m_inbox;
        }
        m_host->registerReceiver(TransmissionMessage, this, &KxUlxCloudSvrIpc::onReceive);
    } else {
        ulx::report::spoolFromNowOn(); // the serving process sends this start's events
    }

    const QString text = cmdLine ? QString::fromUtf16(cmdLine) : QString();
    _KSimpleMemBuffer request(text);
    _KSimpleMemBuffer reply;
    bool delivered;
    if (request.tooLong()) {
        // The channel carries at most 2047 code units. Such a line is refused here,
        // never cut: a cut command line could run something nobody asked for. The
        // start itself goes on as if the line had been delivered, so a serving
        // process still serves and a second one still ends.
        KxLogger::writeError(LogCategory,
                             QStringLiteral("KxUlxCloudSvrIpc::startUp command line of %1 characters exceeds the "
                                            "channel limit of %2 and is not sent")
                                 .arg(text.size())
                                 .arg(IKMemBuffer::Capacity / 2 - 1));
        delivered = true;
    } else {
        const QString channel = target();
        delivered = m_host->sendMessage(utf16(channel), TransmissionMessage, &request, &reply, StartUpTimeoutMs,
                                        &KxUlxCloudSvrIpc::onStartUpTimeout) != 0;
    }

    if (!delivered) {
        KxLogger::writeError(LogCategory,
                             QStringLiteral("KxUlxCloudSvrApplicatio::startUp send ipc message error and will quit"));
        Q_EMIT quickExit();
    } else if (!server) {
        Q_EMIT quickExit();
    }
    // Only the serving process gets here: quickExit() ends the process.
    m_host->finishStartUp();
    return true;
}

bool KxUlxCloudSvrIpc::sendCommand(const QString &cmdLine, const QString &second)
{
    if (!m_host)
        return false;
    _KSimpleMemBuffer request(cmdLine);
    _KSimpleMemBuffer reply(second);
    if (request.tooLong()) {
        KxLogger::writeError(LogCategory,
                             QStringLiteral("KxUlxCloudSvrIpc::sendCommand command line of %1 characters exceeds "
                                            "the channel limit and is not sent")
                                 .arg(cmdLine.size()));
        return false;
    }
    const QString channel = target();
    return m_host->sendMessage(utf16(channel), TransmissionMessage, &request, &reply, SendCommandTimeoutMs, nullptr)
        != 0;
}

void KxUlxCloudSvrIpc::releaseChannel()
{
    if (m_host)
        m_host->releaseChannel();
}

void KxUlxCloudSvrIpc::onReceive(void *context, const char16_t *messageName, std::uintptr_t,
                                 IKMemBuffer *request, IKMemBuffer *reply)
{
    auto *self = static_cast<KxUlxCloudSvrIpc *>(context);
    const QString text = _KSimpleMemBuffer::text(request);
    const bool known = self && messageName && std::u16string_view(messageName) == TransmissionMessage;
    if (known) {
        // Kept until the main thread runs it, so that a process ending before then
        // can hand it on instead of dropping a line it answered "ok".
        self->m_inbox->push(text);
        if (QThread::currentThread() == self->thread()) {
            while (const std::optional<QString> line = self->m_inbox->take())
                Q_EMIT self->ipcTransmission(*line);
        } else {
            QMetaObject::invokeMethod(self, &KxUlxCloudSvrIpc::deliverOne, Qt::QueuedConnection);
        }
    }
    if (reply)
        _KSimpleMemBuffer::setText(reply, known ? QStringLiteral("ok") : QStringLiteral("error"));
}

void KxUlxCloudSvrIpc::onStartUpTimeout(void *, const char16_t *, const char16_t *, std::uintptr_t timeoutMs)
{
    KxLogger::writeError(LogCategory, QStringLiteral("KxUlxCloudSvrIpc::onStartUpTimeout the serving process did "
                                                     "not answer within %1 ms")
                                          .arg(timeoutMs));
    // The serving process is frozen: keep its state for the suite, end it, report it.
    dumpProcess(findBusiestHostProcess());
    terminateOtherHostProcesses();
    reportIpcTimeout(StartUpTimeoutMs);
    std::this_thread::sleep_for(startUpTimeoutPause());
}

std::chrono::milliseconds KxUlxCloudSvrIpc::startUpTimeoutPause()
{
    return std::chrono::milliseconds(g_startUpTimeoutPauseMs.load());
}

void KxUlxCloudSvrIpc::setStartUpTimeoutPause(std::chrono::milliseconds pause)
{
    g_startUpTimeoutPauseMs.store(pause.count());
}
