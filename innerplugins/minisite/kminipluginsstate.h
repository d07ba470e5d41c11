#pragma once

#include <QObject>
#include <QString>

class KPlugin;
class KPluginMonitor;

// Watches the load of one suite plugin, started at construction, and forwards its
// outcome and progress.
class KMiniPluginsMonitor : public QObject
{
    Q_OBJECT
public:
    explicit KMiniPluginsMonitor(const QString &pluginName, QObject *parent = nullptr);
    KPlugin *plugin() const;

Q_SIGNALS:
    void loaded(bool ready);
    void loadProgress(long long totalBytes, long long receivedBytes);

private:
    KPluginMonitor *m_monitor = nullptr;
    QString m_name;
};

// The load of one suite plugin within a time limit: status 0 pending, 1 loaded,
// 2 load failed, 3 timed out. loaded(bool) comes once, always from the event loop.
// A time limit of 0 or less only looks at the plugin's state now and emits nothing.
class KMiniPluginsState : public QObject
{
    Q_OBJECT
public:
    enum Status { Pending = 0, Loaded = 1, Failed = 2, TimedOut = 3 };

    KMiniPluginsState(const QString &pluginName, QObject *parent, int timeLimitSeconds);

    int status() const { return m_status; }
    bool isDone() const { return m_done; }
    QString pluginName() const { return m_name; }

Q_SIGNALS:
    void loaded(bool ready);
    void loadProgress(long long totalBytes, long long receivedBytes);

private Q_SLOTS:
    void __OnPluginLoadTimeout();
    void __OnPluginLoadFinished(bool ok);

private:
    bool m_done = false;
    int m_status = Pending;
    QString m_name;
};
