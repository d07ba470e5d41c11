// The app of the run_app benchmark: its main creates the file named by its first
// argument, then ends.
#include <fcntl.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc < 2)
        return 2;
    const int fd = ::open(argv[1], O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    return fd < 0 ? 1 : (::close(fd), 0);
}
