#pragma once

#include "platform/export.h"

#include <QApplication>
#include <QHash>
#include <QPointer>

class KPluginManager;
class KxStartup;

// The suite's application framework: a QApplication that owns the plugin
// manager and the registry of plugin instance objects.
class ULX_EXPORT KCoreApplication : public QApplication
{
    Q_OBJECT
public:
    KCoreApplication(int &argc, char **argv);
    ~KCoreApplication() override;

    // The plugin manager, or null before the framework's core initialisation.
    KPluginManager *getPluginMgr() const { return m_pluginMgr; }

    static KCoreApplication *instance();

protected:
    // Creates the plugin manager and starts loading its catalogue.
    void createPluginMgr();

private:
    KPluginManager *m_pluginMgr = nullptr;
};

class ULX_EXPORT KApplication : public KCoreApplication
{
    Q_OBJECT
public:
    KApplication(int &argc, char **argv);
    ~KApplication() override;

    // The object a plugin published under `name` (case-insensitive), or null.
    QObject *getPluginInstanceObject(const QString &name) const;
    // A plugin publishes one of its objects. Replaces an earlier object of the
    // same name; the object stays owned by the plugin (a deleted object reads as
    // absent). Emits pluginInstanceObjectRegisted(name).
    void registerPluginInstanceObject(const QString &name, QObject *object);
    void unregisterPluginInstanceObject(const QString &name);

    static KApplication *instance();
    static int exec();

Q_SIGNALS:
    void pluginInstanceObjectRegisted(const QString &name);

private:
    QHash<QString, QPointer<QObject>> m_instanceObjects; // key: lower-cased name
};

class ULX_EXPORT KxApplication : public KApplication
{
    Q_OBJECT
public:
    KxApplication(int &argc, char **argv, const QString &appName, const QString &organizationName);
    ~KxApplication() override;

    // The framework's start-up object (owned), or null.
    KxStartup *startupInfo() const { return m_startup; }
    void setStartupInfo(KxStartup *startup);

    // The application has finished its own start-up: the plugin manager is
    // created and starts loading, and coreInited() follows from the event loop.
    void coreInitComplete();
    bool isCoreInited() const { return m_coreInited; }

    // Asks the event loop to return. True when a running loop was asked.
    bool launchQuitApplication();

    // The framework resets the interactive (busy) cursor after a command.
    virtual void ResetInteractiveCursor();
    // The framework asks whether an event sent to a receiver counts as user
    // interaction; interactive applications answer true.
    virtual bool isInteractiveEvent(QObject *receiver, QEvent *event);

Q_SIGNALS:
    void coreInited();

private:
    KxStartup *m_startup = nullptr;
    bool m_coreInited = false;
};
