// A suite plugin library for the plugin manager's tests.
#include "platform/export.h"
#include "suite/kapplication.h"

#include <QObject>
#include <QVariant>

namespace {
class KTestPluginObject : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
};
} // namespace

extern "C" ULX_EXPORT void ulxPluginInit(QObject *application)
{
    if (!application)
        return;
    application->setProperty("ulxtestplugin_inits", application->property("ulxtestplugin_inits").toInt() + 1);
    auto *object = new KTestPluginObject(application);
    object->setObjectName(QStringLiteral("ktestplugin"));
    if (auto *app = qobject_cast<KApplication *>(application))
        app->registerPluginInstanceObject(QStringLiteral("ktestplugin"), object);
}

#include "testplugin.moc"
