// ulx: the suite's launcher. The service starts it with "/ulxcloudlaunch" and
// the switches of the new service process; the launcher starts ulxcloudsvr from
// its own directory with those switches, detached from everyone, and ends.
// "ulx Run <entry> [args...]" becomes the app: it execs the entry with the
// arguments, so the app keeps the process id the launcher was started with.

#include "minisitemode.h"
#include "platform/detachedstart.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

std::string ownDirectory()
{
    std::vector<char> buffer(4096);
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (n <= 0)
        return {};
    std::string path(buffer.data(), std::size_t(n));
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

bool isCloudLaunch(const char *arg)
{
    return (arg[0] == '/' || arg[0] == '-') && ::strcasecmp(arg + 1, "ulxcloudlaunch") == 0;
}

// One line per start in <state>/ulxcloudsvr/ulx.log; a log that cannot be
// written is no reason not to start. The descriptor closes on the exec.
void logLine(const std::string &text)
{
    std::string dir;
    if (const char *state = std::getenv("XDG_STATE_HOME"); state && *state == '/')
        dir = state;
    else if (const char *home = std::getenv("HOME"); home && *home)
        dir = std::string(home) + "/.local/state";
    else
        return;
    dir += "/ulxcloudsvr";
    const int fd = ::open((dir + "/ulx.log").c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    char stamp[32] = {};
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    const std::string line = std::string(stamp) + " " + std::to_string(::getpid()) + " " + text + "\n";
    [[maybe_unused]] const ssize_t n = ::write(fd, line.data(), line.size());
    ::close(fd);
}

int run(int argc, char **argv)
{
    if (argc < 1 || !argv[0][0]) {
        std::fprintf(stderr, "usage: ulx Run <entry> [arguments...]\n");
        return 2;
    }
    const char *entry = argv[0];
    struct stat info{};
    if (::stat(entry, &info) != 0 || !S_ISREG(info.st_mode) || ::access(entry, X_OK) != 0) {
        const int error = errno ? errno : EACCES;
        const std::string why = std::string("WARNING Run ") + entry + " is not an executable file: " + std::strerror(error);
        logLine(why);
        std::fprintf(stderr, "ulx: %s\n", why.c_str());
        return 1;
    }
    std::string line = std::string("INFO Run ") + entry;
    for (int i = 1; i < argc; ++i)
        line += std::string(" [") + argv[i] + "]";
    logLine(line);
    std::vector<char *> args(argv, argv + argc);
    args.push_back(nullptr);
    ::execv(entry, args.data());
    const std::string why = std::string("WARNING Run ") + entry + " failed: " + std::strerror(errno);
    logLine(why);
    std::fprintf(stderr, "ulx: %s\n", why.c_str());
    return 1;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && ulxlauncher::isMinisiteSwitch(argv[1]))
        return ulxlauncher::runMinisite(ownDirectory(), std::vector<std::string>(argv + 2, argv + argc));
    if (argc >= 2 && ::strcasecmp(argv[1], "Run") == 0)
        return run(argc - 2, argv + 2);
    std::vector<std::string> rest;
    bool cloudLaunch = false;
    for (int i = 1; i < argc; ++i) {
        if (!cloudLaunch && isCloudLaunch(argv[i]))
            cloudLaunch = true;
        else
            rest.emplace_back(argv[i]);
    }
    if (!cloudLaunch) {
        std::fprintf(stderr, "usage: ulx /ulxcloudlaunch [switches of the cloud service...]\n"
                             "       ulx Run <entry> [arguments...]\n");
        return 2;
    }
    const std::string dir = ownDirectory();
    if (dir.empty()) {
        std::fprintf(stderr, "ulx: own directory unknown\n");
        return 1;
    }
    const std::string service = dir + "/ulxcloudsvr";
    const ulx::process::DetachedStart started = ulx::process::startDetached(service, rest);
    if (!started.started) {
        std::fprintf(stderr, "ulx: cannot start %s: %s\n", service.c_str(), std::strerror(started.error));
        return 1;
    }
    return 0;
}
