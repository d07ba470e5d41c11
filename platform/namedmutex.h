#pragma once

#include "platform/export.h"
#include "platform/filelock.h"

#include <QString>

// Named mutexes, as the suite's programs share them: a named mutex is a lock file
// held with flock(2) by its holder, so any program of the suite, or a person with
// util-linux `flock FILE command`, can hold one. The kernel drops the lock however
// the holder ends.
//
// Where the file lies:
//   "Global\<rest>"  /run/lock/corvanta/<rest>, or /tmp/.corvanta-locks/<rest> when
//                    the first cannot be made; both directories are created sticky
//                    and world-writable, like /tmp, so every user of the machine
//                    can make its locks there (ULX_GLOBAL_LOCK_DIR replaces both,
//                    for tests).
//   any other name   <runtime dir>/corvanta/mutex/<name>, in the per-user runtime
//                    directory of the channel, so it is the user's alone.
// In the file name, '%' becomes "%25" and '/' becomes "%2F".
namespace ulx::namedmutex {

// The file that stands for the mutex `name`, or empty when no directory for it
// can be made (the directories are created here when missing).
ULX_EXPORT QString filePath(const QString &name);

// The name as a file name: '%' -> "%25", '/' -> "%2F".
ULX_EXPORT QString encodeName(const QString &name);

// Whether someone holds the mutex, without taking it: no file, or a file we can
// lock at once, is absent; a file held by someone is present, and so is a file
// we may not open (another user's), since its owner may well hold it.
ULX_EXPORT bool isPresent(const QString &name);

// The mutex held by this object, on a descriptor of its own (so threads of one
// process exclude each other as processes do). Released by unlock() or by the
// destructor.
class ULX_EXPORT NamedMutex
{
public:
    explicit NamedMutex(const QString &name);
    ~NamedMutex();
    NamedMutex(const NamedMutex &) = delete;
    NamedMutex &operator=(const NamedMutex &) = delete;

    // Creates the file when missing and takes the lock. With Wait::Yes it waits
    // without limit for the holder; with Wait::No it fails at once when held.
    // False on failure, with the reason in errorString().
    bool lock(filelock::Wait wait = filelock::Wait::Yes);
    void unlock();
    bool isLocked() const { return m_fd >= 0; }
    QString path() const { return m_path; }
    QString errorString() const { return m_error; }

private:
    QString m_name;
    QString m_path;
    QString m_error;
    int m_fd = -1;
};

} // namespace ulx::namedmutex
