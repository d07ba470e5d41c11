#pragma once

#include "platform/detachedstart.h"

#include <QString>
#include <QStringList>

// Starting a program from a Windows-style command line: the one way the service
// starts programs that outlive it (apps through the launcher, the minisite, the
// shell prestart).
namespace ulx::process {

// Splits `commandLine` by the Windows command-line rule (platform/cmdline), takes
// the first argument as the program path and starts it detached with the others
// (startDetached: new session, no zombie, no inherited descriptor above 2, an exec
// failure reported). Text after a U+0000 is not part of the command line. An empty
// program gives started == false with error ENOENT.
DetachedStart startCommandLine(const QString &commandLine);

// The arguments startCommandLine passes: argv[0] the program, then the others.
QStringList commandLineArguments(const QString &commandLine);

} // namespace ulx::process
