#!/usr/bin/env bash
# The lean-start benchmarks in one command: builds what they need (in ./build, or
# BUILD_DIR), then prints the second start against a bare QApplication and the idle
# service's memory and wake-ups against a bare idle QApplication.
#   bench/run-lean.sh [settle s=60] [memory rounds=3] [quiet s=250] [pairs=25] [at once=100] [batches=5]
# Short times (e.g. 8 1 5) are for trying it out; the figures are taken with the defaults
# (about 17 minutes in all). Offscreen unless ULX_BENCH_SESSION=gnome (below).
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$here/build}"
settle="${1:-60}" rounds="${2:-3}" quiet="${3:-250}" pairs="${4:-25}" many="${5:-100}" batches="${6:-5}"
# ULX_BENCH_SESSION=gnome: everything runs on an Xvfb of its own as a GNOME session with
# the ibus input method would start it, instead of offscreen.
if [ "${ULX_BENCH_SESSION:-}" = gnome ]; then
  exec 3< <(Xvfb -displayfd 1 -nolisten tcp 2>/dev/null & echo "pid $!"; wait)
  read -r _ xvfb_pid <&3
  read -r number <&3
  trap 'kill "$xvfb_pid" 2>/dev/null' EXIT
  export ULX_BENCH_DISPLAY=":$number" XDG_CURRENT_DESKTOP=GNOME QT_IM_MODULE=ibus
  echo "== on Xvfb $ULX_BENCH_DISPLAY as a GNOME session with ibus"
fi
[ -f "$build/build.ninja" ] || cmake -S "$here" -B "$build" -G Ninja
cmake --build "$build" --target ulxbench_startup ulxbench_memory -j2 >/dev/null
echo "== second start (ulxbench_startup $pairs $many $batches)"
"$build/bin/ulxbench_startup" "$pairs" "$many" "$batches"
echo "== idle service (ulxbench_memory $settle $rounds $quiet)"
"$build/bin/ulxbench_memory" "$settle" "$rounds" "$quiet"
