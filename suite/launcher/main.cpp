// ulx: the suite's launcher. The service starts it with "/ulxcloudlaunch" and
// the switches of the new service process; the launcher starts ulxcloudsvr from
// its own directory with those switches, detached from everyone, and ends.

#include "minisitemode.h"
#include "platform/detachedstart.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <strings.h>
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

} // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && ulxlauncher::isMinisiteSwitch(argv[1]))
        return ulxlauncher::runMinisite(ownDirectory(), std::vector<std::string>(argv + 2, argv + argc));
    std::vector<std::string> rest;
    bool cloudLaunch = false;
    for (int i = 1; i < argc; ++i) {
        if (!cloudLaunch && isCloudLaunch(argv[i]))
            cloudLaunch = true;
        else
            rest.emplace_back(argv[i]);
    }
    if (!cloudLaunch) {
        std::fprintf(stderr, "usage: ulx /ulxcloudlaunch [switches of the cloud service...]\n");
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
