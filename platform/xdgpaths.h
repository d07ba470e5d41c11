#pragma once

#include <QString>

// Per-user locations of the service on Linux, resolved at each call from the
// environment so that a test (or a person) can point them elsewhere.
namespace ulx::paths {

// $XDG_CONFIG_HOME/ulxcloudsvr (default ~/.config/ulxcloudsvr): the settings store.
QString configDir();
// $XDG_STATE_HOME/ulxcloudsvr (default ~/.local/state/ulxcloudsvr): logs.
QString stateDir();
// $XDG_DATA_HOME/ulxcloudsvr (default ~/.local/share/ulxcloudsvr): installed plugins, parameter files.
QString dataDir();
// $XDG_RUNTIME_DIR/ulxcloudsvr, or /tmp/ulxcloudsvr-<uid> when XDG_RUNTIME_DIR is unset:
// channel sockets and locks. Not created here.
QString runtimeDir();

// Whether `path` is absolute as the file system sees it. QDir::isAbsolutePath says yes to ':'
// paths too, which Qt reads from its resources: a value from outside starting with ':' is relative.
inline bool isAbsolute(const QString &path) { return path.startsWith(u'/'); }

// Creates `path` (and its parents) when missing. Returns false when it cannot.
bool ensureDir(const QString &path);

} // namespace ulx::paths
