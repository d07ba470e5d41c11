#!/usr/bin/env bash
# Builds the Debian package ulxcloudsvr_<version>_<arch>.deb into ${BUILD_DIR:-build}
# and checks it with lintian: an error fails the script, warnings are shown.
# Extra arguments go to CMake, as with scripts/build.sh.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$here/build}"
"$here/scripts/build.sh" "$@"
cd "$build"
rm -f ulxcloudsvr_*.deb
cpack -G DEB
deb="$(ls ulxcloudsvr_*.deb)"
status=0
findings="$(lintian --fail-on error "$deb" 2>&1)" || status=$?
# Run as root (CI containers), lintian says so first; that is no finding of the package.
printf '%s\n' "$findings" | grep -v '^running with root privileges' || true
if [ "$status" -ne 0 ]; then
  echo "lintian found errors in $deb" >&2
  exit "$status"
fi
echo "package: $build/$deb"
