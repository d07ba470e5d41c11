#pragma once

#include <string>
#include <vector>

// The launcher's "/minisite" mode: shows the minisite by starting the program
// "ulxminisite" from the launcher's directory, detached, with the arguments that
// follow "/minisite". Exit code 0 once the program runs, 1 when it cannot start.
namespace ulxlauncher {

bool isMinisiteSwitch(const char *arg);
int runMinisite(const std::string &ownDirectory, const std::vector<std::string> &arguments);

} // namespace ulxlauncher
