#include "host/transport/khosttransportlog.h"

#include "suite/kxlogger.h"

#include <QtGlobal>

#include <cstdio>
#include <cstring>

namespace {

QtMessageHandler g_previous = nullptr;

void forward(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (!context.category || std::strcmp(context.category, "ulx.host.transport") != 0) {
        if (g_previous)
            g_previous(type, context, message);
        else
            std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, message)));
        return;
    }
    const QString category = QStringLiteral("KHostTransport");
    switch (type) {
    case QtDebugMsg:
    case QtInfoMsg:
        KxLogger::writeInfo(category, message);
        break;
    case QtWarningMsg:
        KxLogger::writeWarning(category, message);
        break;
    case QtCriticalMsg:
        KxLogger::writeError(category, message);
        break;
    case QtFatalMsg:
        KxLogger::writeFatal(category, message);
        break;
    }
}

} // namespace

void KHostTransportLog::install()
{
    static const bool once = [] {
        g_previous = qInstallMessageHandler(forward);
        return true;
    }();
    (void)once;
}
