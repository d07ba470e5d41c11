#pragma once

// The host's crash handler. install() prepares everything at start-up (paths,
// argument vector, an alternate signal stack); on SIGSEGV, SIGBUS, SIGILL, SIGFPE
// or SIGABRT the handler, using async-signal-safe calls only, leaves the note
// $XDG_STATE_HOME/ulxcloudsvr/crashed-<pid> (the next serving process adds 1 to
// "ICCapturedCrash"), runs "<OfficeDir>/kcrashdumper -pid=<pid> ... -upload=1" on the
// still-living process, waits for it up to 10 s and lets the signal end the process.
namespace ulx::crashhandler {
void install();
}
