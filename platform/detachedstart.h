#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

// Starting a program that outlives its starter and belongs to nobody.
namespace ulx::process {

struct DetachedStart
{
    bool started = false;
    pid_t pid = -1;  // the started program's process id (valid when started)
    int error = 0;   // errno of the step that failed when not started
};

// Starts `program` (a path; no search in PATH) with `arguments` as its argv[1..]
// as a process of its own: a new session (so no terminal or process group ties it
// to the starter), started through a second fork so that it never becomes the
// starter's zombie, with only the standard streams open and those on /dev/null,
// with the default signal mask. The arguments are passed as given, nothing is
// split or quoted. An exec failure is reported back through a close-on-exec pipe,
// so `started` is true only when the program itself runs. Safe to call from a
// multi-threaded process: the children run only async-signal-safe calls.
DetachedStart startDetached(const std::string &program, const std::vector<std::string> &arguments);

} // namespace ulx::process
