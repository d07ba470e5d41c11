#include "platform/runtimedir.h"

#include "platform/xdgpaths.h"

#include <QFile>
#include <QRandomGenerator>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ulx::runtimedir {
namespace {

// Creates the missing ancestors of `path`, private to this user like the leaf.
void makeParents(const std::string &path)
{
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        const std::string prefix = path.substr(0, slash);
        if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST)
            return;
    }
}

// Why `path` cannot hold our channels, or nothing when it can (also when it is
// absent: then we may make it).
std::string unsuitable(const std::string &path)
{
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0)
        return errno == ENOENT ? std::string() : path + ": " + std::strerror(errno);
    if (!S_ISDIR(st.st_mode))
        return path + " is not a real directory";
    if (st.st_uid != ::geteuid())
        return path + " belongs to uid " + std::to_string(st.st_uid);
    return {};
}

// Why XDG_RUNTIME_DIR cannot be used, or nothing.
std::string unusableBase(const std::string &base)
{
    if (base.front() != '/')
        return "is not an absolute path";
    struct stat st;
    if (::stat(base.c_str(), &st) != 0)
        return std::strerror(errno);
    if (!S_ISDIR(st.st_mode))
        return "is not a directory";
    if (st.st_uid != ::geteuid())
        return "belongs to uid " + std::to_string(st.st_uid);
    if (::access(base.c_str(), W_OK | X_OK) != 0)
        return "is not writable";
    return {};
}

// The random part of the last fallback's name, made once per user and kept
// private in the settings directory. Two first starts at once agree: the key is
// published with link(), which never replaces one that is already there.
std::string fallbackKey()
{
    const QString dir = ulx::paths::configDir();
    const std::string path = QFile::encodeName(dir + QStringLiteral("/runtime-key")).toStdString();
    const auto read = [&path]() -> std::string {
        char buf[33] = {};
        const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0)
            return {};
        const ssize_t n = ::read(fd, buf, 32);
        ::close(fd);
        std::string key(buf, n > 0 ? std::size_t(n) : 0);
        return key.size() == 32 && key.find_first_not_of("0123456789abcdef") == std::string::npos ? key : std::string();
    };
    std::string key = read();
    if (!key.empty() || !ulx::paths::ensureDir(dir))
        return key;
    char fresh[33];
    for (int i = 0; i < 4; ++i)
        std::snprintf(fresh + 8 * i, 9, "%08x", QRandomGenerator::system()->generate());
    const std::string temp = path + "." + std::to_string(::getpid());
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return {};
    const bool written = ::write(fd, fresh, 32) == 32;
    ::close(fd);
    if (written)
        (void)::link(temp.c_str(), path.c_str());
    ::unlink(temp.c_str());
    return read();
}

} // namespace

KRuntimeDir::KRuntimeDir(std::string path)
    : m_path(std::move(path))
{
}

KRuntimeDir::~KRuntimeDir()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

int KRuntimeDir::take()
{
    const int fd = m_fd;
    m_fd = -1;
    return fd;
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
    m_id = FileId{st.st_dev, st.st_ino};
    return DirState::Ready;
}

std::vector<std::string> candidates(std::vector<std::string> *notes)
{
    std::vector<std::string> out;
    const auto note = [notes](std::string text) {
        if (notes)
            notes->push_back(std::move(text));
    };
    const auto consider = [&](std::string path) {
        std::string problem = unsuitable(path);
        if (problem.empty())
            out.push_back(std::move(path));
        else
            note("skipping " + problem);
        return problem.empty();
    };
    if (const char *xdg = std::getenv("XDG_RUNTIME_DIR"); xdg && *xdg) {
        const std::string base(xdg);
        const std::string problem = unusableBase(base);
        if (problem.empty())
            consider(base + "/ulxcloudsvr");
        else
            note("XDG_RUNTIME_DIR " + base + " " + problem + ": using the fallback");
    }
    const char *parentVar = std::getenv("ULX_RUNTIME_FALLBACK_PARENT");
    const std::string fallback = std::string(parentVar && *parentVar == '/' ? parentVar : "/tmp") + "/ulxcloudsvr-"
        + std::to_string(::geteuid());
    if (!consider(fallback)) {
        const std::string key = fallbackKey();
        if (key.empty())
            note("no key for a private fallback directory in " + QFile::encodeName(ulx::paths::configDir()).toStdString());
        else
            consider(fallback + "-" + key);
    }
    return out;
}


bool openChosen(bool create, std::unique_ptr<KRuntimeDir> *dir)
{
    // The channel's election takes the first candidate it can open (making it)
    // as a private directory of ours; a candidate refused as unsafe is passed
    // over there too.
    for (const std::string &path : candidates()) {
        auto candidate = std::make_unique<KRuntimeDir>(path);
        switch (candidate->open(create)) {
        case DirState::Ready:
            *dir = std::move(candidate);
            return true;
        case DirState::Missing:
            if (!create)
                return false; // the channel would make this one: nothing of ours is anywhere else
            break;            // it could not be made: the channel passes it over too
        case DirState::Unsafe:
            break;
        }
    }
    return false;
}

} // namespace ulx::runtimedir
