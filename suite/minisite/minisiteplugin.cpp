// The demonstration minisite package: its load is what the service waits for before
// it has the launcher show the minisite (the program "ulxminisite" beside the launcher).
#include "platform/export.h"
#include "suite/kxlogger.h"

#include <QObject>

extern "C" ULX_EXPORT void ulxPluginInit(QObject *)
{
    KxLogger::writeMsg(KxLogger::Fixed(), QStringLiteral("ulxminisite"), QStringLiteral("ulxminisite::init loaded"));
}
