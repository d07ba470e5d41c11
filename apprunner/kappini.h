#pragma once

#include <QString>

// The app.ini of an installed app: the file that names the program the launcher runs.
namespace ulx::appini {

// The "entry" of group "runinfo" (group and key in any case), with '\' as a
// directory separator; empty when the file or the key is missing.
QString readEntry(const QString &iniPath);

} // namespace ulx::appini
