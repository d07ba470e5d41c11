#include "platform/namedmutex.h"

#include "platform/xdgpaths.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ulx::namedmutex {
namespace {

const QLatin1String GlobalPrefix("Global\\");

// A directory shared by every user: made sticky and world-writable like /tmp, so
// nobody can remove or replace another user's lock file in it. A directory that
// exists is accepted only when it is a real directory with the sticky bit.
bool ensureSharedDir(const QString &path)
{
    const QByteArray p = QFile::encodeName(path);
    if (::mkdir(p.constData(), 01777) == 0) {
        ::chmod(p.constData(), 01777); // the umask narrowed it
        return true;
    }
    if (errno != EEXIST)
        return false;
    struct stat st{};
    return ::lstat(p.constData(), &st) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX);
}

QString globalDir()
{
    const QString forced = QString::fromLocal8Bit(qgetenv("ULX_GLOBAL_LOCK_DIR"));
    if (!forced.isEmpty())
        return ensureSharedDir(forced) ? forced : QString();
    for (const QString &dir : {QStringLiteral("/run/lock/corvanta"), QStringLiteral("/tmp/.corvanta-locks")}) {
        if (ensureSharedDir(dir))
            return dir;
    }
    return {};
}

QString userDir()
{
    const QString dir = ulx::paths::runtimeDir() + QStringLiteral("/corvanta/mutex");
    return QDir().mkpath(dir) ? dir : QString();
}

} // namespace

QString encodeName(const QString &name)
{
    QString out = name;
    out.replace(QLatin1Char('%'), QLatin1String("%25"));
    out.replace(QLatin1Char('/'), QLatin1String("%2F"));
    return out;
}

QString filePath(const QString &name)
{
    const bool global = name.startsWith(GlobalPrefix);
    const QString rest = encodeName(global ? name.mid(GlobalPrefix.size()) : name);
    if (rest.isEmpty() || rest == QLatin1String(".") || rest == QLatin1String(".."))
        return {};
    const QString dir = global ? globalDir() : userDir();
    return dir.isEmpty() ? QString() : dir + QLatin1Char('/') + rest;
}

bool isPresent(const QString &name)
{
    const QString path = filePath(name);
    if (path.isEmpty())
        return false;
    int fd;
    do {
        fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return errno != ENOENT;
    const bool held = !filelock::lock(fd, filelock::Kind::Flock, filelock::Mode::Exclusive, filelock::Wait::No);
    ::close(fd); // also drops the lock we may just have taken
    return held;
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
    const int fd = filelock::openLockFile(AT_FDCWD, QFile::encodeName(m_path));
    if (fd < 0) {
        m_error = QStringLiteral("cannot open %1: %2").arg(m_path, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
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
