// The suite's account object stand-in: loading the plugin "tavidesk" publishes the
// instance object "tavidesk". Running the plugin with "/login=<user id>" makes the
// object announce a login state change, as the account service does after a sign-in
// or sign-out.
#include "platform/cmdline/kxcommandline.h"
#include "platform/export.h"
#include "suite/kapplication.h"
#include "suite/kxlogger.h"

#include <QObject>

class KTaviDesk : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
Q_SIGNALS:
    void loginStateChange(const QString &userId);
};

namespace {
KTaviDesk *g_account = nullptr;
}

extern "C" ULX_EXPORT void ulxPluginInit(QObject *application)
{
    auto *app = qobject_cast<KApplication *>(application);
    if (!app || g_account)
        return;
    g_account = new KTaviDesk(app);
    app->registerPluginInstanceObject(QStringLiteral("tavidesk"), g_account);
}

extern "C" ULX_EXPORT bool ulxPluginRun(const QString &params)
{
    KxLogger::writeMsg(KxLogger::Fixed(), QStringLiteral("tavidesk"), QStringLiteral("tavidesk::run params: ") + params);
    KxCommandLine cmd;
    if (!g_account || !cmd.parse(params, false) || !cmd.hasSwitch(QStringLiteral("login")))
        return false;
    Q_EMIT g_account->loginStateChange(cmd.switchValue(QStringLiteral("login")));
    return true;
}

#include "taviaccount.moc"
