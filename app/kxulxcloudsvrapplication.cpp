#include "app/kxulxcloudsvrapplication.h"

#include "app/kxcommandline.h"
#include "app/kxulxcloudsvrstartup.h"
#include "innerplugins/iinnerplugin.h"
#include "ipc/khostinterface.h"
#include "ipc/kxulxcloudsvripc.h"
#include "platform/process.h"
#include "report/kinfosdk.h"
#include "report/knettransfer.h"
#include "report/kreportevents.h"
#include "report/krunmarker.h"
#include "suite/krt.h"
#include "suite/kxlogger.h"
#include "suite/plugins/kpluginmanager.h"

#include <QSslConfiguration>

namespace {
const QString LogCategory = QStringLiteral("KxUlxCloudSvrApplication");
const char IpcProperty[] = "cloudsvr_ipc";
} // namespace

KxUlxCloudSvrApplication::KxUlxCloudSvrApplication(int &argc, char **argv)
    : KxApplication(argc, argv, QStringLiteral("tavi"), QStringLiteral("Office"))
{
    KPluginManager::setAutoLoadRunner(true);
    setProperty("kpluginmanager_init_prefer_online", QVariant(true));
    setStartupInfo(new KxUlxCloudSvrStartup(QStringLiteral("tavi")));

    m_ipc = new KxUlxCloudSvrIpc(this);
    if (QCoreApplication::instance()) {
        // Plugins loaded into the process reach the channel through this address.
        QCoreApplication::instance()->setProperty(
            IpcProperty, QVariant::fromValue<quint32>(quint32(reinterpret_cast<quintptr>(m_ipc))));
    }

    connect(m_ipc, &KxUlxCloudSvrIpc::ipcTransmission, this, &KxUlxCloudSvrApplication::onIPCTransmission);
    connect(m_ipc, &KxUlxCloudSvrIpc::quickExit, this, &KxUlxCloudSvrApplication::onQuickExit);
    connect(this, &KxApplication::coreInited, this, &KxUlxCloudSvrApplication::onCoreInited);
}

KxUlxCloudSvrApplication::~KxUlxCloudSvrApplication()
{
    destroyInnerPlugins();
    if (QCoreApplication::instance())
        QCoreApplication::instance()->setProperty(IpcProperty, QVariant());
}

void KxUlxCloudSvrApplication::init(const char16_t *cmdLine)
{
    const QString text = cmdLine ? QString::fromUtf16(cmdLine) : QString();
    KxLogger::writeMsg(KxLogger::Fixed(), LogCategory, QStringLiteral("KxUlxCloudSvrApplication::init ") + text);
    m_startCmdLine = text;

    m_ipc->startUp(cmdLine);

    coreInitComplete();

    // The service pins its default TLS protocol to one version. The system's TLS
    // library no longer offers the first TLS version, so the pin is TLS 1.2.
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    if (tls.protocol() != QSsl::TlsV1_2) {
        tls.setProtocol(QSsl::TlsV1_2);
        QSslConfiguration::setDefaultConfiguration(tls);
    }

    if (krt::product::isSupported(QStringLiteral("UseUlxCloudSvrInfoXa")))
        reportLive(cmdLine);
    // The serving process sends what ended processes left unsent.
    ulx::report::deliverOutbox();
    // How earlier runs ended (crash notes, run markers of killed services), then reported.
    ulx::runmarker::collectAndMark();
    reportExceptionalExit();

    initInnerPlugins();
}

bool KxUlxCloudSvrApplication::isInteractiveEvent(QObject *, QEvent *)
{
    return false;
}

void KxUlxCloudSvrApplication::onIPCTransmission(const QString &cmdline)
{
    KxLogger::writeMsg(KxLogger::Fixed(), LogCategory,
                       QStringLiteral("KxUlxCloudSvrApplication::onIPCTransmission ") + cmdline);

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
    } else if (cmd.hasSwitch(QStringLiteral("run_app"))) {
        const QString text = without(QStringLiteral("run_app"));
        KxLogger::writeMsg(KxLogger::Info(), LogCategory, QStringLiteral("KxUlxCloudSvrApplication::onRunApp ") + text);
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
    reportExit(reinterpret_cast<const char16_t *>(m_startCmdLine.utf16()));
    // A quick exit never waits for the network: the serving process sends these.
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
}
