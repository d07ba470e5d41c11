#pragma once

#include "platform/export.h"

#include <QString>

// The one place where the service takes file locks. Two kinds are used, each for
// a reason:
//
// - Flock (flock(2)): held by an open file description, released when its last
//   descriptor closes, never lost when the process closes another descriptor of
//   the same file, and inherited by nobody (our descriptors are close-on-exec).
//   The settings store and the log use it for short critical sections. Between
//   threads of one process it works only when each thread opens its own
//   descriptor; on NFS it is emulated with POSIX locks and cannot separate
//   threads of one process at all, so the settings store adds a mutex beside it.
// - OpenFileDescription (fcntl F_OFD_SETLK): like Flock it belongs to the open
//   file description and the kernel drops it however the process ends, but it
//   can also be queried (F_OFD_GETLK) without taking it, which the channel
//   needs to tell "somebody serves" from "a stale file lies here". Classic POSIX
//   record locks (F_SETLK) are never used: closing any descriptor of the file
//   drops them, which a library cannot rule out.
//
// Every lock file is opened close-on-exec, without following a symbolic link,
// with mode 0600, and must be a regular file.
namespace ulx::filelock {

enum class Kind { Flock, OpenFileDescription };
enum class Mode { Shared, Exclusive };
enum class Wait { No, Yes };

// Opens (creating) a lock file relative to dirFd (AT_FDCWD for a path); -1 on
// failure with errno set. `create` false opens only an existing file.
ULX_EXPORT int openLockFile(int dirFd, const QByteArray &name, bool create = true);

// Locks the open file `fd`. With Wait::Yes it waits (signals do not end the
// wait); with Wait::No it fails at once when another description holds a
// conflicting lock. False on failure with errno set (EWOULDBLOCK/EAGAIN: held).
ULX_EXPORT bool lock(int fd, Kind kind, Mode mode, Wait wait);
ULX_EXPORT void unlock(int fd, Kind kind);

// True when another open file description holds a lock on `fd`'s file that
// conflicts with an exclusive one, without taking anything; a lock that `fd`
// itself holds does not count, for either kind.
ULX_EXPORT bool isHeldByOther(int fd, Kind kind);

// A lock held for the lifetime of the object, on a file of its own descriptor
// (so threads of one process exclude each other as processes do).
class ULX_EXPORT FileLock
{
public:
    FileLock(const QString &path, Kind kind, Mode mode = Mode::Exclusive, Wait wait = Wait::Yes);
    ~FileLock();
    FileLock(const FileLock &) = delete;
    FileLock &operator=(const FileLock &) = delete;

    bool isLocked() const { return m_fd >= 0; }
    int fd() const { return m_fd; }

private:
    int m_fd = -1;
};

} // namespace ulx::filelock
