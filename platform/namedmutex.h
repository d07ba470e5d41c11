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
//                    the first cannot be used; both are made sticky and
//                    world-writable, like /tmp, so every user of the machine can
//                    make its locks there (ULX_GLOBAL_LOCK_DIR replaces both, for
//                    tests). Lock files in them are mode 0644, so that every user
//                    can test them. Trust in such a directory:
//                    - owned by root or by this user (and sticky when others may
//                      write it): used for locking and testing;
//                    - another user's, sticky and world-writable: its owner can
//                      remove anybody's file in it, so it is never locked in, and
//                      a test believes only a lock file owned by root or by this
//                      user; a missing file or anybody else's is taken as held;
//                    - anything else: never locked in, every test says "held".
//                    Each refusal is logged once per process (category "ulx.namedmutex").
//   any other name   corvanta/mutex/<name> in the per-user runtime directory that
//                    the channel serves from (ulx::runtimedir::openChosen), which
//                    is private to the user: nobody else can hold the user's mutexes.
// In the file name, '%' becomes "%25", '/' "%2F" and NUL "%00". A name whose file
// name would pass 255 bytes keeps its first 160 bytes followed by "%L" and the
// SHA-256 of the whole name in hexadecimal.
namespace ulx::namedmutex {

// The file that stands for the mutex `name`, or empty when no directory for it
// can be used (the directories are created here when missing).
ULX_EXPORT QString filePath(const QString &name);

// The name with '%' -> "%25", '/' -> "%2F", NUL -> "%00".
ULX_EXPORT QString encodeName(const QString &name);

// Whether someone holds the mutex, without taking it and without making any
// directory or file: no file, or a file we can lock at once, is absent; a file
// held by someone is present, and so is a file we may not open (another user's),
// since its owner may well hold it. See above for shared directories.
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
