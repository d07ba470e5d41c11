#include "app/entrypoint.h"

#include "app/kleanguistart.h"
#include "app/kxulxcloudsvrapplication.h"
#include "platform/net.h"
#include "platform/process.h"
#include "reportcore/knettransfer.h"
#include "report/kreportevents.h"
#include "report/krunmarker.h"
#include "suite/krt.h"
#include "suite/ksuiterefs.h"
#include "suite/kxlogger.h"
#include "watchdog/threadresponsesampler.h"

#include <QDir>
#include <QResource>

#include <cstdio>
#include <unistd.h>

namespace {

void registerSharedResources()
{
    const QString sep = QDir::separator();
    const QString path = krt::dirs::office() + sep + QStringLiteral("mui") + sep
                         + krt::i18n::language(krt::i18n::ResourceDirectory, true) + sep
                         + QStringLiteral("public_res.rcc");
    QResource::registerResource(path, QString());
}

// Someone who starts the service from a terminal would otherwise face a silent
// prompt: say once that this process serves and where it writes.
void announceToTerminal()
{
    if (!::isatty(STDERR_FILENO))
        return;
    const QByteArray line = QStringLiteral("ulxcloudsvr: serving (process %1); log: %2\n")
                                .arg(QCoreApplication::applicationPid())
                                .arg(KxLogger::logFilePath())
                                .toLocal8Bit();
    std::fwrite(line.constData(), 1, std::size_t(line.size()), stderr);
    std::fflush(stderr);
}

} // namespace

int WINAPI EntryPoint(HINSTANCE, HINSTANCE, LPWSTR cmdLine, int)
{
    KQtNetworkLibRefrence::refrence();
    KQtWebkitLibRefrence::refrence();
    ulx::net::startup();
    _kdnshk_EnableDetour();
    krt::init(QStringLiteral("Corvanta"), QStringLiteral("Office"), QStringLiteral("6.0"), QStringLiteral("tavi"));
    registerSharedResources();

    {
        KLeanGuiStart lean;
        KxUlxCloudSvrApplication app(ulx::process::argc(), ulx::process::argv());
        lean.restoreEnvironment();
        QCoreApplication::setApplicationName(QStringLiteral("tavi"));
        ulx::process::quitOnTerminationSignals();

        app.init(cmdLine);
        // A start that handed its line over has ended inside init.
        announceToTerminal();

        auto *watchdog = new ThreadResponseSampler(nullptr, 60, 4);
        watchdog->startSample();

        KApplication::exec();

        reportExit(cmdLine);
        // The queue gets a moment to empty; what is left waits in the outbox.
        ulx::report::finishSending(2000);
        ulx::runmarker::clear();
        krt::clear();
        delete watchdog;
    }
    return 0;
}
