#!/usr/bin/env bash
# Configures and builds the project into ${BUILD_DIR:-build}. Extra arguments go to CMake
# (e.g. -DULX_SANITIZE=address,undefined).
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$here/build}"
"$here/scripts/deps.sh"
cmake -S "$here" -B "$build" -G Ninja "$@" >/dev/null
cmake --build "$build"
