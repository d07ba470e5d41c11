#pragma once

#include "platform/export.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

class KPlugin;
class KPluginUpgradeManager;
class KPluginManagerPrivate;

// The suite's plugin manager: knows the plugins of the catalogue
// (krt::pluginCatalogPath(), JSON) and hands out one KPlugin per name.
//
// start() reads the catalogue from the event loop; then loaded() is true and
// loadFinished() is emitted, once in the manager's life. A reload through
// getPluginUpgradeManager() makes loaded() false until the catalogue has been
// read again (the plugins of the previous reading stay available meanwhile).
// A missing or damaged catalogue reads as an empty one.
//
// Installs copy packages on the manager's thread, a chunk per event-loop turn
// (see setInstallChunkSize/setInstallChunkInterval), so no worker thread is involved.
class ULX_EXPORT KPluginManager : public QObject
{
    Q_OBJECT
public:
    static constexpr qint64 DefaultInstallChunkSize = 1024 * 1024;
    static constexpr const char *RunnerPluginName = "kpluginrunner";

    explicit KPluginManager(QObject *parent = nullptr);
    ~KPluginManager() override;

    // When on, every completed reading of the catalogue starts load(0) of the
    // plugin "kpluginrunner" if the catalogue knows it and it is neither loading
    // nor loaded.
    static void setAutoLoadRunner(bool on);
    static bool autoLoadRunner();

    // Begins loading the catalogue from the event loop. Later calls do nothing.
    void start();
    bool loaded() const;
    // The plugin of that name (exact), or null for unknown names and before the
    // first reading of the catalogue.
    KPlugin *getPlugin(const QString &name) const;
    // The names the catalogue lists, in its order.
    QStringList pluginNames() const;
    KPluginUpgradeManager *getPluginUpgradeManager();

    // Where the catalogue is read; empty (the default) means krt::pluginCatalogPath().
    void setCatalogPath(const QString &path);
    QString catalogPath() const;

    // Installs copy at most this many bytes per event-loop turn (default 1 MiB) ...
    void setInstallChunkSize(qint64 bytes);
    qint64 installChunkSize() const;
    // ... and wait this long between turns (default 0 ms). Apply to loads started later.
    void setInstallChunkInterval(int ms);
    int installChunkInterval() const;

Q_SIGNALS:
    void loadFinished();

private:
    friend class KPluginUpgradeManager;
    void requestReading(bool reload);
    void readCatalog();

    std::unique_ptr<KPluginManagerPrivate> d;
};
