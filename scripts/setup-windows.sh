#!/usr/bin/env bash
# Installs what the Windows build and its Wine tests need on a Debian machine:
# the MinGW-w64 cross compiler and tools, Wine (64-bit), Xvfb, ImageMagick
# (screenshots), Python 3 (test scripts), NSIS (the setup package),
# osslsigncode and OpenSSL (signing). Safe to run more than once: it
# only calls apt-get when something is missing.
set -euo pipefail

packages=(
  g++-mingw-w64-x86-64-posix
  mingw-w64-tools
  binutils-mingw-w64-x86-64
  wine64
  wine
  xvfb
  imagemagick
  python3
  nsis
  osslsigncode
  openssl
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup-windows: all packages present"
  exit 0
fi

echo "setup-windows: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
