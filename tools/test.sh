#!/usr/bin/env bash
# Builds and runs every test: the normal build, the ASan+UBSan build, then the fuzz targets.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/deps.sh
jobs=$(nproc)

tools/build.sh build -DRELICTA_BUILD_TESTS=ON
ctest --test-dir build --output-on-failure -j"$jobs"

tools/build.sh build-asan -DRELICTA_BUILD_TESTS=ON -DRELICTA_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j"$jobs"

# Every fuzz target for about a minute, after the inputs that once found a fault.
tools/fuzz.sh 60
