#!/usr/bin/env bash
# Installs what the Linux build and its tests need on a Debian 12 machine.
# Idempotent: installs only what is missing.
set -euo pipefail

need=()
for pkg in cmake g++ make python3 googletest libgtest-dev libgmock-dev; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  echo "setup: installing ${need[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${need[@]}"
fi
