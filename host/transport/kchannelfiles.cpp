#include "host/transport/kchannelfiles.h"

#include "platform/filelock.h"

#include <QByteArray>

#include <cstring>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace ulx::hostchannel {
namespace {

bool isNameUnit(char16_t c)
{
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') || c == u'_'
        || c == u'-' || c == u'.';
}

int takeLock(int dirFd, const std::string &name, ulx::filelock::Mode mode)
{
    using namespace ulx::filelock;
    const int fd = openLockFile(dirFd, QByteArray::fromStdString(name));
    if (fd < 0)
        return -1;
    if (!lock(fd, Kind::OpenFileDescription, mode, Wait::No)) {
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

FileId idOf(int dirFd, const std::string &name)
{
    struct stat st;
    if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return {};
    return FileId{st.st_dev, st.st_ino};
}

FileId idOfFd(int fd)
{
    struct stat st;
    if (::fstat(fd, &st) != 0)
        return {};
    return FileId{st.st_dev, st.st_ino};
}

bool socketAddress(int dirFd, const std::string &dirPath, const std::string &name, sockaddr_un *address)
{
    std::memset(address, 0, sizeof *address);
    address->sun_family = AF_UNIX;
    std::string path = dirPath + '/' + name;
    if (path.size() >= sizeof address->sun_path)
        path = "/proc/self/fd/" + std::to_string(dirFd) + '/' + name;
    if (path.size() >= sizeof address->sun_path)
        return false;
    std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
    return true;
}

namespace locks {

int tryExclusive(int dirFd, const std::string &name)
{
    return takeLock(dirFd, name, ulx::filelock::Mode::Exclusive);
}

int holdShared(int dirFd, const std::string &name)
{
    return takeLock(dirFd, name, ulx::filelock::Mode::Shared);
}

bool isHeld(int dirFd, const std::string &name)
{
    const int fd = ulx::filelock::openLockFile(dirFd, QByteArray::fromStdString(name), false);
    if (fd < 0)
        return false;
    const bool held = ulx::filelock::isHeldByOther(fd, ulx::filelock::Kind::OpenFileDescription);
    ::close(fd);
    return held;
}

} // namespace locks

} // namespace ulx::hostchannel
