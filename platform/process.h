#pragma once

// The process-level facilities the service needs from the system.
namespace ulx::process {

// The process's own argument count and vector, read once from /proc/self/cmdline,
// as the C runtime holds them for a Windows program. Valid for the process's life.
int &argc();
char **argv();

// Ends the process at once with `exitCode`: no static destructors, no atexit
// handlers, no flushing of C streams (the way a process terminates itself).
[[noreturn]] void terminateSelf(int exitCode);

// SIGTERM and SIGINT make the running Qt event loop return (QCoreApplication::quit),
// so the normal shutdown order runs. Call once, after the application object exists.
void quitOnTerminationSignals();

} // namespace ulx::process
