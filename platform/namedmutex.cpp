#include "platform/namedmutex.h"

#include "platform/runtimedir.h"

#include <QCryptographicHash>
#include <QFile>
#include <QLoggingCategory>
#include <QMutex>
#include <QSet>

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcNamedMutex, "ulx.namedmutex", QtWarningMsg)

namespace ulx::namedmutex {
namespace {

const QLatin1String GlobalPrefix("Global\\");
// The readable head kept of a name too long for a file name; the rest is a digest.
constexpr qsizetype LongNameHeadBytes = 160;

// Each problem with a shared directory is worth one line per process, not one per test.
void warnOnce(const QString &text)
{
    static QMutex mutex;
    static QSet<QString> said;
    QMutexLocker lock(&mutex);
    if (said.contains(text))
        return;
    said.insert(text);
    qCWarning(lcNamedMutex).noquote() << text;
}

int openNoFollow(int dirFd, const char *name, int flags)
{
    int fd;
    do {
        fd = ::openat(dirFd, name, flags | O_CLOEXEC | O_NOFOLLOW);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

bool plausibleHolder(uid_t uid)
{
    return uid == 0 || uid == ::geteuid();
}

// How far a shared lock directory can be believed.
enum class Trust {
    Full,    // root's or ours, and nobody can remove another's file in it
    PerFile, // another user's, sticky and world-writable: its owner can remove and
             // replace any file in it, so only a file he cannot have made tells the truth
    None,
};

Trust judge(const struct stat &st, const QString &path, QString *problem)
{
    if (!S_ISDIR(st.st_mode)) {
        *problem = path + QStringLiteral(" is not a real directory");
        return Trust::None;
    }
    const bool sticky = st.st_mode & S_ISVTX;
    const bool othersWrite = st.st_mode & (S_IWGRP | S_IWOTH);
    if (plausibleHolder(st.st_uid) && (sticky || !othersWrite))
        return Trust::Full;
    if (sticky && (st.st_mode & S_IWOTH)) {
        *problem = path + QStringLiteral(" belongs to uid %1").arg(st.st_uid);
        return Trust::PerFile;
    }
    *problem = path + QStringLiteral(" belongs to uid %1 with mode %2").arg(st.st_uid).arg(st.st_mode & 07777, 4, 8, QLatin1Char('0'));
    return Trust::None;
}

QStringList globalDirs()
{
    const QString forced = QString::fromLocal8Bit(qgetenv("ULX_GLOBAL_LOCK_DIR"));
    if (!forced.isEmpty())
        return {forced};
    return {QStringLiteral("/run/lock/corvanta"), QStringLiteral("/tmp/.corvanta-locks")};
}

// The shared directory to make a lock file in: the first that is, or can be made,
// fully trusted. Another user's directory is passed over: its owner could remove
// our held file and let a second holder in.
QString globalDirForLocking()
{
    for (const QString &dir : globalDirs()) {
        const QByteArray p = QFile::encodeName(dir);
        if (::mkdir(p.constData(), 01777) == 0)
            ::chmod(p.constData(), 01777); // the umask narrowed it
        struct stat st{};
        if (::lstat(p.constData(), &st) != 0)
            continue;
        QString problem;
        if (judge(st, dir, &problem) == Trust::Full)
            return dir;
        warnOnce(QStringLiteral("not locking in %1: %2").arg(dir, problem));
    }
    return {};
}

// The user's own directory, inside the runtime directory the channel uses: private
// to this user, so nobody else can hold (or fake) one of the user's mutexes.
QString userDir(bool create)
{
    std::unique_ptr<ulx::runtimedir::KRuntimeDir> dir;
    if (!ulx::runtimedir::openChosen(create, &dir))
        return {};
    if (create) {
        ::mkdirat(dir->fd(), "corvanta", 0700);
        ::mkdirat(dir->fd(), "corvanta/mutex", 0700);
    }
    return QFile::decodeName(QByteArray::fromStdString(dir->path())) + QStringLiteral("/corvanta/mutex");
}

// The file name of the name without its prefix; empty when it cannot be one.
QString fileNameOf(const QString &rest)
{
    const QString encoded = encodeName(rest);
    if (encoded.isEmpty() || encoded == QLatin1String(".") || encoded == QLatin1String(".."))
        return {};
    const QByteArray bytes = QFile::encodeName(encoded);
    if (bytes.size() <= NAME_MAX)
        return encoded;
    // Too long for a file name: a readable head, then "%L" (which encodeName never
    // makes) and the digest of the whole name, so distinct names stay distinct.
    qsizetype cut = LongNameHeadBytes;
    while (cut > 0 && (uchar(bytes.at(cut)) & 0xC0) == 0x80)
        --cut; // not inside a UTF-8 sequence
    const QByteArray digest = QCryptographicHash::hash(rest.toUtf8(), QCryptographicHash::Sha256).toHex();
    return QFile::decodeName(bytes.left(cut)) + QStringLiteral("%L") + QString::fromLatin1(digest);
}

bool isGlobal(const QString &name)
{
    return name.startsWith(GlobalPrefix);
}

// Whether the open lock file is held by another description, without keeping a lock.
bool heldByOther(int fd)
{
    const bool held = !filelock::lock(fd, filelock::Kind::Flock, filelock::Mode::Exclusive, filelock::Wait::No);
    ::close(fd); // also drops the lock we may just have taken
    return held;
}

bool isPresentInDir(const QString &dir, const QString &file, Trust trust, const QString &problem)
{
    const int fd = openNoFollow(AT_FDCWD, QFile::encodeName(dir + QLatin1Char('/') + file).constData(),
                                O_RDONLY | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT && trust == Trust::Full)
            return false;
        if (errno == ENOENT)
            warnOnce(QStringLiteral("%1, who may have removed a held lock file: \"%2\" is taken as held")
                         .arg(problem, file));
        return true; // a file we may not open (another user's) may well be held
    }
    struct stat st{};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return true;
    }
    if (trust == Trust::PerFile && !plausibleHolder(st.st_uid)) {
        ::close(fd);
        warnOnce(QStringLiteral("%1, and the lock file \"%2\" to uid %3: it is taken as held")
                     .arg(problem, file).arg(st.st_uid));
        return true;
    }
    return heldByOther(fd);
}

bool isGlobalPresent(const QString &file)
{
    for (const QString &dir : globalDirs()) {
        struct stat st{};
        if (::lstat(QFile::encodeName(dir).constData(), &st) != 0) {
            if (errno == ENOENT)
                continue; // a holder would have made it
            warnOnce(QStringLiteral("cannot look at %1 (%2): every lock in it is taken as held")
                         .arg(dir, QString::fromLocal8Bit(std::strerror(errno))));
            return true;
        }
        QString problem;
        const Trust trust = judge(st, dir, &problem);
        if (trust == Trust::None) {
            warnOnce(QStringLiteral("%1: every lock in it is taken as held").arg(problem));
            return true;
        }
        return isPresentInDir(dir, file, trust, problem);
    }
    return false;
}

} // namespace

QString encodeName(const QString &name)
{
    QString out;
    out.reserve(name.size());
    for (QChar c : name) {
        if (c == QLatin1Char('%'))
            out += QLatin1String("%25");
        else if (c == QLatin1Char('/'))
            out += QLatin1String("%2F");
        else if (c.isNull())
            out += QLatin1String("%00"); // a file name ends at NUL: "a\0b" must not become "a"
        else
            out += c;
    }
    return out;
}

QString filePath(const QString &name)
{
    const bool global = isGlobal(name);
    const QString file = fileNameOf(global ? name.mid(GlobalPrefix.size()) : name);
    if (file.isEmpty())
        return {};
    const QString dir = global ? globalDirForLocking() : userDir(true);
    return dir.isEmpty() ? QString() : dir + QLatin1Char('/') + file;
}

bool isPresent(const QString &name)
{
    const bool global = isGlobal(name);
    const QString file = fileNameOf(global ? name.mid(GlobalPrefix.size()) : name);
    if (file.isEmpty())
        return false;
    if (global)
        return isGlobalPresent(file);
    const QString dir = userDir(false);
    return !dir.isEmpty() && isPresentInDir(dir, file, Trust::Full, QString());
}

NamedMutex::NamedMutex(const QString &name)
    : m_name(name)
{
}

NamedMutex::~NamedMutex()
{
    unlock();
}

bool NamedMutex::lock(filelock::Wait wait)
{
    if (m_fd >= 0)
        return true;
    m_path = filePath(m_name);
    if (m_path.isEmpty()) {
        m_error = QStringLiteral("no directory for the mutex \"%1\"").arg(m_name);
        return false;
    }
    const QByteArray path = QFile::encodeName(m_path);
    int fd = filelock::openLockFile(AT_FDCWD, path);
    if (fd < 0 && errno == EACCES && isGlobal(m_name)) {
        // Another user's lock file, left behind: flock needs no write access.
        fd = openNoFollow(AT_FDCWD, path.constData(), O_RDONLY | O_NONBLOCK);
        struct stat st{};
        if (fd >= 0 && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
            ::close(fd);
            fd = -1;
            errno = EINVAL;
        }
    }
    if (fd < 0) {
        m_error = QStringLiteral("cannot open %1: %2").arg(m_path, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    // Every user must be able to open a shared lock file to see whether it is held.
    struct stat st{};
    if (isGlobal(m_name) && ::fstat(fd, &st) == 0 && st.st_uid == ::geteuid() && (st.st_mode & 0777) != 0644)
        ::fchmod(fd, 0644);
    if (!filelock::lock(fd, filelock::Kind::Flock, filelock::Mode::Exclusive, wait)) {
        m_error = QStringLiteral("cannot lock %1: %2").arg(m_path, QString::fromLocal8Bit(std::strerror(errno)));
        ::close(fd);
        return false;
    }
    m_fd = fd;
    m_error.clear();
    return true;
}

void NamedMutex::unlock()
{
    if (m_fd < 0)
        return;
    // The file stays: removing it would let a waiter lock an unlinked file while a
    // newcomer locks a new one under the same name.
    ::close(m_fd);
    m_fd = -1;
}

} // namespace ulx::namedmutex
