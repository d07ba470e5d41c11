#!/usr/bin/env bash
# Line and branch coverage of the product code by the plain suite, in total, per
# directory and per test program (what only that program covers).
#   scripts/coverage.sh                 every test program
#   scripts/coverage.sh 'tst_(a|b)$'    only these (the others' last figures stay in the report)
# Builds ${COV_BUILD_DIR:-build-cov} with gcc --coverage -O0; results in <build>/coverage.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${COV_BUILD_DIR:-$here/build-cov}"
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG=-O0 \
  -DCMAKE_CXX_FLAGS=--coverage -DCMAKE_EXE_LINKER_FLAGS=--coverage \
  -DCMAKE_SHARED_LINKER_FLAGS=--coverage -DCMAKE_MODULE_LINKER_FLAGS=--coverage >/dev/null
cmake --build "$build" -j2
# An -O0 build is slower: the tests' timing bounds widen with it.
export QT_QPA_PLATFORM=offscreen ULX_TEST_TIME_FACTOR="${ULX_TEST_TIME_FACTOR:-2}"
exec python3 "$here/scripts/coverage.py" "$here" "$build" "$build/coverage" "$@"
