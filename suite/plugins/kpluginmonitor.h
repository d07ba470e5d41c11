#pragma once

#include "platform/export.h"

#include <QList>
#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

class KPlugin;
class KPluginManager;

// Watches the load of one plugin and reports its outcome once:
// loadFinished(true) when the plugin is (or becomes) loaded, loadFinished(false)
// when its load fails or is canceled, when the manager does not know the plugin,
// when there is no manager, when the manager is destroyed before an outcome, and
// when the manager has not loaded its catalogue within the wait limit (if one is
// set; by default a monitor waits for the manager as long as it lives).
// loadProgress(total, received) of the plugin is forwarded meanwhile.
// loadFinished() always comes from the event loop, never inside execute().
class ULX_EXPORT KPluginMonitor : public QObject
{
    Q_OBJECT
public:
    KPluginMonitor(QObject *parent, KPluginManager *manager, const QString &pluginName);
    ~KPluginMonitor() override;

    // Starts watching; with `load` true it also starts load(0) of the plugin
    // unless the plugin is loading or loaded. Without it, the monitor waits for
    // whoever else loads the plugin. A call while a watch runs does nothing.
    void execute(bool load);
    // The plugin, or null when the manager has none (yet).
    KPlugin *getPlugin() const;
    QString pluginName() const { return m_name; }
    bool isRunning() const { return m_running; }

    // Longest wait for a manager that has not loaded its catalogue; < 0: no limit.
    void setManagerWaitLimit(int ms) { m_waitLimit = ms; }
    int managerWaitLimit() const { return m_waitLimit; }

Q_SIGNALS:
    void loadFinished(bool ok);
    void loadProgress(qint64 totalBytes, qint64 receivedBytes);

private:
    void attach();
    void finish(bool ok);
    void finishLater(bool ok);
    void dropConnections();

    QPointer<KPluginManager> m_manager;
    QString m_name;
    bool m_load = false;
    bool m_running = false;
    quint64 m_serial = 0;
    int m_waitLimit = -1;
    QTimer m_waitTimer;
    QList<QMetaObject::Connection> m_connections;
};
