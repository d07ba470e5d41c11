#!/usr/bin/env bash
# Builds everything and runs every test through CTest (headless).
#   scripts/test.sh              the plain build, in ./build
#   scripts/test.sh --sanitize   the same under AddressSanitizer and UBSan, in ./build-asan;
#                                timing bounds of the tests are widened by
#                                ULX_TEST_TIME_FACTOR (default 3 here, 1 otherwise)
# Further arguments go to CMake (e.g. BUILD_DIR=build-tsan scripts/test.sh -DULX_SANITIZE=thread).
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
if [ "${1:-}" = "--sanitize" ]; then
  shift
  export BUILD_DIR="${BUILD_DIR:-$here/build-asan}"
  # Leaks of the system's graphics libraries are not ours; any other report ends the test.
  export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=0}"
  export UBSAN_OPTIONS="${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}"
  export ULX_TEST_TIME_FACTOR="${ULX_TEST_TIME_FACTOR:-3}"
  set -- -DULX_SANITIZE=address,undefined "$@"
fi
build="${BUILD_DIR:-$here/build}"
"$here/scripts/build.sh" "$@"
cd "$build"
QT_QPA_PLATFORM=offscreen ctest --output-on-failure --timeout 300 -j2
