#!/usr/bin/env bash
# Builds the service and starts it with the given command line, e.g.
#   scripts/run.sh /run_plugin /plugin_name:kfoo
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$here/build}"
"$here/scripts/build.sh"
exec "$build/bin/ulxcloudsvr" "$@"
