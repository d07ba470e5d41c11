#include "suite/plugins/kplugininstaller.h"

#include "suite/krt.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QSettings>

#include <ftw.h>
#include <sys/stat.h>

namespace {
// Largest single read: bounds memory whatever chunk size is configured.
constexpr qint64 kBufferSize = 64 * 1024;

qint64 positiveSetting(const QSettings &ini, const QString &key, qint64 fallback)
{
    bool ok = false;
    const qint64 v = ini.value(key).toLongLong(&ok);
    return ok && v > 0 ? v : fallback;
}

// nftw() has no user argument: the walk is single-threaded (main thread) and
// reports its first problem here.
QString *g_treeProblem = nullptr;

int secureEntry(const char *path, const struct stat *st, int, struct FTW *)
{
    const mode_t kind = st->st_mode & S_IFMT;
    if (kind == S_IFLNK)
        return 0; // a link has no mode of its own
    if (kind != S_IFREG && kind != S_IFDIR) {
        *g_treeProblem = QStringLiteral("%1 is neither a file nor a directory").arg(QFile::decodeName(path));
        return 1;
    }
    mode_t mode = st->st_mode & 07777 & ~mode_t(S_ISUID | S_ISGID | S_ISVTX | S_IWGRP | S_IWOTH);
    // The owner must be able to update and remove what was installed for him.
    mode |= kind == S_IFDIR ? S_IRWXU : mode_t(S_IRUSR | S_IWUSR);
    if (mode != (st->st_mode & 07777) && ::chmod(path, mode) != 0) {
        *g_treeProblem = QStringLiteral("cannot change the mode of %1").arg(QFile::decodeName(path));
        return 1;
    }
    return 0;
}
} // namespace

KPackageLimits KPackageLimits::fromConfig()
{
    const QSettings ini(krt::configPath(), QSettings::IniFormat);
    KPackageLimits limits;
    limits.maxBytes = positiveSetting(ini, QStringLiteral("Plugins/MaxPackageBytes"), DefaultMaxBytes);
    limits.maxMembers = positiveSetting(ini, QStringLiteral("Plugins/MaxPackageMembers"), DefaultMaxMembers);
    return limits;
}

QString securePluginTree(const QString &root)
{
    QString problem;
    g_treeProblem = &problem;
    // FTW_PHYS: links are looked at, never followed; FTW_DEPTH: a directory's
    // mode changes after its content was walked.
    const int rc = ::nftw(QFile::encodeName(root).constData(), &secureEntry, 32, FTW_PHYS | FTW_DEPTH);
    g_treeProblem = nullptr;
    if (rc != 0 && problem.isEmpty())
        problem = QStringLiteral("cannot walk %1").arg(root);
    return problem;
}

KPluginInstaller::KPluginInstaller(const QString &packageDir, const QString &targetDir, qint64 chunkSize,
                                   int intervalMs, QObject *parent)
    : QObject(parent)
    , m_package(packageDir)
    , m_target(targetDir)
    , m_chunkSize(chunkSize > 0 ? chunkSize : 1)
    , m_intervalMs(qMax(0, intervalMs))
{
    m_timer.setSingleShot(true);
    m_timer.setInterval(m_intervalMs);
}

KPluginInstaller::~KPluginInstaller()
{
    cancel();
}

void KPluginInstaller::start()
{
    if (m_active)
        return;
    m_active = true;
    disconnect(&m_timer, nullptr, this, nullptr);
    connect(&m_timer, &QTimer::timeout, this, &KPluginInstaller::prepare);
    // The first step always comes from the event loop, whatever the interval.
    m_timer.start(0);
}

void KPluginInstaller::cancel()
{
    if (!m_active)
        return;
    m_active = false;
    m_timer.stop();
    closeFiles();
    QDir(partialDir()).removeRecursively();
}

void KPluginInstaller::prepare()
{
    disconnect(&m_timer, nullptr, this, nullptr);
    if (m_package.isEmpty() || !QFileInfo(m_package).isDir()) {
        fail(QStringLiteral("package %1 is missing").arg(m_package));
        return;
    }

    // A partial directory can only be a leftover of an interrupted copy.
    QDir(partialDir()).removeRecursively();
    if (!QDir().mkpath(partialDir())) {
        fail(QStringLiteral("cannot create %1").arg(partialDir()));
        return;
    }

    const QDir package(m_package);
    const QString inside = QFileInfo(m_package).canonicalFilePath() + QLatin1Char('/');
    qint64 members = 0;
    QDirIterator it(m_package, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        const QString rel = package.relativeFilePath(info.filePath());
        if (++members > m_limits.maxMembers) {
            fail(QStringLiteral("package %1 has more than %2 members ([Plugins] MaxPackageMembers)")
                     .arg(m_package)
                     .arg(m_limits.maxMembers));
            return;
        }
        // A link may only stand for something of the package itself; a dangling one
        // leaves the package incomplete.
        if (info.isSymLink() && !info.canonicalFilePath().startsWith(inside)) {
            fail(QStringLiteral("package %1 has a link outside the plugin or to nothing: %2").arg(m_package, rel));
            return;
        }
        if (info.isDir()) {
            m_dirs << rel;
        } else if (info.isFile()) {
            m_files << Item{rel, info.size()};
            m_total += info.size();
            if (m_total > m_limits.maxBytes) {
                fail(QStringLiteral("package %1 has more than %2 bytes ([Plugins] MaxPackageBytes)")
                         .arg(m_package)
                         .arg(m_limits.maxBytes));
                return;
            }
        } else {
            fail(QStringLiteral("package %1 has %2, which is neither a file nor a directory").arg(m_package, rel));
            return;
        }
    }
    for (const QString &dir : std::as_const(m_dirs)) {
        if (!QDir(partialDir()).mkpath(dir)) {
            fail(QStringLiteral("cannot create %1/%2").arg(partialDir(), dir));
            return;
        }
    }

    Q_EMIT progress(m_total, 0);
    if (!m_active)
        return; // canceled by a receiver of progress()
    connect(&m_timer, &QTimer::timeout, this, &KPluginInstaller::step);
    // start(0) above changed the interval: every later step waits the configured time.
    m_timer.start(m_intervalMs);
}

void KPluginInstaller::step()
{
    QString problem;
    if (!copySome(m_chunkSize, &problem)) {
        fail(problem);
        return;
    }
    Q_EMIT progress(m_total, m_received);
    if (!m_active)
        return; // canceled by a receiver of progress()
    if (m_next >= m_files.size() && !m_source.isOpen())
        complete();
    else
        m_timer.start(m_intervalMs);
}

bool KPluginInstaller::copySome(qint64 budget, QString *problem)
{
    QByteArray buffer;
    while (budget > 0) {
        if (!m_source.isOpen()) {
            if (m_next >= m_files.size())
                return true;
            const Item &item = m_files.at(m_next++);
            m_source.setFileName(m_package + QLatin1Char('/') + item.relativePath);
            m_dest.setFileName(partialDir() + QLatin1Char('/') + item.relativePath);
            if (!m_source.open(QIODevice::ReadOnly)) {
                *problem = QStringLiteral("cannot read %1: %2").arg(m_source.fileName(), m_source.errorString());
                return false;
            }
            if (!m_dest.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
                *problem = QStringLiteral("cannot write %1: %2").arg(m_dest.fileName(), m_dest.errorString());
                return false;
            }
        }
        buffer.resize(qMin(budget, kBufferSize));
        const qint64 n = m_source.read(buffer.data(), buffer.size());
        if (n < 0) {
            *problem = QStringLiteral("cannot read %1: %2").arg(m_source.fileName(), m_source.errorString());
            return false;
        }
        if (n > 0 && m_dest.write(buffer.constData(), n) != n) {
            *problem = QStringLiteral("cannot write %1: %2").arg(m_dest.fileName(), m_dest.errorString());
            return false;
        }
        m_received += n;
        budget -= n;
        if (m_received > m_limits.maxBytes) {
            // A file that grows while it is copied.
            *problem = QStringLiteral("package %1 has more than %2 bytes ([Plugins] MaxPackageBytes)")
                           .arg(m_package)
                           .arg(m_limits.maxBytes);
            return false;
        }
        if (n == 0 || m_source.atEnd()) {
            const QFileDevice::Permissions permissions = m_source.permissions();
            m_source.close();
            if (!m_dest.flush()) {
                *problem = QStringLiteral("cannot write %1: %2").arg(m_dest.fileName(), m_dest.errorString());
                return false;
            }
            m_dest.close();
            // Programs and libraries of the plugin keep their execute bits; nobody
            // but the owner may change them.
            m_dest.setPermissions(permissions & ~(QFileDevice::WriteGroup | QFileDevice::WriteOther));
        }
    }
    return true;
}

QString moveInstalledCopy(const QString &partial, const QString &target)
{
    if (QFileInfo::exists(target)) {
        QDir(partial).removeRecursively();
    } else if (!QDir().rename(partial, target)) {
        QDir(partial).removeRecursively();
        return QStringLiteral("cannot rename %1 to %2").arg(partial, target);
    }
    return {};
}

void KPluginInstaller::complete()
{
    m_active = false;
    const QString problem = moveInstalledCopy(partialDir(), m_target);
    Q_EMIT finished(problem.isEmpty(), problem);
}

void KPluginInstaller::fail(const QString &problem)
{
    cancel();
    Q_EMIT finished(false, problem);
}

void KPluginInstaller::closeFiles()
{
    m_source.close();
    m_dest.close();
}
