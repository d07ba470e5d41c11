#pragma once

// How the previous run ended, told to the next serving process.
//
// The serving process keeps a run marker, $XDG_STATE_HOME/ulxcloudsvr/running-<pid>,
// from its start until it ends cleanly (shutdown, force_exit, hand-over, the
// watchdog's termination all remove it). The host's crash handler leaves a note,
// crashed-<pid>, beside it. At its start the next serving process counts, in
// "ulxcloudsvr\Application Settings": "ICCapturedCrash" + 1 for every crash note,
// "ICExceptExit" + 1 for every marker of a process that is gone without one
// (a kill, the OOM killer, a power loss).
namespace ulx::runmarker {

// Counts what earlier runs left (markers of live service processes stay), then
// writes this process's marker.
void collectAndMark();
// This process ends cleanly.
void clear();

} // namespace ulx::runmarker
