#pragma once

#include <QString>

// The dumps directory of kcrashdumper: dumps are the directories named
// "<yyyyMMdd-HHmmss-zzz>-<pid>" (".partial-" before that while one is written).
// At most MaxDumps dumps and MaxTotalBytes of them are kept, the oldest go first.
namespace ulx::dumpstore {

constexpr int MaxDumps = 5;
constexpr qint64 MaxTotalBytes = 512LL * 1024 * 1024;

// Before a dump: leaves room for one more and removes temporaries of dumpers that
// died more than an hour ago.
void prepare(const QString &root);
// After the dump `kept` (a directory name in `root`) was completed: the bounds hold
// again, `kept` staying.
void settle(const QString &root, const QString &kept);

} // namespace ulx::dumpstore
