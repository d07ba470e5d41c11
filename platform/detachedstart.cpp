#include "platform/detachedstart.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef CLOSE_RANGE_CLOEXEC
#define CLOSE_RANGE_CLOEXEC (1U << 2)
#endif

namespace ulx::process {
namespace {

// What the children tell the starter through the pipe.
struct Report
{
    int kind; // 1: the grandchild's pid; 2: an errno of a failed step
    int value;
};

void report(int fd, int kind, int value)
{
    const Report r{kind, value};
    [[maybe_unused]] const ssize_t n = ::write(fd, &r, sizeof r);
}

// Every descriptor from 3 up is closed by the exec: the started program gets
// none of the starter's sockets, locks or pipes (ours included, which is how
// the starter learns that the exec succeeded).
void closeOnExecAbove2()
{
    if (::syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC) == 0)
        return;
    const long max = ::sysconf(_SC_OPEN_MAX);
    for (long fd = 3; fd < (max > 0 ? max : 65536); ++fd)
        ::fcntl(int(fd), F_SETFD, FD_CLOEXEC);
}

bool streamsOnDevNull()
{
    const int fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return false;
    for (int target = 0; target < 3; ++target) {
        if (::dup2(fd, target) < 0)
            return false; // dup2 clears close-on-exec on the copy
    }
    if (fd > 2)
        ::close(fd);
    return true;
}

[[noreturn]] void runGrandchild(int pipeFd, const char *program, char *const *argv)
{
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int sig : {SIGPIPE, SIGCHLD, SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        ::signal(sig, SIG_DFL);
    closeOnExecAbove2();
    if (!streamsOnDevNull()) {
        report(pipeFd, 2, errno);
        ::_exit(127);
    }
    ::execv(program, argv);
    report(pipeFd, 2, errno);
    ::_exit(127);
}

} // namespace

DetachedStart startDetached(const std::string &program, const std::vector<std::string> &arguments)
{
    DetachedStart result;
    // Everything the children need is built before the fork: after it, a
    // multi-threaded starter's child may not allocate.
    std::vector<char *> argv;
    argv.reserve(arguments.size() + 2);
    argv.push_back(const_cast<char *>(program.c_str()));
    for (const std::string &a : arguments)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        result.error = errno;
        return result;
    }
    const pid_t child = ::fork();
    if (child < 0) {
        result.error = errno;
        ::close(fds[0]);
        ::close(fds[1]);
        return result;
    }
    if (child == 0) {
        ::close(fds[0]);
        if (::setsid() < 0) {
            report(fds[1], 2, errno);
            ::_exit(127);
        }
        const pid_t grandchild = ::fork();
        if (grandchild < 0) {
            report(fds[1], 2, errno);
            ::_exit(127);
        }
        if (grandchild == 0)
            runGrandchild(fds[1], argv[0], argv.data());
        report(fds[1], 1, int(grandchild));
        ::_exit(0); // the grandchild is now the init process's (or a subreaper's) child
    }

    ::close(fds[1]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    // End of file comes when the grandchild's exec closed the last writer.
    Report r{};
    std::size_t got = 0;
    bool sawPid = false;
    for (;;) {
        const ssize_t n = ::read(fds[0], reinterpret_cast<char *>(&r) + got, sizeof r - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += std::size_t(n);
        if (got < sizeof r)
            continue;
        got = 0;
        if (r.kind == 1) {
            result.pid = pid_t(r.value);
            sawPid = true;
        } else if (r.kind == 2 && result.error == 0) {
            result.error = r.value;
        }
    }
    ::close(fds[0]);
    result.started = sawPid && result.error == 0;
    if (!result.started && result.error == 0)
        result.error = ECHILD;
    return result;
}

} // namespace ulx::process
