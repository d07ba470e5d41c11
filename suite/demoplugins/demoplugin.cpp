// A demonstration suite plugin: its run entry logs the parameters it got.
// Built once per name (ULX_DEMO_PLUGIN_NAME). Its run fails on purpose while the
// DWORD "FailRun" of HKEY_CURRENT_USER\Software\Corvanta\Office\6.0\plugins\<name>
// is non-zero.
#include "platform/export.h"
#include "suite/kxlogger.h"
#include "suite/kxpluginssettings.h"
#include "suite/pluginrunner/kpluginrunentry.h"

extern "C" ULX_EXPORT bool ulxPluginRun(const QString &params)
{
    const QString name = QStringLiteral(ULX_DEMO_PLUGIN_NAME);
    const bool fail = KxPluginsSettings(name).dwordValue(QStringLiteral("FailRun"), 0) != 0;
    KxLogger::writeMsg(KxLogger::Fixed(), name,
                       QStringLiteral("%1::run %2params: %3").arg(name, fail ? QStringLiteral("refused (FailRun), ") : QString(), params));
    return !fail;
}
