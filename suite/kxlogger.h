#pragma once

#include "platform/export.h"

#include <QString>

// The suite logger. One line per message, appended to the per-user log
//   $XDG_STATE_HOME/ulxcloudsvr/ulxcloudsvr.log   (default ~/.local/state/...)
// in the form
//   2026-12-05 17:31:02.123 4242 FIXED KxUlxCloudSvrApplication KxUlxCloudSvrApplication::init /x
// (local time, process id, level, category, message). Category and message are
// written with every control character and backslash escaped (\\ \n \r \t,
// \xHH, \uHHHH), so a line is always one line and nothing in it can drive a
// terminal; a message longer than 4096 characters (escaped) is cut and ends in
// " [... cut, N characters in all]".
//
// Several processes of the service append to one log at once: each line is one
// write(2) to a file opened with O_APPEND, so lines never interleave. The log is
// bounded: past ULX_LOG_MAX_BYTES (default 8 MiB) it is rotated to .1, .2, .3
// under a lock shared by all processes; a process that finds the log rotated by
// another one reopens it, so no line is lost to a stale file handle. A log that
// cannot be rotated takes no lines past twice that bound, and the process says
// so once on stderr.
//
// Loading the library routes Qt's logging here as well: messages of the
// service's own categories ("ulx.*") at every level, Qt's warnings and worse,
// each also passed on to the handler installed before (stderr).
// Thread-safe: worker threads log too.
class ULX_EXPORT KxLogger
{
public:
    enum Level { LevelFixed = 0, LevelInfo = 1, LevelWarning = 2, LevelError = 3, LevelFatal = 4 };

    static int Fixed() { return LevelFixed; }
    static int Info() { return LevelInfo; }
    static int Warning() { return LevelWarning; }

    static void writeMsg(int level, const QString &category, const QString &message);
    static void writeInfo(const QString &category, const QString &message);
    static void writeWarning(const QString &category, const QString &message);
    static void writeError(const QString &category, const QString &message);
    static void writeFatal(const QString &category, const QString &message);

    // The process is about to end itself: returns once a line that another thread
    // is writing has been written. Lines are never buffered in the process, so an
    // exit (or a kill) loses none; only a crash of the machine can.
    static void onAboutToQuit();

    // Where lines go now (resolved from the environment at first use).
    static QString logFilePath();
    // Number of rotated files kept beside the log.
    static constexpr int RotatedFiles = 3;
};
