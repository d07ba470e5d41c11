#include "suite/plugins/kplugindownloader.h"

#include "suite/krt.h"
#include "suite/plugins/kplugininstaller.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTimer>

namespace {
// What the reply may buffer, and the most one read takes: the body goes to disk
// in pieces of at most this size, never whole.
constexpr qint64 kPieceSize = 1024 * 1024;

bool escapes(const QString &member)
{
    if (member.startsWith(QLatin1Char('/')))
        return true;
    const QStringList parts = member.split(QLatin1Char('/'));
    return parts.contains(QStringLiteral(".."));
}
} // namespace

KPluginDownloader::KPluginDownloader(const QUrl &url, qint64 expectedSize, const QString &sha256,
                                     const QString &targetDir, int stallTimeoutMs, QObject *parent)
    : QObject(parent)
    , m_url(url)
    , m_expectedSize(expectedSize)
    , m_sha256(sha256.trimmed().toLower())
    , m_target(targetDir)
    , m_stallTimeoutMs(stallTimeoutMs > 0 ? stallTimeoutMs : 30000)
{
}

KPluginDownloader::~KPluginDownloader()
{
    cancel();
}

void KPluginDownloader::start()
{
    if (m_active)
        return;
    m_active = true;
    QTimer::singleShot(0, this, &KPluginDownloader::begin);
}

void KPluginDownloader::cancel()
{
    if (!m_active)
        return;
    m_active = false;
    if (m_reply) {
        m_reply->disconnect(this);
        m_reply->abort();
        m_reply->deleteLater();
    }
    if (m_tar) {
        m_tar->disconnect(this);
        m_tar->kill();
        m_tar->waitForFinished(2000);
        m_tar->deleteLater();
    }
    removeLeftovers();
}

void KPluginDownloader::removeLeftovers()
{
    m_file.close();
    QFile::remove(downloadFile());
    QDir(partialDir()).removeRecursively();
}

void KPluginDownloader::begin()
{
    if (!m_active)
        return;
    const QString scheme = m_url.scheme().toLower();
    if (!m_url.isValid() || (scheme != QLatin1String("http") && scheme != QLatin1String("https"))) {
        fail(QStringLiteral("package url %1 is not http or https").arg(m_url.toString()));
        return;
    }
    // Leftovers of an ended process are never half of this install.
    removeLeftovers();
    QDir().mkpath(QFileInfo(m_target).absolutePath());
    m_file.setFileName(downloadFile());
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        fail(QStringLiteral("cannot write %1: %2").arg(downloadFile(), m_file.errorString()));
        return;
    }

    QString problem;
    ulx::net::KNetworkAccess *network = ulx::net::networkAccess(&problem);
    if (!network) {
        fail(problem);
        return;
    }
    ulx::net::KHttpRequest request;
    request.url = m_url;
    request.followRedirects = true;
    // A transfer that moves nothing for this long ends with an error, so one stalled
    // server never holds every later load back.
    request.transferTimeoutMs = m_stallTimeoutMs;
    request.caFile = krt::serverinfo::caFile();
    request.readBufferSize = kPieceSize;
    m_total = m_expectedSize > 0 ? m_expectedSize : 0;
    m_hash.reset();
    if (!m_sha256.isEmpty()) {
        m_hash = network->createSha256();
        if (!m_hash) {
            fail(QStringLiteral("SHA-256 is not available"));
            return;
        }
    }
    m_reply = network->get(request, this);
    connect(m_reply, &ulx::net::KHttpReply::readyRead, this, &KPluginDownloader::onReadyRead);
    connect(m_reply, &ulx::net::KHttpReply::finished, this, &KPluginDownloader::onReplyFinished);
    Q_EMIT progress(m_total, 0);
}

void KPluginDownloader::onReadyRead()
{
    if (!m_active || !m_reply)
        return;
    const int status = m_reply->httpStatus();
    if (status != 200) {
        // Not from inside the reply's own signal: aborting there upsets it.
        disconnect(m_reply, &ulx::net::KHttpReply::readyRead, this, &KPluginDownloader::onReadyRead);
        const QString problem = QStringLiteral("%1 answered HTTP status %2").arg(m_url.toString()).arg(status);
        QTimer::singleShot(0, this, [this, problem] {
            if (m_active)
                fail(problem);
        });
        return;
    }
    if (m_total <= 0) {
        const qint64 length = m_reply->contentLength();
        if (length > 0)
            m_total = length;
    }
    QByteArray piece;
    while (m_reply->bytesAvailable() > 0) {
        piece = m_reply->read(kPieceSize);
        if (piece.isEmpty())
            break;
        if (m_file.write(piece) != piece.size()) {
            fail(QStringLiteral("cannot write %1: %2").arg(downloadFile(), m_file.errorString()));
            return;
        }
        if (m_hash)
            m_hash->addData(piece);
        m_received += piece.size();
        if (m_expectedSize >= 0 && m_received > m_expectedSize) {
            fail(QStringLiteral("%1 sent more than the %2 bytes of the package").arg(m_url.toString()).arg(m_expectedSize));
            return;
        }
    }
    Q_EMIT progress(m_total, m_received);
}

void KPluginDownloader::onReplyFinished()
{
    if (!m_active || !m_reply)
        return;
    const int status = m_reply->httpStatus();
    if (status != 0 && status != 200) {
        fail(QStringLiteral("%1 answered HTTP status %2").arg(m_url.toString()).arg(status));
        return;
    }
    if (m_reply->error() == ulx::net::KHttpReply::NoError)
        onReadyRead();
    if (!m_active)
        return;
    const ulx::net::KHttpReply::Error error = m_reply->error();
    if (error == ulx::net::KHttpReply::OperationCanceledError || error == ulx::net::KHttpReply::TimeoutError) {
        fail(QStringLiteral("%1 stalled: no data for %2 ms").arg(m_url.toString()).arg(m_stallTimeoutMs));
        return;
    }
    if (error != ulx::net::KHttpReply::NoError) {
        fail(QStringLiteral("%1 failed: %2").arg(m_url.toString(), m_reply->errorString()));
        return;
    }
    const qint64 length = m_reply->contentLength();
    if (length >= 0 && length != m_received) {
        fail(QStringLiteral("%1 ended after %2 of %3 bytes").arg(m_url.toString()).arg(m_received).arg(length));
        return;
    }
    if (m_expectedSize >= 0 && m_received != m_expectedSize) {
        fail(QStringLiteral("%1 has %2 bytes, the catalogue says %3").arg(m_url.toString()).arg(m_received).arg(m_expectedSize));
        return;
    }
    QString hash;
    if (m_hash)
        hash = QString::fromLatin1(m_hash->result().toHex());
    if (!m_sha256.isEmpty() && hash != m_sha256) {
        fail(QStringLiteral("%1 has SHA-256 %2, the catalogue says %3").arg(m_url.toString(), hash, m_sha256));
        return;
    }
    m_reply->deleteLater();
    m_reply = nullptr;
    if (!m_file.flush()) {
        fail(QStringLiteral("cannot write %1: %2").arg(downloadFile(), m_file.errorString()));
        return;
    }
    m_file.close();
    listArchive();
}

QProcess *KPluginDownloader::runTar(const QStringList &arguments)
{
    auto *tar = new QProcess(this);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
    tar->setProcessEnvironment(env);
    tar->setStandardInputFile(QProcess::nullDevice());
    const QString program = QStandardPaths::findExecutable(QStringLiteral("tar"));
    tar->start(program.isEmpty() ? QStringLiteral("/bin/tar") : program, arguments);
    m_tar = tar;
    return tar;
}

void KPluginDownloader::listArchive()
{
    QProcess *tar = runTar({QStringLiteral("-tf"), downloadFile()});
    connect(tar, &QProcess::finished, this, &KPluginDownloader::onListed);
    connect(tar, &QProcess::errorOccurred, this, [this](QProcess::ProcessError e) {
        if (e == QProcess::FailedToStart)
            fail(QStringLiteral("tar cannot be started"));
    });
}

void KPluginDownloader::onListed(int exitCode, QProcess::ExitStatus status)
{
    if (!m_active || !m_tar)
        return;
    const QString problem = QString::fromLocal8Bit(m_tar->readAllStandardError()).trimmed();
    const QStringList members = QString::fromLocal8Bit(m_tar->readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
    m_tar->deleteLater();
    m_tar = nullptr;
    if (status != QProcess::NormalExit || exitCode != 0) {
        fail(QStringLiteral("the package of %1 is not a tar archive: %2").arg(m_url.toString(), problem));
        return;
    }
    for (const QString &member : members) {
        if (escapes(member)) {
            fail(QStringLiteral("the package of %1 has a member outside the plugin: %2").arg(m_url.toString(), member));
            return;
        }
    }
    if (!QDir().mkpath(partialDir())) {
        fail(QStringLiteral("cannot create %1").arg(partialDir()));
        return;
    }
    QProcess *tar = runTar({QStringLiteral("-xf"), downloadFile(), QStringLiteral("-C"), partialDir(),
                            QStringLiteral("--no-same-owner")});
    connect(tar, &QProcess::finished, this, &KPluginDownloader::onExtracted);
}

void KPluginDownloader::onExtracted(int exitCode, QProcess::ExitStatus status)
{
    if (!m_active || !m_tar)
        return;
    const QString problem = QString::fromLocal8Bit(m_tar->readAllStandardError()).trimmed();
    m_tar->deleteLater();
    m_tar = nullptr;
    if (status != QProcess::NormalExit || exitCode != 0) {
        fail(QStringLiteral("the package of %1 does not unpack: %2").arg(m_url.toString(), problem));
        return;
    }
    complete();
}

void KPluginDownloader::complete()
{
    m_active = false;
    QFile::remove(downloadFile());
    const QString problem = moveInstalledCopy(partialDir(), m_target);
    Q_EMIT finished(problem.isEmpty(), problem);
}

void KPluginDownloader::fail(const QString &problem)
{
    cancel();
    Q_EMIT finished(false, problem);
}
