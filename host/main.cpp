// ulxcloudsvr: the host program of the cloud service. It owns the
// single-instance transport, offers it to the service library through the
// exported GetHostInterface, and hands the process's command line to EntryPoint.

#include "app/entrypoint.h"
#include "host/kcrashhandler.h"
#include "host/transport/khosttransport.h"
#include "host/transport/khosttransportlog.h"
#include "platform/cmdline/winargv.h"
#include "suite/krt.h"

#include <QString>
#include <QStringList>

#include <cstdlib>

namespace {

KHostTransport *g_transport = nullptr;

// A windowless service must run whatever display it is given: a DISPLAY that
// names no X server (left over from an ended session, or set in cron or ssh)
// would otherwise abort Qt before the service serves. Unless the user chose a
// platform, Qt tries the session's display servers in turn and falls back to
// rendering offscreen; a platform whose plugin is not installed is skipped.
// Without any display there is nothing to try.
void selectPlatformWithFallback()
{
    if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        return;
    const bool x11 = !qEnvironmentVariableIsEmpty("DISPLAY");
    const bool wayland = !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
    qputenv("QT_QPA_PLATFORM", wayland ? "wayland;xcb;offscreen" : x11 ? "xcb;offscreen" : "offscreen");
}

} // namespace

extern "C" ULX_EXPORT BOOL GetHostInterface(IKCloudSvrHost **host)
{
    if (!host || !g_transport)
        return 0;
    *host = g_transport;
    return 1;
}

int main(int argc, char **argv)
{
    selectPlatformWithFallback();
    ulx::crashhandler::install();

    // The command line as a Windows program entry receives it: the arguments
    // without the program name, quoted so that splitting gives them back.
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const QString cmdLine = ulx::winargv::joinArguments(arguments);

    // Store installations serve a channel of their own.
    const QString channel = krt::product::isSupported(QStringLiteral("IsUwp")) ? QStringLiteral("UlxCloudSvr_Uwp")
                                                                                : QStringLiteral("UlxCloudSvr");
    KHostTransportLog::install(); // the transport's reasons for a refused start reach the service's log
    g_transport = new KHostTransport(channel);

    std::u16string text(reinterpret_cast<const char16_t *>(cmdLine.utf16()), std::size_t(cmdLine.size()));
    const int rc = EntryPoint(nullptr, nullptr, text.data(), 1);

    delete g_transport;
    g_transport = nullptr;
    return rc;
}
