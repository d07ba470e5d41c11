#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// The per-user outbox of events that a process could not send before it ended:
// $XDG_STATE_HOME/ulxcloudsvr/outbox/ (0700). Each spool is one file of URLs, one
// per line, written whole under a temporary name and renamed into place, so a
// reader never sees half a spool, and many processes may spool at once. The
// serving process claims a file by renaming it to a name of its own before it
// reads it, so every spool is sent by one process only.
namespace ulx::outbox {

// At most this many spool files wait; what comes beyond is dropped.
constexpr int MaxFiles = 256;

QString dir();
// Writes one spool file; false when nothing was written (outbox full, disk error).
bool spool(const QList<QByteArray> &urls);
// Takes every waiting spool away, oldest first, and returns its URLs.
QList<QByteArray> claimAll();

} // namespace ulx::outbox
