#include "innerplugins/kupdateulx/kupdateulx.h"

#include "suite/kapplication.h"
#include "suite/krt.h"
#include "suite/kxstartup.h"

namespace {
KInnerPluginRegistrar<KUpdateUlx> registrar("KUpdateUlx");
} // namespace

void KUpdateUlx::exec(const QString &)
{
    if (!krt::product::isSupported(QStringLiteral("UpdateAsInnerPlugin")))
        return;
    auto *app = qobject_cast<KxApplication *>(KCoreApplication::instance());
    KxStartup *startup = app ? app->startupInfo() : nullptr;
    if (!startup)
        return;
    if (startup->processUpdate(nullptr))
        startup->exeUpdate(QStringLiteral("ulxupdate"), QStringLiteral("/from:rlostart"), false);
}
