#!/usr/bin/env bash
# Builds everything and runs every test: the Linux build on the stand-in
# Windows (AddressSanitizer + UndefinedBehaviorSanitizer), the Windows x64
# program cross-compiled with MinGW-w64, the Wine tests of the real program
# (headless under Xvfb), and the fuzz targets for a bounded time each.
# Installs whatever is missing first. Exits non-zero when anything fails.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=${JOBS:-2}

scripts/setup.sh
scripts/setup-windows.sh
scripts/setup-fuzz.sh

echo "== Windows x64 build"
scripts/test-windows.sh

echo "== Linux build (sanitizers on)"
cmake -S . -B build/linux -DCMAKE_BUILD_TYPE=Debug -DSANITIZE=ON \
  -DWINDOWS_BUILD_DIR="$root/build/windows" >/dev/null
cmake --build build/linux -j"$jobs"

echo "== Fuzzing (bounded time per target)"
fuzz_status=0
scripts/fuzz.sh || fuzz_status=$?

echo "== Tests"
test_status=0
(cd build/linux && ctest --output-on-failure -j"$jobs") || test_status=$?

if [ "$fuzz_status" -ne 0 ]; then
  echo "test: the fuzz run failed (exit $fuzz_status)" >&2
fi
[ "$fuzz_status" -eq 0 ] && [ "$test_status" -eq 0 ]
