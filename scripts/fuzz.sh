#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang in a tree of their own
# (${FUZZ_BUILD_DIR:-build-fuzz}) and runs each for ULX_FUZZ_SECONDS (default 20) on
# its corpus, tests/fuzz/corpus/<target>. Prints each target's executions per second
# and total executions; fails on any crash, leak, time-out or broken property. The
# input that failed is left as build-fuzz/artifacts/<target>/crash-*.
#   scripts/fuzz.sh                 every target
#   scripts/fuzz.sh registry appini only these
# Skips (exit 0) with a message when clang or libFuzzer's runtime is missing.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${FUZZ_BUILD_DIR:-$here/build-fuzz}"
seconds="${ULX_FUZZ_SECONDS:-20}"
clangxx="${CLANGXX:-$(command -v clang++-14 || command -v clang++ || true)}"
if [ -z "$clangxx" ] || ! command -v "$clangxx" >/dev/null; then
  echo "fuzz: skipped: no clang++ (Debian: clang-14)"
  exit 0
fi
if ! echo 'extern "C" int LLVMFuzzerTestOneInput(const char *, unsigned long) { return 0; }' |
    "$clangxx" -x c++ -fsanitize=fuzzer - -o /dev/null 2>/dev/null; then
  echo "fuzz: skipped: $clangxx has no libFuzzer runtime (Debian: libclang-rt-14-dev)"
  exit 0
fi
cmake -S "$here/tests/fuzz" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER="$clangxx" -DCMAKE_BUILD_TYPE=None >/dev/null
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for corpus in "$here"/tests/fuzz/corpus/*/; do targets+=("$(basename "$corpus")"); done
fi
cmake --build "$build" -j2 --target "${targets[@]/#/fuzz_}"

failed=()
# The files a target writes (app.ini) stay in memory: on disk they cost three quarters of its speed.
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then
  export TMPDIR=/dev/shm
fi
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}"
for t in "${targets[@]}"; do
  work="$build/corpus/$t" artifacts="$build/artifacts/$t"
  mkdir -p "$work" "$artifacts"
  log="$build/fuzz_$t.log"
  # New inputs go to the build tree's corpus; the tree's own seeds are only read.
  if "$build/fuzz_$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=1024 -print_final_stats=1 \
      -artifact_prefix="$artifacts/" "$work" "$here/tests/fuzz/corpus/$t" >"$log" 2>&1; then
    verdict=ok
  else
    verdict=FAILED
    failed+=("$t")
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  printf 'fuzz: %-14s %8s exec/s %10s execs in %s s  %s\n' "$t" "${speed:-?}" "${runs:-?}" "$seconds" "$verdict"
  [ "$verdict" = ok ] || tail -40 "$log"
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: failed: ${failed[*]} (inputs under $build/artifacts/)"
  exit 1
fi
