#!/usr/bin/env bash
# Times the installer's commands under Wine next to a no-op Windows program
# (bench/wine_timing.py). Builds the no-op programs (bench/wine: one bare,
# one with the installer's imports and manifest) with MinGW-w64 into
# build/bench-wine; the installer comes from the Windows build
# (WINDOWS_BUILD_DIR, default build/windows: scripts/test-windows.sh).
# Arguments go to bench/wine_timing.py (e.g. --repeat 3).
# Waits (up to WAIT_SECONDS, default 900) while another wineserver runs on
# the machine, as two Wine sessions at once would time each other.
set -euo pipefail
cd "$(dirname "$0")/.."
out=build/bench-wine
mkdir -p "$out"
export WINDOWS_BUILD_DIR=${WINDOWS_BUILD_DIR:-$PWD/build/windows}
export WINE_TEST_DIR=${WINE_TEST_DIR:-$PWD/$out/run}

command -v x86_64-w64-mingw32-g++ >/dev/null || {
  echo "bench-wine: x86_64-w64-mingw32-g++ missing; run scripts/setup-windows.sh" >&2; exit 1; }
[ -f "$WINDOWS_BUILD_DIR/SolvendaleSetup.exe" ] || {
  echo "bench-wine: no $WINDOWS_BUILD_DIR/SolvendaleSetup.exe; run scripts/test-windows.sh" >&2; exit 1; }

x86_64-w64-mingw32-g++ -O2 -municode -mwindows -static -s \
  -o "$out/noop.exe" bench/wine/noop.cpp
x86_64-w64-mingw32-windres -I drv bench/wine/noop_imports.rc -O coff -o "$out/noop_imports.res"
x86_64-w64-mingw32-g++ -O2 -municode -mwindows -static -s \
  -o "$out/noop_imports.exe" bench/wine/noop_imports.cpp "$out/noop_imports.res" \
  -ladvapi32 -lshell32 -luser32 -lversion -lwinspool

waited=0
while pgrep '^wineserver' >/dev/null; do
  if [ "$waited" -ge "${WAIT_SECONDS:-900}" ]; then
    echo "bench-wine: another wineserver is still running; not timing" >&2
    exit 1
  fi
  [ "$waited" -eq 0 ] && echo "bench-wine: waiting for the running wineserver to end"
  sleep 10
  waited=$((waited + 10))
done

python3 bench/wine_timing.py --noop "$out/noop.exe" --noop-imports "$out/noop_imports.exe" "$@"
