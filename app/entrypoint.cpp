#include "app/entrypoint.h"

#include "app/kxulxcloudsvrapplication.h"
#include "platform/net.h"
#include "platform/process.h"
#include "report/knettransfer.h"
#include "report/kreportevents.h"
#include "report/krunmarker.h"
#include "suite/krt.h"
#include "suite/ksuiterefs.h"
#include "watchdog/threadresponsesampler.h"

#include <QDir>
#include <QResource>

namespace {

void registerSharedResources()
{
    const QString sep = QDir::separator();
    const QString path = krt::dirs::office() + sep + QStringLiteral("mui") + sep
                         + krt::i18n::language(krt::i18n::ResourceDirectory, true) + sep
                         + QStringLiteral("public_res.rcc");
    QResource::registerResource(path, QString());
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
        KxUlxCloudSvrApplication app(ulx::process::argc(), ulx::process::argv());
        QCoreApplication::setApplicationName(QStringLiteral("tavi"));
        ulx::process::quitOnTerminationSignals();

        app.init(cmdLine);

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
