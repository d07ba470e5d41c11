#pragma once

#include "platform/export.h"

#include <memory>
#include <string>
#include <vector>

#include <sys/types.h>

// The per-user runtime directory: where the single-instance channel lives and the
// user's named mutexes with it. Only a real directory of this user, closed to
// everyone else, is used, so no other user can serve the channel in our place or
// hold one of our locks.
namespace ulx::runtimedir {

// Device and inode of a file: a process removes only files that still carry the
// identity it recorded when it made them.
struct FileId
{
    dev_t dev = 0;
    ino_t ino = 0;
    bool valid() const { return ino != 0; }
    bool operator==(const FileId &other) const { return dev == other.dev && ino == other.ino; }
};

enum class DirState { Ready, Missing, Unsafe };

// A runtime directory, accepted only when it is a real directory (not a symbolic
// link) owned by this user with no permission bits for anyone else. A directory
// of ours with a wider mode is narrowed to 0700.
class ULX_EXPORT KRuntimeDir
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
ULX_EXPORT std::vector<std::string> candidates(std::vector<std::string> *notes = nullptr);

// The directory the channel serves from in this environment: the first candidate
// that is (with `create`: or can be made) a private directory of ours, opened in
// `dir`. False when there is none (or, without `create`, when the first usable
// one does not exist yet).
ULX_EXPORT bool openChosen(bool create, std::unique_ptr<KRuntimeDir> *dir);

} // namespace ulx::runtimedir
