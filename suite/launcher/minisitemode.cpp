#include "minisitemode.h"

#include "platform/detachedstart.h"

#include <cstdio>
#include <cstring>
#include <strings.h>

namespace ulxlauncher {

bool isMinisiteSwitch(const char *arg)
{
    return (arg[0] == '/' || arg[0] == '-') && ::strcasecmp(arg + 1, "minisite") == 0;
}

int runMinisite(const std::string &ownDirectory, const std::vector<std::string> &arguments)
{
    if (ownDirectory.empty()) {
        std::fprintf(stderr, "ulx: own directory unknown\n");
        return 1;
    }
    const std::string program = ownDirectory + "/ulxminisite";
    const ulx::process::DetachedStart started = ulx::process::startDetached(program, arguments);
    if (!started.started) {
        std::fprintf(stderr, "ulx: cannot start %s: %s\n", program.c_str(), std::strerror(started.error));
        return 1;
    }
    return 0;
}

} // namespace ulxlauncher
