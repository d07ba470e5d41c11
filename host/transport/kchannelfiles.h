#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

struct sockaddr_un;

// The per-user runtime directory that holds every channel's files, and the
// locks on them. For a channel N:
//   N.lock      held exclusively by the process that serves N
//   N.sock      the listening socket of that process
//   N.handover  held shared by every process that gave N up and still lives
// The locks belong to an open file description (ulx::filelock, Kind::OpenFileDescription),
// so the kernel drops them when the process ends in any way; a file left behind
// by a killed process is inert.
namespace ulx::hostchannel {

inline constexpr std::size_t MaxChannelNameLength = 64;

// Letters, digits, '_', '-' and '.', not starting with '.', 1..64 characters.
bool isValidChannelName(std::u16string_view name);
// The channel name as a file-name stem (the name must be valid).
std::string fileStem(std::u16string_view name);

// Device and inode of a file: a process removes only files that still carry the
// identity it recorded when it made them.
struct FileId
{
    dev_t dev = 0;
    ino_t ino = 0;
    bool valid() const { return ino != 0; }
    bool operator==(const FileId &other) const { return dev == other.dev && ino == other.ino; }
};
// The file `name` in the directory `dirFd` itself, not followed; invalid when absent.
FileId idOf(int dirFd, const std::string &name);
FileId idOfFd(int fd);

enum class DirState { Ready, Missing, Unsafe };

// The runtime directory, accepted only when it is a real directory (not a
// symbolic link) owned by this user with no permission bits for anyone else.
// A directory of ours with a wider mode is narrowed to 0700.
class KRuntimeDir
{
public:
    explicit KRuntimeDir(std::string path);
    ~KRuntimeDir();
    KRuntimeDir(const KRuntimeDir &) = delete;
    KRuntimeDir &operator=(const KRuntimeDir &) = delete;

    // Opens (and with `create` makes, mode 0700) the directory and checks it.
    DirState open(bool create);
    // The open directory, valid after open() returned Ready.
    int fd() const { return m_fd; }
    // Hands the descriptor over to the caller.
    int take();
    FileId id() const { return m_id; }
    const std::string &path() const { return m_path; }
    // Why the directory was refused.
    const std::string &problem() const { return m_problem; }

private:
    DirState refuse(std::string problem);

    std::string m_path;
    std::string m_problem;
    FileId m_id;
    int m_fd = -1;
};

// The directories a channel may live in, most preferred first. Every process of
// the user computes the same list from the same environment, without talking
// to the others:
//   1. $XDG_RUNTIME_DIR/ulxcloudsvr, when XDG_RUNTIME_DIR is an absolute path to
//      a directory of ours that we may write (after su, in cron or in an ssh
//      session without login it often is not);
//   2. /tmp/ulxcloudsvr-<uid>;
//   3. /tmp/ulxcloudsvr-<uid>-<key>, only when 2 exists but is not ours (another
//      user made it, or it is a link): <key> is random, kept in the settings
//      directory, so nobody else can know the name in advance.
// A candidate that exists and is not a real directory of ours is left out, with
// the reason in `notes`. ULX_RUNTIME_FALLBACK_PARENT replaces /tmp (for tests).
std::vector<std::string> runtimeDirCandidates(std::vector<std::string> *notes = nullptr);

// The address of `name` in the open directory `dirFd` whose path is `dirPath`.
// A path longer than sun_path allows goes through /proc/self/fd/<dirFd>/, which
// reaches the same directory. False when even that does not fit.
bool socketAddress(int dirFd, const std::string &dirPath, const std::string &name, sockaddr_un *address);

// Locks on files of the runtime directory (open-file-description locks: they can
// be tested without being taken, so a sender that looks never disturbs an election).
namespace locks {
// The descriptor holding the exclusive lock, or -1 when someone else holds it.
int tryExclusive(int dirFd, const std::string &name);
// The descriptor holding a shared lock, or -1.
int holdShared(int dirFd, const std::string &name);
// True when another open file description holds a lock on the file.
bool isHeld(int dirFd, const std::string &name);
} // namespace locks

} // namespace ulx::hostchannel
