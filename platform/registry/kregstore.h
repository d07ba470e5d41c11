#pragma once

#include "platform/export.h"
#include "platform/registry/kregnode.h"
#include "platform/registry/kregtypes.h"

#include <QLoggingCategory>

#include <functional>
#include <optional>

// The store's warnings (a damaged or oversized hive file). The service's logger
// writes them to the log; a tool may show them its own way.
ULX_EXPORT const QLoggingCategory &lcKRegStore();

// The files of the settings store, one JSON file per hive in the service's
// configuration directory (ulx::paths::configDir()):
//   registry.json          HKEY_CURRENT_USER
//   registry-machine.json  HKEY_LOCAL_MACHINE (filled by people, tests or ulxreg; the
//                          store lets anyone write it, the service itself only reads it)
//
// Reads take no lock. Each process keeps the last hive it parsed together with
// the file's identity (device, inode, size, modification time in ns): a read of
// an unchanged store costs one stat(2), and a file replaced by another process
// is parsed again at the next read. Every write is a read-modify-write under a
// per-hive mutex (threads of this process) and an exclusive flock on
// "<file>.lock" (processes; the kernel drops it when a writer dies), and
// replaces the file atomically (QSaveFile: a crash leaves the old or the new
// content). The replacement always gets a new inode and a modification time
// later than the file it replaces, so no two contents share an identity.
//
// A file that does not parse, or holds members of the wrong shape, reads as far
// as it is understood (at worst as empty). The first process to meet it keeps a
// copy, "<file>.damaged-<UTC mtime>-<content hash>", and warns once on
// lcKRegStore; the next write then replaces the damaged file. A hive past 1 MiB
// is warned about once per process: every write rewrites it whole.
//
// Everything handed out is a copy: nothing points into the store's memory.
// All functions are safe to call from several threads and processes at once.
class ULX_EXPORT KRegStore
{
public:
    enum Result {
        Ok,
        NotFound,    // the key or value to remove does not exist
        InvalidPath, // no hive, a value name with a key separator, or an operation the hive root does not allow
        AccessError, // the file or its directory could not be written
    };

    // One consistent reading of a whole hive.
    struct Snapshot
    {
        KRegNode root;
        bool damaged = false;
        QString damagedCopy; // where the damaged file was kept; empty when it could not be
    };

    static QString filePath(KRegHive hive);
    static Snapshot read(KRegHive hive);
    // The key with everything below it; nullopt when it does not exist.
    static std::optional<KRegNode> readKey(const KRegKeyPath &key);
    // One value; invalid when the key or value is missing.
    static KRegValue readValue(const KRegKeyPath &key, const QString &name);

    // Runs `change` on the current content under the hive's lock and saves the
    // result when it returns Ok; any other result is returned without a write.
    // A damaged file is only replaced once its copy has been kept.
    static Result modify(KRegHive hive, const std::function<Result(KRegNode &root)> &change);

    // Creates the key and any missing parents.
    static Result createKey(const KRegKeyPath &key);
    // Creates the key where missing and sets the value; no write when the store
    // already holds that type and data.
    static Result setValue(const KRegKeyPath &key, const KRegValue &value);
    static Result removeValue(const KRegKeyPath &key, const QString &name);
    // Removes the key with its subkeys and values; the hive root itself is only emptied.
    static Result removeKey(const KRegKeyPath &key);

    // A value name must not hold '/' or '\': those separate keys in every name
    // that settings code gives, so such a value could never be read back.
    static bool isValidValueName(const QString &name);

    // A hive file past this size is warned about.
    static constexpr qint64 LargeHiveBytes = 1024 * 1024;
};
