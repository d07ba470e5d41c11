#include "watchdog/threadresponsesampler.h"

#include "ipc/khostinterface.h"
#include "ipc/kxulxcloudsvripc.h"
#include "platform/namedthread.h"
#include "platform/process.h"
#include "platform/registry/kregsettings.h"
#include "reportcore/knettransfer.h"
#include "report/kreportevents.h"
#include "report/krunmarker.h"
#include "suite/krt.h"
#include "suite/kxlogger.h"
#include "reportcore/khostprocesses.h"
#include "watchdog/klongblockignore.h"
#include "watchdog/kmainthreadprobe.h"

#include <QFile>
#include <QTimer>

#include <ctime>
#include <thread>

namespace {

const QString LogCategory = QStringLiteral("ThreadResponseSampler");
// A step that took this much longer than asked means the machine slept or starved us.
constexpr qint64 OversleepSlackMs = 3000;

std::atomic<bool> g_longBlockDumped{false};
std::atomic<bool> g_longBlockReported{false};
// Once a long block is handled the process is ending: later series change nothing.
std::atomic<bool> g_terminationScheduled{false};

KRegSettings appSettings()
{
    KRegSettings s(QStringLiteral("HKEY_CURRENT_USER\\SOFTWARE\\Corvanta\\Office\\6.0\\ulxcloudsvr"));
    s.beginGroup(QStringLiteral("Application Settings"));
    return s;
}

bool readAlwaysDump()
{
    const QVariant v = appSettings().value(QStringLiteral("AlwaysDumpWhenBlock"));
    return v.typeId() == QMetaType::QString && v.toString() == QLatin1String("1");
}

void writeLastDumpDate()
{
    appSettings().setValue(QStringLiteral("LastDumpDate"), QDate::currentDate().toString(Qt::ISODate));
}

// Boot time counts a suspended machine; the monotonic clock does not.
qint64 bootMs()
{
    timespec ts{};
    ::clock_gettime(CLOCK_BOOTTIME, &ts);
    return qint64(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void logOversleep()
{
    KxLogger::writeInfo(LogCategory, QStringLiteral("ThreadResponseSampler::detectLongTimeBlock a wait overslept, "
                                                    "the series starts again"));
}

} // namespace

namespace ulx::watchdog {

bool debuggerAttached()
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return false;
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith("TracerPid:"))
            return line.mid(10).trimmed().toInt() != 0;
    }
    return false;
}

int drawInt(std::mt19937 &engine, int min, int max)
{
    const double v = min + (double(engine()) / 4294967296.0) * (double(max) - min + 1);
    return v >= max ? max : int(v);
}

double drawReal(std::mt19937 &engine, double min, double max)
{
    return min + (double(engine()) / 4294967296.0) * (max - min);
}

double shortBlockDumpChance(int days, int shortBlockCount)
{
    static const double dayFactor[] = {0.2, 0.25, 0.33, 0.5, 1.0};
    static const double countFactor[] = {0.001, 0.00112, 0.00125, 0.0014, 0.00166,
                                         0.002, 0.0025,  0.0033,  0.005,  0.01};
    if (days > 4 || days < 0)
        days = 4;
    shortBlockCount = qBound(0, shortBlockCount, 9);
    return dayFactor[days] * countFactor[shortBlockCount];
}

} // namespace ulx::watchdog

SampleRandomState::SampleRandomState()
    : shortBlockEngine(seedSource())
    , longBlockEngine(seedSource())
{
    const QDate stored = appSettings().value(QStringLiteral("LastDumpDate")).toDate();
    const QDate today = QDate::currentDate();
    lastDumpDate = stored.isValid() && stored <= today ? stored : today;
}

ThreadResponseSampler::ThreadResponseSampler(QObject *parent, int intervalSec, int responseTimeoutSec)
    : QObject(parent)
    , intervalSeconds(intervalSec)
    , responseTimeoutSeconds(responseTimeoutSec)
    , randomState(std::make_unique<SampleRandomState>())
{
    // Tests (and people) may shorten the watchdog's periods, never lengthen them.
    if (const int s = krt::diagnostics::watchdogIntervalSec(); s > 0 && s < intervalSeconds)
        intervalSeconds = s;
    if (const int s = krt::diagnostics::watchdogResponseTimeoutSec(); s > 0 && s < responseTimeoutSeconds)
        responseTimeoutSeconds = s;
    samplerThread.setObjectName(QStringLiteral("ulx-sampler"));
    detectorThread.setObjectName(QStringLiteral("ulx-detector"));
    // A timer, a probe and now and then a log line, an event record or a dump.
    samplerThread.setStackSize(uint(KNamedThread::stackSize(KNamedThread::WorkerStack)));
    detectorThread.setStackSize(uint(KNamedThread::stackSize(KNamedThread::WorkerStack)));

    bool ok = false;
    disabled = appSettings().value(QStringLiteral("DisableThreadResponseSample")).toInt(&ok) == 1 && ok;
    if (disabled)
        return;
    probe = new KMainThreadProbe;
}

ThreadResponseSampler::~ThreadResponseSampler()
{
    stopRequested.store(true);
    if (probe)
        probe->stop(); // ends every probe and pause at once
    samplerThread.quit();
    detectorThread.quit();
    samplerThread.wait(5000);
    detectorThread.wait(5000);
    // What the workers did happens-before what follows (QThread::wait does not say so to every tool).
    workersFinished.load(std::memory_order_acquire);
    if (probe)
        probe->isStopped();
    delete probe;
}

void ThreadResponseSampler::startSample()
{
    if (disabled || intervalSeconds <= 0)
        return;
    startWorker(samplerThread, sampleTimer, &ThreadResponseSampler::sample);
    startWorker(detectorThread, detectTimer, &ThreadResponseSampler::detectLongTimeBlock);
}

void ThreadResponseSampler::startWorker(QThread &thread, QTimer *&timer, void (ThreadResponseSampler::*slot)())
{
    if (thread.isRunning())
        return;
    const int intervalMs = intervalSeconds * 1000;
    // The timer is made, run and deleted in its worker thread: a blocked main thread cannot delay it.
    connect(&thread, &QThread::started, &thread, [this, &timer, slot, intervalMs] {
        timer = new QTimer;
        timer->setInterval(intervalMs);
        connect(timer, &QTimer::timeout, this, slot, Qt::DirectConnection);
        timer->start();
    }, Qt::DirectConnection);
    connect(&thread, &QThread::finished, &thread, [this, &timer] {
        delete timer;
        timer = nullptr;
        workersFinished.fetch_add(1, std::memory_order_release);
    }, Qt::DirectConnection);
    thread.start();
}

bool ThreadResponseSampler::shouldDumpOnShortBlock()
{
    SampleRandomState &r = *randomState;
    r.shortBlockCount = qMin(r.shortBlockCount + 1, 9);
    const int days = int(r.lastDumpDate.daysTo(QDate::currentDate()));
    const double x = ulx::watchdog::drawReal(r.shortBlockEngine, 0.0, 1.0);
    return ulx::watchdog::shortBlockDumpChance(days, r.shortBlockCount) > x;
}

void ThreadResponseSampler::dump()
{
    KDiagnostics::createAndSendDumpNoRecord(nullptr);
    writeLastDumpDate();
}

void ThreadResponseSampler::sample()
{
    if (stopRequested.load() || ulx::watchdog::debuggerAttached())
        return;
    if (probe->probe(responseTimeoutSeconds * 1000) != KMainThreadProbe::NoAnswer)
        return;

    KxLogger::writeInfo(LogCategory, QStringLiteral("ThreadResponseSampler::sample main thread did not answer "
                                                    "within %1 s")
                                         .arg(responseTimeoutSeconds));
    static const bool alwaysDump = readAlwaysDump(); // read once per process
    if (alwaysDump) {
        dump();
        dumpedOnShortBlock = true;
    } else if (!dumpedOnShortBlock && shouldDumpOnShortBlock()) {
        dump();
        dumpedOnShortBlock = true;
    }
    if (ulx::watchdog::drawInt(randomState->shortBlockEngine, 0, 99) == 37)
        reportHang(responseTimeoutSeconds, false);
}

void ThreadResponseSampler::detectLongTimeBlock()
{
    for (int attempt = 0; attempt < DetectorProbes; ++attempt) {
        if (stopRequested.load())
            return;
        qint64 started = bootMs();
        const KMainThreadProbe::Result result = probe->probe(DetectorProbeTimeoutMs);
        if (result != KMainThreadProbe::NoAnswer)
            return;
        if (bootMs() - started > DetectorProbeTimeoutMs + OversleepSlackMs) {
            logOversleep(); // the machine slept: this failure proves nothing
            attempt = -1;
            continue;
        }
        if (attempt == DetectorProbes - 1) {
            longTimeBlockDetected();
            return;
        }
        started = bootMs();
        if (!probe->pause(DetectorPauseMs))
            return;
        if (bootMs() - started > DetectorPauseMs + OversleepSlackMs) {
            logOversleep();
            attempt = -1;
        }
    }
}

void ThreadResponseSampler::longTimeBlockDetected()
{
    if (ulx::watchdog::longBlockIgnoreCount.load() > 0 || g_terminationScheduled.exchange(true))
        return;

    KNamedThread termination;
    termination.start("ulx-terminate", KNamedThread::WorkerStack, [] {
        std::this_thread::sleep_for(std::chrono::milliseconds(TerminationDelayMs));
        ulx::report::spoolUnsent(); // the hang event must not die with the process
        // Lines answered "ok" that the blocked main thread never ran: the next
        // serving process runs them (the spool logs how many).
        KxUlxCloudSvrIpc::spoolUndispatched();
        ulx::runmarker::clear();    // an end of our own choosing, not an exceptional exit
        if (IKCloudSvrHost *host = lookupHostInterface())
            host->prepareExit(0);
        ulx::process::terminateSelf(0);
    });
    termination.detach();

    KxLogger::writeFatal(LogCategory, QStringLiteral("longTimeBlockDetected : long time blocking detected, process "
                                                     "will be terminated"));
    static const bool alwaysDump = readAlwaysDump(); // the long-block handling's own reading
    const int pick = ulx::watchdog::drawInt(randomState->longBlockEngine, 0, 99);
    if ((pick == 51 || alwaysDump) && !g_longBlockDumped.exchange(true))
        dump();
    if (!g_longBlockReported.exchange(true))
        reportHang(responseTimeoutSeconds, true);
}
