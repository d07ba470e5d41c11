// ulxdemoapp: the build tree's demonstration app for run_app. It appends one line
// with its process id and its arguments to $XDG_STATE_HOME/ulxcloudsvr/ulxdemoapp.log
// (default ~/.local/state/ulxcloudsvr/ulxdemoapp.log), so that a person can see
// what the service started and with which arguments, and ends.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

int main(int argc, char **argv)
{
    std::string dir;
    if (const char *state = std::getenv("XDG_STATE_HOME"); state && *state == '/')
        dir = state;
    else if (const char *home = std::getenv("HOME"))
        dir = std::string(home) + "/.local/state";
    else
        return 1;
    const std::string path = dir + "/ulxcloudsvr/ulxdemoapp.log";
    FILE *log = std::fopen(path.c_str(), "a");
    if (!log)
        return 1;
    std::fprintf(log, "ulxdemoapp %d started with %d argument(s):", int(::getpid()), argc - 1);
    for (int i = 1; i < argc; ++i)
        std::fprintf(log, " [%s]", argv[i]);
    std::fputc('\n', log);
    return std::fclose(log) == 0 ? 0 : 1;
}
