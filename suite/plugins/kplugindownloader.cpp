#include "suite/plugins/kplugindownloader.h"

#include "suite/krt.h"
#include "suite/plugins/kplugininstaller.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QStandardPaths>
#include <QTimer>

#include <cstring>

namespace {
// What the reply may buffer, and the most one read takes: the body goes to disk
// in pieces of at most this size, never whole.
constexpr qint64 kPieceSize = 1024 * 1024;
// A listing line longer than this is no member name tar would unpack.
constexpr qint64 kMaxListingLine = 64 * 1024;
// How much of tar's complaints goes into the log.
constexpr qsizetype kMaxTarErrors = 2048;
// Links followed while resolving one link, as the kernel allows.
constexpr int kMaxLinkHops = 40;

bool escapes(const QString &member)
{
    if (member.startsWith(QLatin1Char('/')))
        return true;
    const QStringList parts = member.split(QLatin1Char('/'));
    return parts.contains(QStringLiteral(".."));
}

// A member name as the path below the plugin's directory: "./a//b/" is "a/b".
QStringList partsOf(const QString &name)
{
    QStringList parts = name.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    parts.removeAll(QStringLiteral("."));
    return parts;
}

// Follows `target` from the directory `path` through the archive's own links;
// false when it would leave the plugin's directory (or loops).
bool resolveInside(QStringList *path, const QString &target, const QHash<QString, QString> &links, int *hops)
{
    if (target.startsWith(QLatin1Char('/')) || --*hops < 0)
        return false;
    for (const QString &part : target.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (part == QLatin1String("."))
            continue;
        if (part == QLatin1String("..")) {
            if (path->isEmpty())
                return false;
            path->removeLast();
            continue;
        }
        path->append(part);
        const auto link = links.constFind(path->join(QLatin1Char('/')));
        if (link != links.constEnd()) {
            path->removeLast();
            if (!resolveInside(path, *link, links, hops))
                return false;
        }
    }
    return true;
}

// One line of `tar -tv --numeric-owner --quoting-style=c`:
//   <mode> <uid>/<gid> <size> <date> <time> "<name>"[ -> "<target>"| link to "<target>"]
// A device shows "<major>,<minor>" for its size; no field before the name holds a '"'.
struct ListedMember
{
    char type = 0; // the mode's first letter: '-' file, 'd' directory, 'l' link, 'h' hard link, ...
    qint64 size = 0;
    QString name;
    QString target;
};

// The C-quoted string at `at` (its opening quote) into `out`; the index after it, or -1.
qsizetype unquote(const QByteArray &line, qsizetype at, QString *out)
{
    if (at >= line.size() || line.at(at) != '"')
        return -1;
    QByteArray bytes;
    for (qsizetype i = at + 1; i < line.size(); ++i) {
        const char c = line.at(i);
        if (c == '"') {
            *out = QFile::decodeName(bytes);
            return i + 1;
        }
        if (c != '\\') {
            bytes.append(c);
            continue;
        }
        if (++i >= line.size())
            return -1;
        const char e = line.at(i);
        if (e >= '0' && e <= '7') {
            int value = 0;
            for (int n = 0; n < 3 && i < line.size() && line.at(i) >= '0' && line.at(i) <= '7'; ++n, ++i)
                value = value * 8 + (line.at(i) - '0');
            --i;
            bytes.append(char(value));
            continue;
        }
        static constexpr char Escaped[] = "abfnrtv", Meant[] = "\a\b\f\n\r\t\v";
        const char *known = std::strchr(Escaped, e);
        bytes.append(known && e ? Meant[known - Escaped] : e);
    }
    return -1;
}

bool parseMember(const QByteArray &line, ListedMember *member)
{
    const qsizetype quote = line.indexOf('"');
    if (quote < 0)
        return false;
    const QList<QByteArray> fields = line.left(quote).simplified().split(' ');
    if (fields.size() < 3 || fields.first().isEmpty())
        return false;
    member->type = fields.first().at(0);
    bool ok = false;
    member->size = fields.at(2).toLongLong(&ok);
    if (!ok || member->size < 0) {
        if (member->type == '-')
            return false;
        member->size = 0;
    }
    const qsizetype end = unquote(line, quote, &member->name);
    if (end < 0)
        return false;
    const QByteArray rest = line.mid(end);
    if (rest.startsWith(" -> "))
        return unquote(line, end + 4, &member->target) == line.size();
    if (rest.startsWith(" link to "))
        return unquote(line, end + 9, &member->target) == line.size();
    return rest.isEmpty();
}

QString kindOf(char type)
{
    switch (type) {
    case 'h':
        return QStringLiteral("a hard link");
    case 'c':
        return QStringLiteral("a character device");
    case 'b':
        return QStringLiteral("a block device");
    case 'p':
        return QStringLiteral("a FIFO");
    case 's':
        return QStringLiteral("a socket");
    default:
        return QStringLiteral("a special member (%1)").arg(QLatin1Char(type));
    }
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
    if (m_expectedSize > m_limits.maxBytes) {
        fail(QStringLiteral("the package of %1 has %2 bytes, more than the %3 bytes a package may have ([Plugins] MaxPackageBytes)")
                 .arg(m_url.toString())
                 .arg(m_expectedSize)
                 .arg(m_limits.maxBytes));
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
        if (m_total > m_limits.maxBytes) {
            fail(QStringLiteral("%1 announces %2 bytes, more than the %3 bytes a package may have ([Plugins] MaxPackageBytes)")
                     .arg(m_url.toString())
                     .arg(m_total)
                     .arg(m_limits.maxBytes));
            return;
        }
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
        if (m_received > m_limits.maxBytes) {
            // No size in the catalogue: an endless body must not fill the disk.
            fail(QStringLiteral("%1 sent more than the %2 bytes a package may have ([Plugins] MaxPackageBytes)")
                     .arg(m_url.toString())
                     .arg(m_limits.maxBytes));
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
    m_members = 0;
    m_unpackedBytes = 0;
    m_links.clear();
    m_tarErrors.clear();
    // Quoted names: a newline or " -> " inside a name cannot be mistaken for the
    // end of a line or a link. The listing is read as it comes, never whole.
    QProcess *tar = runTar({QStringLiteral("-tvf"), downloadFile(), QStringLiteral("--numeric-owner"),
                            QStringLiteral("--quoting-style=c")});
    connect(tar, &QProcess::readyReadStandardOutput, this, &KPluginDownloader::onListing);
    connect(tar, &QProcess::readyReadStandardError, this, &KPluginDownloader::keepTarErrors);
    connect(tar, &QProcess::finished, this, &KPluginDownloader::onListed);
    connect(tar, &QProcess::errorOccurred, this, [this](QProcess::ProcessError e) {
        if (e == QProcess::FailedToStart)
            fail(QStringLiteral("tar cannot be started"));
    });
}

void KPluginDownloader::keepTarErrors()
{
    if (!m_tar)
        return;
    const QByteArray more = m_tar->readAllStandardError();
    if (m_tarErrors.size() < kMaxTarErrors)
        m_tarErrors += more.left(kMaxTarErrors - m_tarErrors.size());
}

void KPluginDownloader::failSoon(const QString &problem)
{
    // Not from inside the process's own signal: killing it there upsets it.
    if (m_tar)
        m_tar->disconnect(this);
    QTimer::singleShot(0, this, [this, problem] {
        if (m_active)
            fail(problem);
    });
}

void KPluginDownloader::onListing()
{
    if (!m_active || !m_tar)
        return;
    QString problem;
    while (m_tar->canReadLine()) {
        QByteArray line = m_tar->readLine();
        line.chop(1);
        if (!checkMember(line, &problem)) {
            failSoon(problem);
            return;
        }
    }
    if (m_tar->bytesAvailable() > kMaxListingLine)
        failSoon(QStringLiteral("the package of %1 has a member name of more than %2 bytes").arg(m_url.toString()).arg(kMaxListingLine));
}

bool KPluginDownloader::checkMember(const QByteArray &line, QString *problem)
{
    const QString url = m_url.toString();
    ListedMember member;
    if (!parseMember(line, &member)) {
        *problem = QStringLiteral("the package of %1 lists a member tar cannot have written: %2")
                       .arg(url, QString::fromLocal8Bit(line.left(200)));
        return false;
    }
    if (++m_members > m_limits.maxMembers) {
        *problem = QStringLiteral("the package of %1 has more than %2 members ([Plugins] MaxPackageMembers)")
                       .arg(url)
                       .arg(m_limits.maxMembers);
        return false;
    }
    if (escapes(member.name)) {
        *problem = QStringLiteral("the package of %1 has a member outside the plugin: %2").arg(url, member.name);
        return false;
    }
    const QStringList parts = partsOf(member.name);
    for (qsizetype n = 1; n < parts.size(); ++n) {
        // tar would write through the link, wherever it leads.
        if (m_links.contains(parts.first(n).join(QLatin1Char('/')))) {
            *problem = QStringLiteral("the package of %1 has a member below a link: %2").arg(url, member.name);
            return false;
        }
    }
    switch (member.type) {
    case '-':
        m_unpackedBytes += member.size;
        if (m_unpackedBytes > m_limits.maxBytes) {
            *problem = QStringLiteral("the package of %1 unpacks to more than %2 bytes ([Plugins] MaxPackageBytes)")
                           .arg(url)
                           .arg(m_limits.maxBytes);
            return false;
        }
        return true;
    case 'd':
        return true;
    case 'l':
        if (parts.isEmpty()) {
            *problem = QStringLiteral("the package of %1 replaces the plugin's directory by a link").arg(url);
            return false;
        }
        m_links.insert(parts.join(QLatin1Char('/')), member.target);
        return true;
    default:
        *problem = QStringLiteral("the package of %1 has %2: %3; only files, directories and links inside the plugin are installed")
                       .arg(url, kindOf(member.type), member.name);
        return false;
    }
}

void KPluginDownloader::onListed(int exitCode, QProcess::ExitStatus status)
{
    if (!m_active || !m_tar)
        return;
    keepTarErrors();
    QString problem;
    // The last lines may come with the end of the process.
    const QList<QByteArray> rest = m_tar->readAllStandardOutput().split('\n');
    for (const QByteArray &line : rest) {
        if (!line.isEmpty() && !checkMember(line, &problem)) {
            fail(problem);
            return;
        }
    }
    m_tar->deleteLater();
    m_tar = nullptr;
    if (status != QProcess::NormalExit || exitCode != 0) {
        fail(QStringLiteral("the package of %1 is not a tar archive: %2")
                 .arg(m_url.toString(), QString::fromLocal8Bit(m_tarErrors).trimmed()));
        return;
    }
    // Every link is followed through the others: a chain may not climb out either.
    for (auto link = m_links.cbegin(); link != m_links.cend(); ++link) {
        QStringList where = link.key().split(QLatin1Char('/'));
        where.removeLast();
        int hops = kMaxLinkHops;
        if (!resolveInside(&where, link.value(), m_links, &hops)) {
            fail(QStringLiteral("the package of %1 has a link outside the plugin: %2 -> %3")
                     .arg(m_url.toString(), link.key(), link.value()));
            return;
        }
    }
    // Only this user may enter while tar unpacks: the modes of the archive hold until
    // securePluginTree() has made them safe.
    if (!QDir().mkpath(partialDir()) || !QFile::setPermissions(partialDir(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner)
        || !QDir().mkpath(unpackDir())) {
        fail(QStringLiteral("cannot create %1").arg(unpackDir()));
        return;
    }
    m_tarErrors.clear();
    QProcess *tar = runTar({QStringLiteral("-xf"), downloadFile(), QStringLiteral("-C"), unpackDir(),
                            QStringLiteral("--no-same-owner"), QStringLiteral("--no-same-permissions")});
    connect(tar, &QProcess::readyReadStandardError, this, &KPluginDownloader::keepTarErrors);
    connect(tar, &QProcess::finished, this, &KPluginDownloader::onExtracted);
}

void KPluginDownloader::onExtracted(int exitCode, QProcess::ExitStatus status)
{
    if (!m_active || !m_tar)
        return;
    keepTarErrors();
    m_tar->deleteLater();
    m_tar = nullptr;
    if (status != QProcess::NormalExit || exitCode != 0) {
        fail(QStringLiteral("the package of %1 does not unpack: %2")
                 .arg(m_url.toString(), QString::fromLocal8Bit(m_tarErrors).trimmed()));
        return;
    }
    const QString problem = securePluginTree(unpackDir());
    if (!problem.isEmpty()) {
        fail(QStringLiteral("the package of %1 cannot be installed: %2").arg(m_url.toString(), problem));
        return;
    }
    complete();
}

void KPluginDownloader::complete()
{
    m_active = false;
    QFile::remove(downloadFile());
    const QString problem = moveInstalledCopy(unpackDir(), m_target);
    QDir(partialDir()).removeRecursively();
    Q_EMIT finished(problem.isEmpty(), problem);
}

void KPluginDownloader::fail(const QString &problem)
{
    cancel();
    Q_EMIT finished(false, problem);
}
