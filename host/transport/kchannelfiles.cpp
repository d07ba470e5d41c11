#include "host/transport/kchannelfiles.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ulx::hostchannel {
namespace {

bool isNameUnit(char16_t c)
{
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') || c == u'_'
        || c == u'-' || c == u'.';
}

// Creates the missing ancestors of `path`, private to this user like the leaf.
void makeParents(const std::string &path)
{
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        const std::string prefix = path.substr(0, slash);
        if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST)
            return;
    }
}

int openLockFile(int dirFd, const std::string &name, int flags)
{
    const int fd = ::openat(dirFd, name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return -1;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int takeLock(int dirFd, const std::string &name, short type)
{
    const int fd = openLockFile(dirFd, name, O_RDWR | O_CREAT);
    if (fd < 0)
        return -1;
    struct flock fl;
    std::memset(&fl, 0, sizeof fl);
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    if (::fcntl(fd, F_OFD_SETLK, &fl) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

bool isValidChannelName(std::u16string_view name)
{
    if (name.empty() || name.size() > MaxChannelNameLength || name.front() == u'.')
        return false;
    for (char16_t c : name) {
        if (!isNameUnit(c))
            return false;
    }
    return true;
}

std::string fileStem(std::u16string_view name)
{
    std::string out;
    out.reserve(name.size());
    for (char16_t c : name)
        out.push_back(char(c));
    return out;
}

KRuntimeDir::KRuntimeDir(std::string path)
    : m_path(std::move(path))
{
}

KRuntimeDir::~KRuntimeDir()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

DirState KRuntimeDir::refuse(std::string problem)
{
    m_problem = std::move(problem);
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    return DirState::Unsafe;
}

DirState KRuntimeDir::open(bool create)
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_problem.clear();
    if (m_path.empty() || m_path.front() != '/')
        return refuse("runtime directory is not an absolute path");

    if (create) {
        makeParents(m_path);
        ::mkdir(m_path.c_str(), 0700); // EEXIST is the common case; the checks below judge the result
    }
    // O_NOFOLLOW: a symbolic link in place of the directory is refused, never followed.
    m_fd = ::open(m_path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (m_fd < 0) {
        const int error = errno;
        if (error == ENOENT)
            return DirState::Missing;
        if (error == ELOOP || error == ENOTDIR)
            return refuse(m_path + " is not a real directory");
        return refuse(m_path + ": " + std::strerror(error));
    }
    struct stat st;
    if (::fstat(m_fd, &st) != 0)
        return refuse(m_path + ": " + std::strerror(errno));
    if (!S_ISDIR(st.st_mode))
        return refuse(m_path + " is not a real directory");
    if (st.st_uid != ::geteuid())
        return refuse(m_path + " belongs to uid " + std::to_string(st.st_uid));
    // Also repairs a fresh directory that a narrow umask left without owner bits.
    if ((st.st_mode & 07777) != 0700 && ::fchmod(m_fd, 0700) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", unsigned(st.st_mode & 07777));
        return refuse(m_path + " has mode " + mode + " and cannot be narrowed");
    }
    return DirState::Ready;
}

namespace locks {

int tryExclusive(int dirFd, const std::string &name)
{
    return takeLock(dirFd, name, F_WRLCK);
}

int holdShared(int dirFd, const std::string &name)
{
    return takeLock(dirFd, name, F_RDLCK);
}

bool isHeld(int dirFd, const std::string &name)
{
    const int fd = openLockFile(dirFd, name, O_RDONLY);
    if (fd < 0)
        return false;
    struct flock fl;
    std::memset(&fl, 0, sizeof fl);
    fl.l_type = F_WRLCK; // conflicts with any holder, shared or exclusive
    fl.l_whence = SEEK_SET;
    const bool held = ::fcntl(fd, F_OFD_GETLK, &fl) == 0 && fl.l_type != F_UNLCK;
    ::close(fd);
    return held;
}

} // namespace locks

} // namespace ulx::hostchannel
