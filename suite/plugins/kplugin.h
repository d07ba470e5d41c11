#pragma once

#include "platform/export.h"

#include <QObject>
#include <QString>
#include <QVariant>

#include <memory>

class KPluginManager;
class KPluginPrivate;
struct KPluginCatalogEntry;

// The entry point a plugin library may export. The manager calls it once, with
// the application object, when the library has been loaded; the plugin then
// registers its instance objects itself.
extern "C" {
typedef void (*KPluginInitFunction)(QObject *application);
}
#define ULX_PLUGIN_INIT_SYMBOL "ulxPluginInit"

// One plugin the catalogue knows. Created and owned by the KPluginManager; the
// object stays valid for the manager's whole life, also when a reload drops the
// plugin from the catalogue.
//
// A load (load(0)) installs the plugin first when its directory is missing:
// the package is copied into "<plugin path>.partial" with loadProgress(total,
// received) in bytes, then renamed to the plugin path. It then loads the entry's
// "library", if any, and calls its ulxPluginInit. Every load ends with exactly
// one of loadSuccess(), loadFailed(), loadCanceled(), always from the event loop.
// loadProgress comes only while bytes are copied; a plugin already installed goes
// straight to its outcome.
//
// An entry with "url" (http or https) instead of "package" is downloaded: a tar
// archive (gzip allowed) whose members are the plugin's directory, checked
// against the entry's optional "size" (bytes) and "sha256" (hex). A transfer
// that moves nothing for [Plugins] DownloadStallTimeoutMs of the installation
// configuration (default 30000) fails the load. Creating the file
// "<PluginsDir>/<name>.cancel" cancels a running install (loadCanceled()).
class ULX_EXPORT KPlugin : public QObject
{
    Q_OBJECT
public:
    enum State {
        NotLoaded = 0,   // known, not loaded (installed or not: see localPath())
        Downloading = 1, // the package is being copied
        Installing = 2,  // installed; the library is being loaded
        Loaded = 3,
        Failed = 4,
        Canceled = 5,
    };
    Q_ENUM(State)

    ~KPlugin() override;

    int state() const;
    // flags: 0 is the only load there is (install when missing, then load).
    // While a load runs, another call changes nothing: the running load's outcome
    // answers both. On a loaded plugin it answers loadSuccess() again.
    void load(unsigned flags);
    // Ends a running load with loadCanceled(); no partial directory is left. A
    // plugin whose install already completed stays installed (not loaded).
    void cancelLoad();

    QString name() const;
    // Directory of the installed plugin; empty when it is not installed.
    QString localPath() const;
    // A key of the plugin's catalogue entry ("name", "version", "desc", "package",
    // "library", ...); an invalid QVariant for keys the entry does not have.
    QVariant getProp(const char *name) const;

Q_SIGNALS:
    void loadProgress(qint64 totalBytes, qint64 receivedBytes);
    void loadSuccess();
    void loadFailed();
    void loadCanceled();

private:
    friend class KPluginManager;
    KPlugin(const KPluginCatalogEntry &entry, KPluginManager *manager);
    void setEntry(const KPluginCatalogEntry &entry);

    void onInstallFinished(bool ok, const QString &problem);
    QString cancelFilePath() const;
    void startCancelWatch();
    void stopCancelWatch();
    void loadLibrary(quint64 serial);
    void finish(int state, const QString &problem = QString());

    std::unique_ptr<KPluginPrivate> d;
};
