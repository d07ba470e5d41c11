#include "suite/kapplication.h"

#include "suite/kxstartup.h"
#include "suite/plugins/kpluginmanager.h"

#include <QTimer>

KCoreApplication::KCoreApplication(int &argc, char **argv)
    : QApplication(argc, argv)
{
}

KCoreApplication::~KCoreApplication()
{
    delete m_pluginMgr;
}

KCoreApplication *KCoreApplication::instance()
{
    return qobject_cast<KCoreApplication *>(QCoreApplication::instance());
}

void KCoreApplication::createPluginMgr()
{
    if (m_pluginMgr)
        return;
    m_pluginMgr = new KPluginManager(this);
    m_pluginMgr->start();
}

KApplication::KApplication(int &argc, char **argv)
    : KCoreApplication(argc, argv)
{
}

KApplication::~KApplication() = default;

QObject *KApplication::getPluginInstanceObject(const QString &name) const
{
    return m_instanceObjects.value(name.toLower()).data();
}

void KApplication::registerPluginInstanceObject(const QString &name, QObject *object)
{
    if (name.isEmpty() || !object)
        return;
    m_instanceObjects.insert(name.toLower(), object);
    Q_EMIT pluginInstanceObjectRegisted(name);
}

void KApplication::unregisterPluginInstanceObject(const QString &name)
{
    m_instanceObjects.remove(name.toLower());
}

KApplication *KApplication::instance()
{
    return qobject_cast<KApplication *>(QCoreApplication::instance());
}

int KApplication::exec()
{
    return QApplication::exec();
}

KxApplication::KxApplication(int &argc, char **argv, const QString &appName, const QString &organizationName)
    : KApplication(argc, argv)
{
    setApplicationName(appName);
    setOrganizationName(organizationName);
    // A background service: closing a window (the progress window, say) must not end it.
    setQuitOnLastWindowClosed(false);
}

KxApplication::~KxApplication()
{
    delete m_startup;
}

void KxApplication::setStartupInfo(KxStartup *startup)
{
    if (startup == m_startup)
        return;
    delete m_startup;
    m_startup = startup;
}

void KxApplication::coreInitComplete()
{
    if (m_coreInited)
        return;
    m_coreInited = true;
    createPluginMgr();
    QTimer::singleShot(0, this, &KxApplication::coreInited);
}

bool KxApplication::launchQuitApplication()
{
    const bool running = QCoreApplication::instance() != nullptr;
    QCoreApplication::quit();
    return running;
}

void KxApplication::ResetInteractiveCursor()
{
    if (QGuiApplication::overrideCursor())
        QGuiApplication::restoreOverrideCursor();
}

bool KxApplication::isInteractiveEvent(QObject *, QEvent *)
{
    return true;
}
