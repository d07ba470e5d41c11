// A stand-in for the suite's plugin runner "kpluginrunner" in the restart tests:
// the same invokables and signals, answers from the same settings, and one
// plugin command to hand over on every transfer.
#include "platform/export.h"
#include "platform/registry/kregsettings.h"
#include "suite/kapplication.h"
#include "suite/kxlogger.h"

#include <QObject>
#include <QTimer>

namespace {

const QString Key = QStringLiteral("HKEY_CURRENT_USER\\Software\\Corvanta\\Office\\6.0\\plugins\\kpluginrunner");

int setting(const char *name, int fallback)
{
    return KRegSettings(Key).value(QLatin1String(name), fallback).toInt();
}

class KFakePluginRunner : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    Q_INVOKABLE bool run(const QString &name, const QString &params, const QString &, const QString &)
    {
        KxLogger::writeInfo(QStringLiteral("KFakePluginRunner"), QStringLiteral("KFakePluginRunner::run ") + name + QLatin1Char(' ') + params);
        return true;
    }
    Q_INVOKABLE void pluginStateTransferQuery()
    {
        const bool ready = setting("StateTransferReady", 1) != 0;
        QTimer::singleShot(0, this, [this, ready] { Q_EMIT pluginQueryStateTransferResponse(ready); });
    }
    Q_INVOKABLE void pluginStateTransferBegin()
    {
        Q_EMIT stateTransferDefaultAction(QStringLiteral("run_plugin"),
                                          QStringLiteral("/plugin_name:kfaketransfer /plugin_type:dll"));
        Q_EMIT pluginsStateTransferCompleted();
    }
    Q_INVOKABLE void pluginExitProcessQuery()
    {
        const bool allow = setting("AllowExitProcess", 0) != 0;
        QTimer::singleShot(0, this, [this, allow] { Q_EMIT pluginQueryExitProcessResponse(allow); });
    }

Q_SIGNALS:
    void pluginQueryStateTransferResponse(bool ready);
    void stateTransferDefaultAction(const QString &name, const QString &params);
    void pluginsStateTransferCompleted();
    void pluginQueryExitProcessResponse(bool allow);
};

} // namespace

extern "C" ULX_EXPORT void ulxPluginInit(QObject *application)
{
    auto *app = qobject_cast<KApplication *>(application);
    if (!app)
        return;
    auto *runner = new KFakePluginRunner(application);
    app->registerPluginInstanceObject(QStringLiteral("kpluginrunner"), runner);
    KxLogger::writeInfo(QStringLiteral("KFakePluginRunner"), QStringLiteral("KFakePluginRunner registered"));
}

#include "fakerunner.moc"
