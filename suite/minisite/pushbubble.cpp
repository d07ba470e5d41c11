// The push-bubble object stand-in: loading the plugin "kulxpushbubble" publishes the
// instance object "KUlxPushBubble". Running the plugin with "/code=<code> /info=<text>"
// makes the object emit BubbleLogicEx(code, text), as a bubble does when the user
// follows it. Scenes handed to it are logged.
#include "platform/cmdline/kxcommandline.h"
#include "platform/export.h"
#include "suite/kapplication.h"
#include "suite/kxlogger.h"

#include <QObject>

namespace {
const QString Category = QStringLiteral("KUlxPushBubble");
}

class KUlxPushBubble : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
    Q_INVOKABLE void onExcuteBubbleLogicEx(const QString &key, const QString &value)
    {
        KxLogger::writeMsg(KxLogger::Fixed(), Category,
                           QStringLiteral("KUlxPushBubble::onExcuteBubbleLogicEx %1: %2").arg(key, value));
    }
Q_SIGNALS:
    void BubbleLogicEx(const QString &logicCode, const QString &logicInfo);
};

namespace {
KUlxPushBubble *g_bubble = nullptr;
}

extern "C" ULX_EXPORT void ulxPluginInit(QObject *application)
{
    auto *app = qobject_cast<KApplication *>(application);
    if (!app || g_bubble)
        return;
    g_bubble = new KUlxPushBubble(app);
    app->registerPluginInstanceObject(QStringLiteral("KUlxPushBubble"), g_bubble);
}

extern "C" ULX_EXPORT bool ulxPluginRun(const QString &params)
{
    KxLogger::writeMsg(KxLogger::Fixed(), Category, QStringLiteral("KUlxPushBubble::run params: ") + params);
    KxCommandLine cmd;
    if (!g_bubble || !cmd.parse(params, false) || !cmd.hasSwitch(QStringLiteral("code")))
        return false;
    Q_EMIT g_bubble->BubbleLogicEx(cmd.switchValue(QStringLiteral("code")), cmd.switchValue(QStringLiteral("info")));
    return true;
}

#include "pushbubble.moc"
