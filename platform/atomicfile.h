#pragma once

#include "platform/export.h"

#include <QFileDevice>
#include <QString>

// The one way the service replaces a file whose old content must survive a failed
// write (parameter files, outbox spools, handed-on command lines). The new content
// goes to a temporary file beside the old one; only when every byte was written,
// flushed and synced is it renamed over the old name. A full disk, a quota or an
// I/O error leaves the old file as it was and says so.
namespace ulx::files {

// Writes `bytes` as the new content of `path` with `permissions`. False when the
// old file (if any) is still in place unchanged; `error` then says why.
ULX_EXPORT bool writeAtomically(const QString &path, const QByteArray &bytes,
                                QFileDevice::Permissions permissions = QFileDevice::ReadOwner
                                                                       | QFileDevice::WriteOwner,
                                QString *error = nullptr);

} // namespace ulx::files
