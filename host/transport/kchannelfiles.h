#pragma once

#include "platform/runtimedir.h"

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

using ulx::runtimedir::FileId;
// The file `name` in the directory `dirFd` itself, not followed; invalid when absent.
FileId idOf(int dirFd, const std::string &name);
FileId idOfFd(int fd);

// The runtime directory and its candidates belong to the platform layer, where
// the user's named mutexes find the same directory.
using ulx::runtimedir::DirState;
using ulx::runtimedir::KRuntimeDir;
inline std::vector<std::string> runtimeDirCandidates(std::vector<std::string> *notes = nullptr)
{
    return ulx::runtimedir::candidates(notes);
}

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
