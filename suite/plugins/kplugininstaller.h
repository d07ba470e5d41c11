#pragma once

#include <QFile>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

// Puts a complete copy made in `partial` in place as `target`. When `target`
// appeared meanwhile (another install finished first), that copy counts and
// `partial` is dropped. Empty on success, else why it failed (`partial` is gone).
QString moveInstalledCopy(const QString &partial, const QString &target);

// Copies a plugin package into the plugins directory without freezing the event
// loop: the copy runs on the owner's thread in steps of at most `chunkSize`
// bytes, one step per timer shot (`intervalMs` apart, 0 = as soon as the loop is
// free). The content goes to "<target>.partial" first and is renamed to
// "<target>" once complete, so an interrupted copy never looks installed.
// Internal to the plugin manager.
class KPluginInstaller : public QObject
{
    Q_OBJECT
public:
    KPluginInstaller(const QString &packageDir, const QString &targetDir, qint64 chunkSize, int intervalMs,
                     QObject *parent = nullptr);
    // An unfinished copy is abandoned and its partial directory removed.
    ~KPluginInstaller() override;

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
