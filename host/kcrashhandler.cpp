#include "host/kcrashhandler.h"

#include "platform/xdgpaths.h"
#include "suite/krt.h"

#include <QFile>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

namespace ulx::crashhandler {
namespace {

constexpr int Signals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
constexpr int DumperWaitMs = 10000;

char g_notePath[4096];
char g_dumperPath[4096];
char g_pidArg[32];
char g_expArg[32] = "-exp=0";
char *g_argv[8];
bool g_haveDumper = false;

void copyText(char *dst, size_t size, const QByteArray &src)
{
    const size_t n = std::min(size - 1, size_t(src.size()));
    std::memcpy(dst, src.constData(), n);
    dst[n] = 0;
}

// The decimal digits of `v` after `prefix` (no library formatting in a signal handler).
void formatArg(char *dst, const char *prefix, long v)
{
    size_t i = 0;
    while (prefix[i]) {
        dst[i] = prefix[i];
        ++i;
    }
    char digits[24];
    int n = 0;
    do {
        digits[n++] = char('0' + v % 10);
        v /= 10;
    } while (v > 0 && n < 23);
    while (n > 0)
        dst[i++] = digits[--n];
    dst[i] = 0;
}

void onCrash(int sig, siginfo_t *, void *)
{
    const int savedErrno = errno;
    const int fd = ::open(g_notePath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd >= 0) {
        char text[16];
        formatArg(text, "", sig);
        [[maybe_unused]] const ssize_t w = ::write(fd, text, std::strlen(text));
        ::close(fd);
    }
    if (g_haveDumper) {
        formatArg(g_expArg, "-exp=", sig);
        // A raw fork: no atfork handlers run in a crashed process.
        const pid_t child = pid_t(::syscall(SYS_clone, SIGCHLD, 0, 0, 0, 0));
        if (child == 0) {
            ::execve(g_dumperPath, g_argv, environ);
            ::_exit(127);
        }
        if (child > 0) {
            ::prctl(PR_SET_PTRACER, child, 0, 0, 0);
            // The limit is on the clock, not on a count of naps: on a loaded machine
            // every nap lasts longer than asked.
            const timespec step{0, 10 * 1000 * 1000};
            timespec start{}, now{};
            ::clock_gettime(CLOCK_MONOTONIC, &start);
            for (;;) {
                if (::waitpid(child, nullptr, WNOHANG) != 0)
                    break;
                ::clock_gettime(CLOCK_MONOTONIC, &now);
                if ((now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000 >= DumperWaitMs)
                    break;
                ::nanosleep(&step, nullptr);
            }
        }
    }
    errno = savedErrno;
    // The handler was reset (SA_RESETHAND): the signal now ends the process as it would have.
    ::raise(sig);
}

} // namespace

void install()
{
    const QString stateDir = ulx::paths::stateDir();
    ulx::paths::ensureDir(stateDir);
    copyText(g_notePath, sizeof g_notePath, QFile::encodeName(stateDir + QStringLiteral("/crashed-%1").arg(::getpid())));
    const QByteArray dumper = QFile::encodeName(krt::dirs::office() + QStringLiteral("/kcrashdumper"));
    copyText(g_dumperPath, sizeof g_dumperPath, dumper);
    g_haveDumper = ::access(g_dumperPath, X_OK) == 0;
    formatArg(g_pidArg, "-pid=", ::getpid());
    static char tid[] = "-tid=0", callfrom[] = "-callfrom=1", upload[] = "-upload=1";
    char *argv[] = {g_dumperPath, g_pidArg, tid, g_expArg, callfrom, upload, nullptr};
    std::memcpy(g_argv, argv, sizeof argv);

    static char altStack[64 * 1024];
    stack_t ss{};
    ss.ss_sp = altStack;
    ss.ss_size = sizeof altStack;
    ::sigaltstack(&ss, nullptr);

    struct sigaction sa{};
    sa.sa_sigaction = &onCrash;
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND;
    // While the handler runs, every other fatal signal waits (one of another thread,
    // or the abort of a failing dump): one note and one dump, of the first signal. A
    // fault of the handler itself cannot wait and ends the process at once.
    sigemptyset(&sa.sa_mask);
    for (int sig : Signals)
        sigaddset(&sa.sa_mask, sig);
    for (int sig : Signals)
        ::sigaction(sig, &sa, nullptr);
}

} // namespace ulx::crashhandler
