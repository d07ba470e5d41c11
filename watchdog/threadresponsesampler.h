#pragma once

#include <QDate>
#include <QObject>
#include <QThread>

#include <atomic>
#include <memory>
#include <random>

class KMainThreadProbe;
class QTimer;

struct SampleRandomState
{
    SampleRandomState();
    std::random_device seedSource;
    std::mt19937 shortBlockEngine;
    QDate lastDumpDate;
    int shortBlockCount = -1;
    std::mt19937 longBlockEngine;
};

// The main-thread watchdog. Two named worker threads ("ulx-sampler", "ulx-detector")
// probe the main thread every interval through a KMainThreadProbe:
// - the sampler's probe waits the response time-out; no answer is a short block
//   (logged; sometimes dumped, 1 in 100 reported);
// - the detector probes up to eight times, 2 s apart; eight probes in a row without
//   an answer are a long block: one fatal log line, maybe a dump, one long hang
//   event, and the process ends 30 s later - unless the long-block ignore count
//   (watchdog/klongblockignore.h) is above 0.
// A series whose pause overslept (the machine was suspended or the process starved)
// starts again instead of counting. Stopping (the destructor) takes milliseconds.
class ThreadResponseSampler : public QObject
{
    Q_OBJECT
public:
    // `intervalSeconds` and `responseTimeoutSeconds` may be shortened by the
    // installation's [Diagnostics] WatchdogIntervalSec and WatchdogResponseTimeoutSec.
    ThreadResponseSampler(QObject *parent, int intervalSeconds, int responseTimeoutSeconds);
    ~ThreadResponseSampler() override;

    void startSample();

    static constexpr int DetectorProbeTimeoutMs = 2000;
    static constexpr int DetectorPauseMs = 2000;
    static constexpr int DetectorProbes = 8;
    static constexpr int TerminationDelayMs = 30000;

private Q_SLOTS:
    void sample();
    void detectLongTimeBlock();

private:
    void longTimeBlockDetected();
    void startWorker(QThread &thread, QTimer *&timer, void (ThreadResponseSampler::*slot)());
    bool shouldDumpOnShortBlock();
    void dump();

    QThread samplerThread;
    QThread detectorThread;
    int intervalSeconds;
    int responseTimeoutSeconds;
    KMainThreadProbe *probe = nullptr; // the probe window's place: an object of the main thread
    bool dumpedOnShortBlock = false;
    std::unique_ptr<SampleRandomState> randomState;
    std::atomic<bool> stopRequested{false};
    QTimer *sampleTimer = nullptr;
    QTimer *detectTimer = nullptr;
    bool disabled = false;
    std::atomic<int> workersFinished{0};
};

namespace ulx::watchdog {
// A debugger is attached: TracerPid in /proc/self/status is not 0.
bool debuggerAttached();
// The draws of the sampler: next 32-bit output scaled into [min, max] (integers) or [min, max) (reals).
int drawInt(std::mt19937 &engine, int min, int max);
double drawReal(std::mt19937 &engine, double min, double max);
// Probability that a short block is dumped, from the days since the last dump and the block count.
double shortBlockDumpChance(int days, int shortBlockCount);
} // namespace ulx::watchdog
