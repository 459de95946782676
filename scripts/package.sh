#!/usr/bin/env bash
# Builds the setup package (packaging/nsis/solvendale.nsi) with makensis:
# the installer, the product's component files and the tray companion in one
# 64-bit setup program.
#
#   scripts/package.sh --components <dir> --tray <soltray.exe>
#                      [--program <SolvendaleSetup.exe>] [--out-dir <dir>]
#
#   --components  directory holding qrlmon64.dll, qrldrv64.dll, qrlui64.dll
#                 and qrlhelp.chm
#   --tray        the tray companion
#   --program     the installer (default build/windows/SolvendaleSetup.exe)
#   --out-dir     where the package solvendale-2093-setup.exe and the
#                 installer it holds are written (default build/package)
#
# With SOLVENDALE_SIGN_PKCS12 set (scripts/sign.sh), the installer is signed
# before it is packed, the uninstaller while the package is built, and the
# package at the end. Needs nsis (scripts/setup-windows.sh installs it).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

program=$root/build/windows/SolvendaleSetup.exe
components=""
tray=""
out=$root/build/package
while [ $# -gt 0 ]; do
  case "$1" in
    --program) program=$2; shift 2 ;;
    --components) components=$2; shift 2 ;;
    --tray) tray=$2; shift 2 ;;
    --out-dir) out=$2; shift 2 ;;
    *) echo "package: unknown argument $1" >&2; exit 2 ;;
  esac
done
if [ -z "$components" ] || [ -z "$tray" ]; then
  echo "usage: scripts/package.sh --components <dir> --tray <soltray.exe> [--program <exe>] [--out-dir <dir>]" >&2
  exit 2
fi
for file in "$program" "$tray" "$components"/{qrlmon64.dll,qrldrv64.dll,qrlui64.dll,qrlhelp.chm}; do
  [ -f "$file" ] || { echo "package: missing $file" >&2; exit 1; }
done
command -v makensis >/dev/null || {
  echo "package: makensis missing; run scripts/setup-windows.sh" >&2; exit 1; }

mkdir -p "$out"
out=$(cd "$out" && pwd)
package=$out/solvendale-2093-setup.exe
cp "$program" "$out/SolvendaleSetup.exe"
defines=()
if [ -n "${SOLVENDALE_SIGN_PKCS12:-}" ]; then
  "$root/scripts/sign.sh" "$out/SolvendaleSetup.exe"
  defines+=("-DSIGN_UNINSTALLER=\"$root/scripts/sign.sh\" \"%1\"")
fi
makensis -V2 -WX \
  "-DPROGRAM=$out/SolvendaleSetup.exe" \
  "-DCOMPONENTS=$(cd "$components" && pwd)" \
  "-DTRAY=$(cd "$(dirname "$tray")" && pwd)/$(basename "$tray")" \
  "-DOUTFILE=$package" \
  "${defines[@]}" \
  "$root/packaging/nsis/solvendale.nsi"
if [ -n "${SOLVENDALE_SIGN_PKCS12:-}" ]; then
  "$root/scripts/sign.sh" "$package"
fi
echo "package: built $package"
