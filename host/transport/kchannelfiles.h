#pragma once

#include <string>
#include <string_view>

// The per-user runtime directory that holds every channel's files, and the
// record locks on them. For a channel N:
//   N.lock      held exclusively by the process that serves N
//   N.sock      the listening socket of that process
//   N.handover  held shared by every process that gave N up and still lives
// The locks belong to an open file description, so the kernel drops them when
// the process ends in any way; a file left behind by a killed process is inert.
namespace ulx::hostchannel {

inline constexpr std::size_t MaxChannelNameLength = 64;

// Letters, digits, '_', '-' and '.', not starting with '.', 1..64 characters.
bool isValidChannelName(std::u16string_view name);
// The channel name as a file-name stem (the name must be valid).
std::string fileStem(std::u16string_view name);

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
    const std::string &path() const { return m_path; }
    // Why the directory was refused.
    const std::string &problem() const { return m_problem; }

private:
    DirState refuse(std::string problem);

    std::string m_path;
    std::string m_problem;
    int m_fd = -1;
};

// Open-file-description record locks on files of the runtime directory. Unlike
// a whole-file lock, such a lock can be tested without being taken, so a sender
// that looks never disturbs an election.
namespace locks {
// The descriptor holding the exclusive lock, or -1 when someone else holds it.
int tryExclusive(int dirFd, const std::string &name);
// The descriptor holding a shared lock, or -1.
int holdShared(int dirFd, const std::string &name);
// True when any process (this one included) holds a lock on the file.
bool isHeld(int dirFd, const std::string &name);
} // namespace locks

} // namespace ulx::hostchannel
