// An app for the run-app tests: writes what it was started with to $ULX_TEST_APP_OUT/<pid>.txt: its argv
// ("arg X", one a line) and its open descriptors ("fd N"), to a temporary name renamed so a reader never
// sees half of it.
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <string>
#include <unistd.h>

int main(int argc, char **argv)
{
    const char *out = std::getenv("ULX_TEST_APP_OUT");
    if (!out)
        return 2;
    std::string text;
    for (int i = 0; i < argc; ++i)
        text += std::string("arg ") + argv[i] + "\n";
    if (DIR *dir = ::opendir("/proc/self/fd")) {
        const int own = ::dirfd(dir);
        while (dirent *e = ::readdir(dir)) {
            if (e->d_name[0] != '.' && std::atoi(e->d_name) != own)
                text += std::string("fd ") + e->d_name + "\n";
        }
        ::closedir(dir);
    }
    const std::string base = std::string(out) + "/" + std::to_string(::getpid());
    FILE *f = std::fopen((base + ".tmp").c_str(), "w");
    if (!f)
        return 1;
    std::fputs(text.c_str(), f);
    std::fclose(f);
    return std::rename((base + ".tmp").c_str(), (base + ".txt").c_str()) == 0 ? 0 : 1;
}
