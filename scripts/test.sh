#!/usr/bin/env bash
# Builds everything and runs every test: the Linux build on the stand-in
# Windows (AddressSanitizer + UndefinedBehaviorSanitizer), the Windows x64
# program cross-compiled with MinGW-w64, and the Wine tests of the real
# program, headless under Xvfb. Installs whatever is missing first.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=${JOBS:-2}

scripts/setup.sh
scripts/setup-windows.sh

echo "== Windows x64 build"
scripts/test-windows.sh

echo "== Linux build (sanitizers on)"
cmake -S . -B build/linux -DCMAKE_BUILD_TYPE=Debug -DSANITIZE=ON \
  -DWINDOWS_BUILD_DIR="$root/build/windows" >/dev/null
cmake --build build/linux -j"$jobs"

echo "== Tests"
cd build/linux
ctest --output-on-failure -j"$jobs"
