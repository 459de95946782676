#!/usr/bin/env bash
# Cross-compiles the Windows x64 program with MinGW-w64 into build/windows:
# SolvendaleSetup.exe, plus the Win32 helper programs and component stand-ins
# of the Wine tests (build/windows/tests/wine). The Wine tests themselves are
# registered in the Linux build (tests/wine/tests.cmake) and run by ctest:
#   cmake -S . -B build/linux -DWINDOWS_BUILD_DIR="$PWD/build/windows"
#   (cd build/linux && ctest -L wine --output-on-failure)
# Needs the packages of scripts/setup-windows.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${JOBS:-2}
build=${WINDOWS_BUILD_DIR:-build/windows}

for tool in x86_64-w64-mingw32-g++ x86_64-w64-mingw32-windres x86_64-w64-mingw32-dlltool; do
  command -v "$tool" >/dev/null || { echo "test-windows: $tool missing; run scripts/setup-windows.sh" >&2; exit 1; }
done

cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$jobs"
echo "test-windows: built $build/SolvendaleSetup.exe"
