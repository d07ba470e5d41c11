#pragma once

#include "platform/knetaccess.h"

#include <QFile>
#include <QObject>
#include <QPointer>
#include <QProcess>
#include <QString>
#include <QUrl>

// Installs a plugin from a package on a web server: the body is streamed into
// "<target>.download" (never held in memory), checked against the catalogue's
// size and SHA-256, unpacked with tar into "<target>.partial" and renamed to
// "<target>". Archive members that would land outside the partial directory
// (absolute or with a ".." component) refuse the whole package. A transfer that
// moves no byte for `stallTimeoutMs` fails. Whatever ends the install other than
// success leaves neither the download file nor the partial directory behind.
// Internal to the plugin manager; runs on the owner's thread, driven by its loop.
class KPluginDownloader : public QObject
{
    Q_OBJECT
public:
    // `expectedSize` < 0 and an empty `sha256` (hex) skip those checks.
    KPluginDownloader(const QUrl &url, qint64 expectedSize, const QString &sha256, const QString &targetDir,
                      int stallTimeoutMs, QObject *parent = nullptr);
    ~KPluginDownloader() override;

    // Starts from the event loop; nothing happens inside this call.
    void start();
    // Stops at once and removes what the install wrote; no signal follows.
    void cancel();

    QString partialDir() const { return m_target + QStringLiteral(".partial"); }
    QString downloadFile() const { return m_target + QStringLiteral(".download"); }

Q_SIGNALS:
    void progress(qint64 totalBytes, qint64 receivedBytes);
    void finished(bool ok, const QString &problem);

private:
    void begin();
    void onReadyRead();
    void onReplyFinished();
    void listArchive();
    void onListed(int exitCode, QProcess::ExitStatus status);
    void onExtracted(int exitCode, QProcess::ExitStatus status);
    void complete();
    void fail(const QString &problem);
    void removeLeftovers();
    QProcess *runTar(const QStringList &arguments);

    QUrl m_url;
    qint64 m_expectedSize;
    QString m_sha256;
    QString m_target;
    int m_stallTimeoutMs;
    bool m_active = false;

    QPointer<ulx::net::KHttpReply> m_reply;
    QPointer<QProcess> m_tar;
    QFile m_file;
    // SHA-256 through the system's crypto library: its hardware paths keep the
    // check from halving the download's speed.
    std::unique_ptr<ulx::net::KSha256> m_hash;
    qint64 m_total = 0;
    qint64 m_received = 0;
};
