#pragma once

#include "platform/export.h"
#include "platform/registry/kregnode.h"
#include "platform/registry/kregtypes.h"

#include <functional>

// The files of the settings store, one JSON file per hive in the service's
// configuration directory (ulx::paths::configDir()):
//   registry.json          HKEY_CURRENT_USER
//   registry-machine.json  HKEY_LOCAL_MACHINE (filled by people, tests or ulxreg; the
//                          store lets anyone write it, the service itself only reads it)
//
// Every read opens and parses the file afresh, so a value written by another
// process is seen by the next read; reads take no lock. Every write is a
// read-modify-write under an exclusive flock() on "<file>.lock" (the kernel drops
// it when a writer dies) and replaces the file atomically (QSaveFile: a crash
// leaves the old or the new content). A file that does not parse, or holds
// members of the wrong shape, reads as far as it is understood (at worst as
// empty); the next write first copies it to "<file>.damaged".
// All functions are safe to call from several threads and processes at once.
class ULX_EXPORT KRegStore
{
public:
    enum Result {
        Ok,
        NotFound,    // the key or value to remove does not exist
        InvalidPath, // no hive, or an operation the hive root does not allow
        AccessError, // the file or its directory could not be written
    };

    // One consistent reading of a hive.
    struct Snapshot
    {
        KRegNode root;
        bool damaged = false;
    };

    static QString filePath(KRegHive hive);
    static Snapshot read(KRegHive hive);
    // One value as it is on disk now; invalid when the key or value is missing.
    // Cheaper than read() for a single value.
    static KRegValue readValue(const KRegKeyPath &key, const QString &name);

    // Runs `change` on the current content under the hive's lock and saves the
    // result when it returns Ok; any other result is returned without a write.
    static Result modify(KRegHive hive, const std::function<Result(KRegNode &root)> &change);

    // Creates the key and any missing parents.
    static Result createKey(const KRegKeyPath &key);
    // Creates the key where missing and sets the value; no write when the store
    // already holds that type and data.
    static Result setValue(const KRegKeyPath &key, const KRegValue &value);
    static Result removeValue(const KRegKeyPath &key, const QString &name);
    // Removes the key with its subkeys and values; the hive root itself is only emptied.
    static Result removeKey(const KRegKeyPath &key);
};
