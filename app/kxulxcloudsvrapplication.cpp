#include "app/kxulxcloudsvrapplication.h"

#include "platform/cmdline/kxcommandline.h"
#include "app/kxrestartschedule.h"
#include "app/kxulxcloudsvrstartup.h"
#include "apprunner/kxulxcloudsvrapprunner.h"
#include "innerplugins/iinnerplugin.h"
#include "innerplugins/pluginpool/kpluginpool.h"
#include "ipc/kcommandspool.h"
#include "ipc/khostinterface.h"
#include "ipc/kmembuffer.h"
#include "ipc/kxulxcloudsvripc.h"
#include "onlineparams/kcommonparamschecker.h"
#include "onlineparams/konlineparamsmanager.h"
#include "pluginrunner/kxulxcloudsvrpluginrunner.h"
#include "platform/process.h"
#include "report/kinfosdk.h"
#include "reportcore/knettransfer.h"
#include "report/kreportevents.h"
#include "report/krunmarker.h"
#include "report/kxulxcloudsvrrepactive.h"
#include "report/kxulxcloudsvrsimplereportactive.h"
#include "suite/krt.h"
#include "suite/kxlogger.h"
#include "suite/plugins/kpluginmanager.h"
#include "watchdog/klongblockignore.h"

#include <QFileInfo>
#include <QTimer>

#include <malloc.h>
#include <sys/syscall.h>
#include <unistd.h>

#ifndef CLOSE_RANGE_CLOEXEC
#define CLOSE_RANGE_CLOEXEC (1U << 2)
#endif

namespace {
const QString LogCategory = QStringLiteral("KxUlxCloudSvrApplication");
const char IpcProperty[] = "cloudsvr_ipc";
const char PluginRunnerName[] = "kpluginrunner";

// A command line the old channel accepted just before its release is answered
// within the transport's time per connection (2 s); the old process ends no
// earlier, so every line it acknowledged has run here or is handed over.
constexpr int HandOverDrainMs = 2500;
// How long the old process waits for its replacement to serve, and then for it
// to take what is handed over.
constexpr int ReplacementWaitMs = 30000;
// How often the hand-over looks for the replacement, and how long one look may
// take (while nobody listens yet it takes all of it).
constexpr int HandOverTickMs = 100;
constexpr int ProbeTimeoutMs = 50;
// A message name nobody handles: a serving process answers it "error" and runs nothing.
constexpr char16_t ProbeMessage[] = u"_ULXCLOUDSVR_PROBE_";

const char16_t *utf16(const QString &text)
{
    return reinterpret_cast<const char16_t *>(text.utf16());
}

// Lines this process will not run, kept for the next serving process.
void spool(const QStringList &lines)
{
    if (lines.isEmpty())
        return;
    QString error;
    if (ulx::commandspool::store(lines, &error))
        KxLogger::writeInfo(LogCategory, QStringLiteral("KxUlxCloudSvrApplication::handOn %1 command line(s) spooled "
                                                        "for the next serving process")
                                             .arg(lines.size()));
    else
        KxLogger::writeError(LogCategory, QStringLiteral("KxUlxCloudSvrApplication::handOn %1 command line(s) lost "
                                                         "(%2): %3")
                                              .arg(lines.size())
                                              .arg(error, lines.join(QStringLiteral(" | "))));
}
} // namespace

KxUlxCloudSvrApplication::KxUlxCloudSvrApplication(int &argc, char **argv)
    : KxApplication(argc, argv, QStringLiteral("tavi"), QStringLiteral("Office"))
{
    KPluginManager::setAutoLoadRunner(true);
    setProperty("kpluginmanager_init_prefer_online", QVariant(true));
    setStartupInfo(new KxUlxCloudSvrStartup(QStringLiteral("tavi")));

    m_repActive = new KxUlxCloudsvrRepActive;
    m_simpleReport = new KxUlxCloudsvrSimpleReportActive(this);
    m_ipc = new KxUlxCloudSvrIpc(this);
    if (QCoreApplication::instance()) {
        // Plugins loaded into the process reach the channel through this address,
        // whole: a 64-bit address cut to 32 bits would name nothing.
        QCoreApplication::instance()->setProperty(
            IpcProperty, QVariant::fromValue<qulonglong>(qulonglong(reinterpret_cast<quintptr>(m_ipc))));
    }

    connect(m_ipc, &KxUlxCloudSvrIpc::ipcTransmission, this, &KxUlxCloudSvrApplication::onIPCTransmission);
    connect(m_ipc, &KxUlxCloudSvrIpc::quickExit, this, &KxUlxCloudSvrApplication::onQuickExit);
    connect(this, &KxApplication::coreInited, this, &KxUlxCloudSvrApplication::onCoreInited);

    m_pluginRunner = new KxUlxCloudSvrPluginRunner(this);
}

KxUlxCloudSvrApplication::~KxUlxCloudSvrApplication()
{
    // Deleted here, not as a child after the QApplication has gone: a download
    // that still runs is cancelled and its window closed while widgets may exist.
    if (m_appRunner) {
        m_appRunner->clearPending();
        delete m_appRunner;
        m_appRunner = nullptr;
    }
    destroyInnerPlugins();
    m_pluginRunner->shutdown();
    delete m_repActive;
    m_repActive = nullptr;
    if (m_onlineParams) {
        m_onlineParams->stopTimer();
        delete m_onlineParams;
        m_onlineParams = nullptr;
    }
    if (QCoreApplication::instance())
        QCoreApplication::instance()->setProperty(IpcProperty, QVariant());
    KCommonParamsChecker::release();
}

void KxUlxCloudSvrApplication::init(const char16_t *cmdLine)
{
    const QString text = cmdLine ? QString::fromUtf16(cmdLine) : QString();
    KxLogger::writeMsg(KxLogger::Fixed(), LogCategory, QStringLiteral("KxUlxCloudSvrApplication::init ") + text);
    m_startCmdLine = text;

    m_ipc->startUp(cmdLine);

    coreInitComplete();

    // The default TLS protocol is set by the network module when the first network
    // request loads it (platform/knetaccess.h): a service without endpoints never
    // maps the TLS backend.

    if (krt::product::isSupported(QStringLiteral("UseUlxCloudSvrInfoXa")))
        reportLive(cmdLine);
    else
        m_repActive->start(text);
    m_simpleReport->run();
    // The serving process sends what ended processes left unsent.
    ulx::report::deliverOutbox();
    // How earlier runs ended (crash notes, run markers of killed services), then reported.
    ulx::runmarker::collectAndMark();
    reportExceptionalExit();

    // The newest "krpt" of the plugin pool, for the suite's plugins to find.
    KPluginPool::publishKrptPath();

    m_pluginRunner->initialize();
    initInnerPlugins();

    // The nightly restart, the plugin-exit query and the working-set trim.
    setupRestartAlarm();
    armPluginExitQuery();
    setupWorkingSetTimer();
}

bool KxUlxCloudSvrApplication::isInteractiveEvent(QObject *, QEvent *)
{
    return false;
}

void KxUlxCloudSvrApplication::onIPCTransmission(const QString &cmdline)
{
    KxLogger::writeMsg(KxLogger::Fixed(), LogCategory,
                       QStringLiteral("KxUlxCloudSvrApplication::onIPCTransmission ") + cmdline);
    // Work arrives: the working-set trims resume if they were resting.
    m_workSinceTrim = true;
    if (m_workingSetTimer && !m_workingSetTimer->isActive())
        m_workingSetTimer->start();

    KxCommandLine cmd;
    if (!cmd.parse(cmdline, false)) {
        KxLogger::writeWarning(LogCategory, QStringLiteral("parse command line error. %1").arg(cmdline));
        return;
    }

    // One primary command, by a fixed order; the owner gets the line without its switch.
    const auto without = [&cmd](const QString &command) {
        cmd.removeSwitch(command);
        return cmd.toString();
    };
    if (cmd.hasSwitch(QStringLiteral("force_exit"))) {
        onQuickExit();
        return;
    }
    if (cmd.hasSwitch(QStringLiteral("run_plugin"))) {
        const QString text = without(QStringLiteral("run_plugin"));
        KxLogger::writeMsg(KxLogger::Info(), LogCategory, QStringLiteral("KxUlxCloudSvrApplication::onRunPlugin ") + text);
        m_pluginRunner->run(text);
    } else if (cmd.hasSwitch(QStringLiteral("run_app"))) {
        const QString text = without(QStringLiteral("run_app"));
        if (!m_appRunner) {
            m_appRunner = new KxUlxCloudSvrAppRunner(this);
            m_appRunner->initialize();
        }
        m_appRunner->run(text);
    } else if (cmd.hasSwitch(QStringLiteral("inner_plugin"))) {
        const QString name = cmd.switchValue(QStringLiteral("inner_plugin"));
        const QString text = without(QStringLiteral("inner_plugin"));
        execInnerPlugin(name, text);
    } else if (cmd.hasSwitch(QStringLiteral("update_ulx"))) {
        const QString text = without(QStringLiteral("update_ulx"));
        KxStartup *startup = startupInfo();
        if (startup && startup->processUpdate(nullptr))
            startup->exeUpdate(QStringLiteral("ulxupdate"), text, false);
    }

    // A broadcast goes to every inner plugin whatever the primary command was.
    if (cmd.hasSwitch(QStringLiteral("broadcast")))
        broadcastToInnerPlugins(without(QStringLiteral("broadcast")));
}

void KxUlxCloudSvrApplication::onQuickExit()
{
    // A running download is cancelled: its partial files go with it.
    delete m_appRunner;
    m_appRunner = nullptr;
    // Lines the channel answered "ok" that this process will not run: the next
    // serving process runs them.
    KxUlxCloudSvrIpc::spoolUndispatched();
    // A quick exit never waits for the network: the serving process sends these.
    // The exit event goes straight to the outbox, never both sent and spooled.
    ulx::report::spoolFromNowOn();
    reportExit(reinterpret_cast<const char16_t *>(m_startCmdLine.utf16()));
    ulx::report::spoolUnsent();
    ulx::runmarker::clear();
    KxLogger::onAboutToQuit();
    launchQuitApplication();
    if (IKCloudSvrHost *host = lookupHostInterface())
        host->prepareExit(0);
    ulx::process::terminateSelf(0);
}

void KxUlxCloudSvrApplication::onCoreInited()
{
    KCommonParamsChecker::instance()->check();
    m_onlineParams = new KOnlineParamsManager(this);
    m_onlineParams->start();
}

// ---- Nightly restart and periodic duties ----------------------------------

void KxUlxCloudSvrApplication::setupRestartAlarm()
{
    const KxRestartSchedule::Alarm alarm = KxRestartSchedule::compute(KxRestartSchedule::read(), QTime::currentTime());
    if (alarm.drawn)
        KxLogger::writeInfo(LogCategory,
                            QStringLiteral("setupRestartAlarm, targetTime:%1").arg(alarm.target.toString(Qt::TextDate)));
    // Precise: a coarse timer may fire a little early, and a replacement started
    // before the target time would set its own alarm for the same moment.
    QTimer::singleShot(int(alarm.delayMs), Qt::PreciseTimer, this, &KxUlxCloudSvrApplication::queryRestartUlxCloudSvr);
}

void KxUlxCloudSvrApplication::queryRestartUlxCloudSvr()
{
    QObject *runner = getPluginInstanceObject(QLatin1String(PluginRunnerName));
    if (!runner) {
        KxLogger::writeMsg(KxLogger::Info(), LogCategory,
                           QStringLiteral("KxUlxCloudSvrApplication::queryRestartUlxCloudSvr runner not ready"));
        onPluginsStateReadyToTransfer(false);
        return;
    }
    const auto queuedUnique = Qt::ConnectionType(Qt::QueuedConnection | Qt::UniqueConnection);
    connect(runner, SIGNAL(pluginsStateTransferCompleted()), this, SLOT(onPluginsStateTransferCompleted()),
            queuedUnique);
    connect(runner, SIGNAL(pluginQueryStateTransferResponse(bool)), this, SLOT(onPluginsStateReadyToTransfer(bool)),
            queuedUnique);
    connect(runner, SIGNAL(stateTransferDefaultAction(QString,QString)), this,
            SLOT(sendRunPluginCommand(QString,QString)), Qt::UniqueConnection);
    QMetaObject::invokeMethod(runner, "pluginStateTransferQuery", Qt::DirectConnection);
}

void KxUlxCloudSvrApplication::onPluginsStateReadyToTransfer(bool ready)
{
    if (!ready) {
        KxLogger::writeMsg(KxLogger::Info(), LogCategory,
                           QStringLiteral("KxUlxCloudSvrApplication::onPluginsStateReadyToTransfer delayed"));
        QTimer::singleShot(KxServiceSettings::restartIntervalSec() * 1000, this,
                           &KxUlxCloudSvrApplication::queryRestartUlxCloudSvr);
        // The daily heartbeat of the active report goes out from the delayed restart query.
        QTimer::singleShot(0, m_repActive, &KxUlxCloudsvrRepActive::onQueryRestartDelayed);
        return;
    }
    if (m_launcher || m_releasedAt.isValid())
        return; // a hand-over is already under way

    KxLogger::writeMsg(KxLogger::Info(), LogCategory,
                       QStringLiteral("KxUlxCloudSvrApplicatio::onPluginsStateReadyToTransfer ready"));
    const QString path = krt::dirs::launchExePath();
    const QFileInfo launcher(path);
    // A directory also "exists" and is "executable".
    if (path.isEmpty() || !launcher.isFile() || !launcher.isExecutable()) {
        KxLogger::writeMsg(KxLogger::Warning(), LogCategory,
                           QStringLiteral("KxUlxCloudSvrApplicatio::onPluginsStateReadyToTransfer ulx.exe not found"));
        return;
    }

    auto *process = new QProcess(this);
    m_launcher = process;
    connect(process, &QProcess::started, this, &KxUlxCloudSvrApplication::onNewUlxCloudSvrProcessCreated);
    connect(process, &QProcess::errorOccurred, this, &KxUlxCloudSvrApplication::onLauncherError);
    connect(process, &QProcess::finished, this, &KxUlxCloudSvrApplication::onLauncherFinished);
    // The launcher, and through it the replacement, must not inherit this
    // process's descriptors: the channel's locks among them would keep the
    // channel looking served or handed over for as long as the replacement lives.
    process->setChildProcessModifier([] { ::syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC); });
    process->setProcessChannelMode(QProcess::ForwardedChannels);

    m_ipc->releaseChannel();
    m_releasedAt.start();
    KxLogger::writeMsg(KxLogger::Info(), LogCategory,
                       QStringLiteral("KxUlxCloudSvrApplication::onPluginsStateReadyToTransfer channel released, "
                                      "starting ")
                           + path);
    // From now on the event loop waits for the replacement: a timer looks for it.
    if (!m_handOverTimer) {
        m_handOverTimer = new QTimer(this);
        m_handOverTimer->setInterval(HandOverTickMs);
        connect(m_handOverTimer, &QTimer::timeout, this, &KxUlxCloudSvrApplication::continueHandOver);
    }
    m_handOverTimer->start();
    process->start(path, {QStringLiteral("/ulxcloudlaunch"), QStringLiteral("/start_from:autorestart")},
                   QIODevice::ReadWrite);
}

void KxUlxCloudSvrApplication::onNewUlxCloudSvrProcessCreated()
{
    KxLogger::writeMsg(KxLogger::Info(), LogCategory,
                       QStringLiteral("KxUlxCloudSvrApplication::onNewUlxCloudSvrProcessCreated"));
    if (QObject *runner = getPluginInstanceObject(QLatin1String(PluginRunnerName)))
        QMetaObject::invokeMethod(runner, "pluginStateTransferBegin", Qt::DirectConnection);
}

void KxUlxCloudSvrApplication::sendRunPluginCommand(const QString &name, const QString &params)
{
    const QString text = QStringLiteral("/") + name + QLatin1Char(' ') + params;
    if (!m_releasedAt.isValid()) {
        // No hand-over under way: whoever serves the channel now takes it.
        if (!m_ipc->sendCommand(text, QString()))
            KxLogger::writeWarning(LogCategory,
                                   QStringLiteral("KxUlxCloudSvrApplication::sendRunPluginCommand not delivered: ") + text);
        return;
    }
    // The replacement may still be starting: the hand-over's timer sends it once
    // the replacement answers.
    m_handOverLines << text;
    if (m_handOverTimer && !m_handOverTimer->isActive())
        m_handOverTimer->start();
}

void KxUlxCloudSvrApplication::onPluginsStateTransferCompleted()
{
    KxLogger::writeMsg(KxLogger::Info(), LogCategory,
                       QStringLiteral("KxUlxCloudSvrApplication::onPluginsStateTransferCompleted"));
    if (!m_releasedAt.isValid()) {
        onQuickExit();
        return;
    }
    // This process ends only once the replacement serves (until then its
    // hand-over mark keeps senders waiting) and has taken every line handed over.
    m_transferCompleted = true;
    if (m_handOverTimer && !m_handOverTimer->isActive())
        m_handOverTimer->start();
}

void KxUlxCloudSvrApplication::continueHandOver()
{
    if (m_handOverFailed && !m_ending) {
        m_handOverTimer->stop();
        recoverFromFailedHandOver(QStringLiteral("launcher failed, the replacement does not come"));
        return;
    }
    const bool answers = channelAnswers(ProbeTimeoutMs);
    if (!answers && !m_ending) {
        if (m_releasedAt.elapsed() < ReplacementWaitMs)
            return;
        m_handOverTimer->stop();
        recoverFromFailedHandOver(QStringLiteral("the replacement does not serve"));
        return;
    }
    // The replacement serves: it takes the lines handed over, in order. A line
    // that does not get through is tried again at the next turn.
    while (answers && !m_handOverLines.isEmpty() && m_ipc->sendCommand(m_handOverLines.first(), QString()))
        m_handOverLines.removeFirst();

    if (m_ending) {
        if (m_handOverLines.isEmpty() || m_endingSince.elapsed() >= ReplacementWaitMs) {
            m_handOverTimer->stop();
            if (!m_handOverLines.isEmpty())
                KxLogger::writeWarning(LogCategory, QStringLiteral("KxUlxCloudSvrApplication::continueHandOver %1 "
                                                                   "line(s) not taken by the replacement")
                                                        .arg(m_handOverLines.size()));
            spool(std::exchange(m_handOverLines, {}));
            onQuickExit();
        }
        return;
    }
    // Every line the old channel acknowledged has reached this process once the
    // transport's time per connection after the release has passed.
    if (!m_transferCompleted || m_releasedAt.elapsed() < HandOverDrainMs) {
        if (m_handOverLines.isEmpty() && !m_transferCompleted)
            m_handOverTimer->stop(); // nothing to do until the runner says more
        return;
    }
    KxLogger::writeMsg(KxLogger::Info(), LogCategory,
                       QStringLiteral("KxUlxCloudSvrApplication::onPluginsStateTransferCompleted the replacement "
                                      "serves; ending %1 ms after the release")
                           .arg(m_releasedAt.elapsed()));
    endHandingOver();
}

void KxUlxCloudSvrApplication::endHandingOver()
{
    // What this process took and will not run goes to the process that serves now:
    // the app runs first (they came first), then lines acknowledged and not yet run.
    QStringList apps = m_appRunner ? m_appRunner->takeCommands() : QStringList();
    for (QString &line : apps)
        line.prepend(QStringLiteral("/run_app "));
    if (!apps.isEmpty())
        KxLogger::writeInfo(LogCategory, QStringLiteral("KxUlxCloudSvrApplication::onPluginsStateTransferCompleted "
                                                        "%1 run_app line(s) handed over to the replacement")
                                             .arg(apps.size()));
    const QStringList undispatched = m_ipc->takeUndispatched();
    if (!undispatched.isEmpty())
        KxLogger::writeInfo(LogCategory, QStringLiteral("KxUlxCloudSvrApplication::onPluginsStateTransferCompleted "
                                                        "%1 acknowledged line(s) handed over to the replacement")
                                             .arg(undispatched.size()));
    m_handOverLines << apps << undispatched;
    m_ending = true;
    m_endingSince.start();
    m_handOverTimer->start();
    continueHandOver();
}

bool KxUlxCloudSvrApplication::channelAnswers(int timeoutMs) const
{
    IKCloudSvrHost *host = m_ipc->host();
    if (!host)
        return false;
    _KSimpleMemBuffer request;
    _KSimpleMemBuffer reply;
    return host->sendMessage(utf16(KxUlxCloudSvrIpc::target()), ProbeMessage, &request, &reply,
                             std::uint32_t(timeoutMs), nullptr)
        != 0;
}

void KxUlxCloudSvrApplication::onLauncherError(QProcess::ProcessError error)
{
    if (error != QProcess::FailedToStart)
        return;
    m_handOverFailed = true;
    if (m_handOverTimer)
        m_handOverTimer->stop();
    recoverFromFailedHandOver(QStringLiteral("launcher failed to start: ")
                              + (m_launcher ? m_launcher->errorString() : QString()));
}

void KxUlxCloudSvrApplication::onLauncherFinished(int exitCode, QProcess::ExitStatus status)
{
    if (m_launcher)
        m_launcher->deleteLater();
    if (status == QProcess::NormalExit && exitCode == 0)
        return;
    // The launcher ran but could not start the replacement: the hand-over's
    // timer sees this at its next turn.
    KxLogger::writeWarning(LogCategory,
                           QStringLiteral("KxUlxCloudSvrApplicatio::onPluginsStateReadyToTransfer launcher ended with "
                                          "%1, no replacement")
                               .arg(status == QProcess::NormalExit ? QString::number(exitCode)
                                                                   : QStringLiteral("a crash")));
    m_handOverFailed = true;
    if (m_handOverTimer && !m_handOverTimer->isActive())
        m_handOverTimer->start();
}

void KxUlxCloudSvrApplication::recoverFromFailedHandOver(const QString &why)
{
    if (!m_releasedAt.isValid() || m_ending)
        return;
    if (channelAnswers(ProbeTimeoutMs)) {
        KxLogger::writeWarning(LogCategory, QStringLiteral("KxUlxCloudSvrApplicatio::onPluginsStateReadyToTransfer ")
                                                + why + QStringLiteral("; another process serves, ending"));
        endHandingOver();
        return;
    }
    IKCloudSvrHost *host = m_ipc->host();
    if (host && host->isChannelServer()) {
        KxLogger::writeWarning(LogCategory, QStringLiteral("KxUlxCloudSvrApplicatio::onPluginsStateReadyToTransfer ")
                                                + why + QStringLiteral("; serving the channel again"));
        m_releasedAt.invalidate();
        m_handOverFailed = false;
        m_transferCompleted = false;
        // The lines meant for the replacement run here: this process serves again.
        for (const QString &line : std::exchange(m_handOverLines, {})) {
            if (!m_ipc->sendCommand(line, QString()))
                KxLogger::writeWarning(LogCategory,
                                       QStringLiteral("KxUlxCloudSvrApplication::sendRunPluginCommand not delivered: ") + line);
        }
        setupRestartAlarm();
        return;
    }
    KxLogger::writeWarning(LogCategory, QStringLiteral("KxUlxCloudSvrApplicatio::onPluginsStateReadyToTransfer ")
                                            + why + QStringLiteral("; the channel cannot be served again, ending"));
    QStringList apps = m_appRunner ? m_appRunner->takeCommands() : QStringList();
    for (QString &line : apps)
        line.prepend(QStringLiteral("/run_app "));
    spool(std::exchange(m_handOverLines, {}) + apps);
    onQuickExit();
}

void KxUlxCloudSvrApplication::armPluginExitQuery()
{
    QTimer::singleShot(KxServiceSettings::queryPluginExitProcessIntervalSec() * 1000, this,
                       &KxUlxCloudSvrApplication::queryPluginExitProcess);
}

void KxUlxCloudSvrApplication::queryPluginExitProcess()
{
    QObject *runner = getPluginInstanceObject(QLatin1String(PluginRunnerName));
    if (!runner) {
        KxLogger::writeMsg(KxLogger::Info(), LogCategory,
                           QStringLiteral("KxUlxCloudSvrApplication::queryPluginExitProcess runner not ready"));
        armPluginExitQuery();
        return;
    }
    connect(runner, SIGNAL(pluginQueryExitProcessResponse(bool)), this, SLOT(onQueryPluginExitProcessResponse(bool)),
            Qt::ConnectionType(Qt::QueuedConnection | Qt::UniqueConnection));
    QMetaObject::invokeMethod(runner, "pluginExitProcessQuery", Qt::DirectConnection);
}

void KxUlxCloudSvrApplication::onQueryPluginExitProcessResponse(bool exit)
{
    if (exit)
        onQuickExit();
    else
        armPluginExitQuery();
}

void KxUlxCloudSvrApplication::setupWorkingSetTimer()
{
    const int seconds = KxServiceSettings::reduceProcessWSSec();
    if (seconds <= 0)
        return;
    if (!m_workingSetTimer)
        m_workingSetTimer = new QTimer(this);
    connect(m_workingSetTimer, &QTimer::timeout, this, &KxUlxCloudSvrApplication::reduceProcessWorkingSetSize,
            Qt::UniqueConnection);
    m_workingSetTimer->start(seconds * 1000);
}

void KxUlxCloudSvrApplication::reduceProcessWorkingSetSize()
{
    // Freed heap goes back to the system instead of staying with the process.
    ::malloc_trim(0);
    // An idle service has nothing new to give back: after a whole interval
    // without a command line this trim is the last one, and the timer rests until
    // the next command line, so an idle process is not woken every interval.
    if (!m_workSinceTrim && m_workingSetTimer)
        m_workingSetTimer->stop();
    m_workSinceTrim = false;
}

void KxUlxCloudSvrApplication::ingoreLongTimeBlockDetect(bool ignore)
{
    if (ignore) {
        ++ulx::watchdog::longBlockIgnoreCount;
        KxLogger::writeInfo(LogCategory, QStringLiteral("Ignore LongTimeBlockDetect++"));
    } else {
        --ulx::watchdog::longBlockIgnoreCount;
        KxLogger::writeInfo(LogCategory, QStringLiteral("Ignore LongTimeBlockDetect--"));
    }
}
