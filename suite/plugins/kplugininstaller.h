#pragma once

#include "platform/export.h"

#include <QFile>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

// What one package may install, from the installation configuration (read at
// each load; a missing, non-numeric or non-positive value gives the default):
// [Plugins] MaxPackageBytes bounds the bytes of its files, and a download whose
// size the catalogue does not give; [Plugins] MaxPackageMembers bounds its
// entries (files, directories, links). A package past either is refused whole.
struct ULX_EXPORT KPackageLimits
{
    static constexpr qint64 DefaultMaxBytes = qint64(1) << 30;
    static constexpr qint64 DefaultMaxMembers = 100000;
    qint64 maxBytes = DefaultMaxBytes;
    qint64 maxMembers = DefaultMaxMembers;

    static KPackageLimits fromConfig();
};

// Makes an installed tree safe whoever unpacked it (root included): files and
// directories lose set-user-ID, set-group-ID, sticky and group/other write bits,
// directories stay usable by their owner; links are left as they are. Empty when
// done, else why the tree cannot be installed (an entry of another kind: device,
// FIFO, socket).
QString securePluginTree(const QString &root);

// Puts a complete copy made in `partial` in place as `target`. When `target`
// appeared meanwhile (another install finished first), that copy counts and
// `partial` is dropped. Empty on success, else why it failed (`partial` is gone).
QString moveInstalledCopy(const QString &partial, const QString &target);

// Copies a plugin package into the plugins directory without freezing the event
// loop: the copy runs on the owner's thread in steps of at most `chunkSize`
// bytes, one step per timer shot (`intervalMs` apart, 0 = as soon as the loop is
// free). The content goes to "<target>.partial" first and is renamed to
// "<target>" once complete, so an interrupted copy never looks installed.
// Files, directories and links that resolve inside the package are copied (a
// link as its target's content); any other entry, or a package past its limits,
// fails the install. Copies keep the execute bits but never group/other write.
// Internal to the plugin manager.
class ULX_EXPORT KPluginInstaller : public QObject
{
    Q_OBJECT
public:
    KPluginInstaller(const QString &packageDir, const QString &targetDir, qint64 chunkSize, int intervalMs,
                     QObject *parent = nullptr);
    // An unfinished copy is abandoned and its partial directory removed.
    ~KPluginInstaller() override;

    void setLimits(const KPackageLimits &limits) { m_limits = limits; }
    // Starts from the event loop; nothing happens inside this call.
    void start();
    // Stops at once and removes the partial directory; no signal follows.
    void cancel();

    QString partialDir() const { return m_target + QStringLiteral(".partial"); }

Q_SIGNALS:
    void progress(qint64 totalBytes, qint64 receivedBytes);
    // ok: the plugin directory is in place. Otherwise nothing of the copy is left.
    void finished(bool ok, const QString &problem);

private:
    struct Item
    {
        QString relativePath;
        qint64 size = 0;
    };

    void prepare();
    void step();
    bool copySome(qint64 budget, QString *problem);
    void complete();
    void fail(const QString &problem);
    void closeFiles();

    QString m_package;
    QString m_target;
    KPackageLimits m_limits;
    qint64 m_chunkSize;
    int m_intervalMs; // between chunks (the first step's zero delay must not replace it)
    QTimer m_timer;
    bool m_active = false;

    QStringList m_dirs;
    QList<Item> m_files;
    int m_next = 0;
    QFile m_source;
    QFile m_dest;
    qint64 m_total = 0;
    qint64 m_received = 0;
};
