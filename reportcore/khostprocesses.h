#pragma once

#include <QList>
#include <QString>

#include <sys/types.h>

// The service's processes on Linux: our user's "ulxcloudsvr" processes that use
// this process's runtime directory (the single-instance channel's scope), found
// in /proc. Another user's processes, and services of another runtime directory,
// are never touched, even when running as root.
namespace ulx::hostprocesses {

// Every such process, the own one included, by ascending id.
QList<pid_t> list();
// Whether `pid` is one of them.
bool isServiceProcess(pid_t pid);
// User-mode processor time of a process in seconds (/proc/<pid>/stat); 0 when unknown.
double userTimeSeconds(pid_t pid);
// The program that writes dumps ("kcrashdumper" in the suite's program directory).
QString crashDumperPath();

} // namespace ulx::hostprocesses

// The process of the service with the most user time; 0 if none has any.
pid_t findBusiestHostProcess();
// Runs the crash dumper for `pid` (no shell, an argument vector) and waits up to 5 s.
void dumpProcess(pid_t pid);
// SIGKILL to every other process of the service (never the calling one).
void terminateOtherHostProcesses();

// The suite's diagnostics: a dump of the own process, handed to the crash upload path.
class KDiagnostics
{
public:
    static bool createAndSendDumpNoRecord(void *exceptionPointers);
};
