#include "platform/filelock.h"

#include <QFile>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
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

bool isHeldByOther(int fd, Kind kind)
{
    if (kind == Kind::OpenFileDescription) {
        struct flock fl;
        std::memset(&fl, 0, sizeof fl);
        fl.l_type = F_WRLCK; // conflicts with any holder, shared or exclusive
        fl.l_whence = SEEK_SET;
        return ::fcntl(fd, F_OFD_GETLK, &fl) == 0 && fl.l_type != F_UNLCK;
    }
    // flock(2) has no query: try it on a description of our own and give it back.
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
