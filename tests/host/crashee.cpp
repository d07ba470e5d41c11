// Installs the host's crash handler and crashes with the signal named by its argument.
#include "host/kcrashhandler.h"

#include <csignal>
#include <cstdlib>

int main(int argc, char **argv)
{
    ulx::crashhandler::install();
    ::raise(argc > 1 ? std::atoi(argv[1]) : SIGSEGV);
    return 0;
}
