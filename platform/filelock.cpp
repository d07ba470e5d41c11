#include "platform/filelock.h"

#include <QFile>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace ulx::filelock {

int openLockFile(int dirFd, const QByteArray &name, bool create)
{
    const int flags = O_RDWR | O_CLOEXEC | O_NOFOLLOW | (create ? O_CREAT : 0);
    int fd;
    do {
        fd = ::openat(dirFd, name.constData(), flags, 0600);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return -1;
    struct stat st{};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

bool lock(int fd, Kind kind, Mode mode, Wait wait)
{
    for (;;) {
        int rc;
        if (kind == Kind::Flock) {
            rc = ::flock(fd, (mode == Mode::Exclusive ? LOCK_EX : LOCK_SH) | (wait == Wait::No ? LOCK_NB : 0));
        } else {
            struct flock fl;
            std::memset(&fl, 0, sizeof fl);
            fl.l_type = mode == Mode::Exclusive ? F_WRLCK : F_RDLCK;
            fl.l_whence = SEEK_SET;
            rc = ::fcntl(fd, wait == Wait::No ? F_OFD_SETLK : F_OFD_SETLKW, &fl);
            if (rc != 0 && errno == EACCES)
                errno = EWOULDBLOCK;
        }
        if (rc == 0)
            return true;
        if (errno != EINTR)
            return false;
    }
}

void unlock(int fd, Kind kind)
{
    if (kind == Kind::Flock) {
        ::flock(fd, LOCK_UN);
        return;
    }
    struct flock fl;
    std::memset(&fl, 0, sizeof fl);
    fl.l_type = F_UNLCK;
    fl.l_whence = SEEK_SET;
    ::fcntl(fd, F_OFD_SETLK, &fl);
}

namespace {

QByteArray readProcFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// "READ" or "WRITE" when the description of `fd` holds a flock lock, else empty.
QByteArray ownFlockMode(int fd)
{
    const QList<QByteArray> lines = readProcFile(QStringLiteral("/proc/self/fdinfo/%1").arg(fd)).split('\n');
    for (const QByteArray &line : lines) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        // lock: 1: FLOCK ADVISORY WRITE <pid> <maj:min:ino> 0 EOF
        if (fields.size() > 4 && fields.at(0) == "lock:" && fields.at(2) == "FLOCK")
            return fields.at(4);
    }
    return QByteArray();
}

// The number of descriptions that hold a flock lock on `fd`'s file.
int flockHolders(int fd)
{
    struct stat st{};
    if (::fstat(fd, &st) != 0)
        return 0;
    char id[64];
    std::snprintf(id, sizeof id, "%02x:%02x:%lu", major(st.st_dev), minor(st.st_dev), (unsigned long)st.st_ino);
    int holders = 0;
    const QList<QByteArray> lines = readProcFile(QStringLiteral("/proc/locks")).split('\n');
    for (const QByteArray &line : lines) {
        // 4: FLOCK ADVISORY READ <pid> <maj:min:ino> 0 EOF; waiters are listed as "4: -> FLOCK ...".
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() > 5 && fields.at(1) == "FLOCK" && fields.at(5) == id)
            ++holders;
    }
    return holders;
}

} // namespace

bool isHeldByOther(int fd, Kind kind)
{
    if (kind == Kind::OpenFileDescription) {
        struct flock fl;
        std::memset(&fl, 0, sizeof fl);
        fl.l_type = F_WRLCK; // conflicts with any holder, shared or exclusive
        fl.l_whence = SEEK_SET;
        return ::fcntl(fd, F_OFD_GETLK, &fl) == 0 && fl.l_type != F_UNLCK;
    }
    // flock(2) has no query. The kernel lists the flock locks of every file, and
    // of each descriptor the one its description holds.
    const QByteArray own = ownFlockMode(fd);
    if (own == "WRITE")
        return false; // nobody else can hold one beside ours
    if (own == "READ")
        return flockHolders(fd) > 1;
    // Nothing of ours: try it on a description of our own and give it back.
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    const int probe = ::open(path, O_RDONLY | O_CLOEXEC);
    if (probe < 0)
        return false;
    const bool held = !lock(probe, Kind::Flock, Mode::Exclusive, Wait::No) && errno == EWOULDBLOCK;
    ::close(probe); // closing drops the probe's lock if it got one
    return held;
}

FileLock::FileLock(const QString &path, Kind kind, Mode mode, Wait wait)
{
    m_fd = openLockFile(AT_FDCWD, QFile::encodeName(path));
    if (m_fd >= 0 && !lock(m_fd, kind, mode, wait)) {
        const int saved = errno;
        ::close(m_fd);
        m_fd = -1;
        errno = saved;
    }
}

FileLock::~FileLock()
{
    if (m_fd >= 0)
        ::close(m_fd); // closing the last descriptor of the description releases the lock
}

} // namespace ulx::filelock
